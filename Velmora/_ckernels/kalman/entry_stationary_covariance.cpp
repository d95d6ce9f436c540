// stationary_covariance: the solution P of P = A P A' + B Q B'.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"

namespace velm_kalman_py {

// The dimensions come from the coerced arrays: n from the rows of A, k from the columns of B.
bool check_stationary_shapes(const BufferView& A, const BufferView& B,
                             const BufferView& Q) noexcept {
    const i64 n = A.extent(0), k = B.extent(1);
    if (n < 1 || k < 1) {
        return refuse(PyExc_ValueError, "A and B must have positive state and shock dimensions.");
    }
    if (A.extent(1) != n) {
        return refuse(PyExc_ValueError, "A must be square.");
    }
    if (B.extent(0) != n) {
        return refuse(PyExc_ValueError, "B must have the same row count as A.");
    }
    if (Q.extent(0) != k || Q.extent(1) != k) {
        return refuse(PyExc_ValueError, "Q must be square with dimension B.shape[1].");
    }
    return true;
}

namespace {

enum : int { A, B, Q, tolerance, max_iterations };
constexpr Param params[] = {
    array("A", 2), array("B", 2), array("Q", 2), real("tolerance"), count("max_iterations"),
};
constexpr Default defaults[] = {default_real(1e-12), default_count(64)};
static_assert(std::size(params) == max_iterations + 1, "one table row per parameter");

constexpr const char doc[] = "Solve ``P = A P A.T + B Q B.T`` and return ``(status, P)``.";

PyObject* run(Call& call) noexcept {
    BufferView a, b, q;
    if (!call.coerce_each({{A, a}, {B, b}, {Q, q}}) || !check_stationary_shapes(a, b, q)) {
        return nullptr;
    }
    const i64 n = a.extent(0), k = b.extent(1);
    const Shape shapes[] = {dims(n, n)};
    Outputs<1> P;
    if (!P.allocate(call.numpy(), NumPyMember::empty, shapes,
                    kf_stationary_covariance_arena_size(n, k))) {
        return nullptr;
    }

    const f64 tol = call.real(tolerance);
    const i64 max_iter = call.count(max_iterations);
    const f64 *A_cells = a.cells(), *B_cells = b.cells(), *Q_cells = q.cells();
    f64 *scratch = P.scratch(), *P_cells = P.cells(0);
    const int status = without_interpreter_lock([&] {
        return kf_stationary_covariance(A_cells, B_cells, Q_cells, tol, max_iter, scratch,
                                        P_cells, n, k, n);
    });
    return status_pair(status, P.array(0));
}

}  // namespace

const Entry stationary_covariance_entry =
    make_entry("stationary_covariance", doc, params, defaults, run);

}  // namespace velm_kalman_py
