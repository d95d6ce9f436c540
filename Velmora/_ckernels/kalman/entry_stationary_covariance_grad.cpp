// stationary_covariance_grad: the gradient of <P_bar, P> with respect to A, B and Q, P the
// solution of P = A P A' + B Q B'.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"

namespace velm_kalman_py {

namespace {

enum : int { A, B, Q, P_bar, tolerance, max_iterations };
constexpr Param params[] = {
    array("A", 2),         array("B", 2),      array("Q", 2),
    array("P_bar", 2),     real("tolerance"),  count("max_iterations"),
};
constexpr Default defaults[] = {default_real(1e-12), default_count(64)};
static_assert(std::size(params) == max_iterations + 1, "one table row per parameter");

constexpr const char doc[] =
    "Gradient of ``<P_bar, P>`` with ``P = stationary_covariance(A, B, Q, tolerance, "
    "max_iterations)``; return ``(status, A_bar, B_bar, Q_bar)``.";

bool check_shapes(const BufferView& A, const BufferView& B, const BufferView& Q,
                  const BufferView& P_bar) noexcept {
    if (!check_stationary_shapes(A, B, Q)) return false;
    const i64 n = A.extent(0);
    if (P_bar.extent(0) != n || P_bar.extent(1) != n) {
        return refuse(PyExc_ValueError, "P_bar must have the shape of A.");
    }
    return true;
}

PyObject* run(Call& call) noexcept {
    BufferView a, b, q, p_bar;
    if (!call.coerce_each({{A, a}, {B, b}, {Q, q}, {P_bar, p_bar}}) ||
        !check_shapes(a, b, q, p_bar)) {
        return nullptr;
    }
    const i64 n = a.extent(0), k = b.extent(1);
    const Shape shapes[] = {dims(n, n), dims(n, k), dims(k, k)};
    Outputs<3> grads;
    if (!grads.allocate(call.numpy(), NumPyMember::zeros, shapes,
                        kf_stationary_covariance_grad_arena_size(n, k))) {
        return nullptr;
    }
    const f64 tol = call.real(tolerance);
    const i64 max_iter = call.count(max_iterations);
    const f64 *A_cells = a.cells(), *B_cells = b.cells(), *Q_cells = q.cells();
    const f64* P_bar_cells = p_bar.cells();
    f64 *scratch = grads.scratch(), *A_bar = grads.cells(0), *B_bar = grads.cells(1),
        *Q_bar = grads.cells(2);
    const int status = without_interpreter_lock([&] {
        return kf_stationary_covariance_grad(A_cells, B_cells, Q_cells, P_bar_cells, tol,
                                             max_iter, scratch, A_bar, B_bar, Q_bar, n, k);
    });
    Ref code = Ref::steal(PyLong_FromLong(status));
    return code ? PyTuple_Pack(4, code.get(), grads.array(0), grads.array(1), grads.array(2))
                : nullptr;
}

}  // namespace

const Entry stationary_covariance_grad_entry =
    make_entry("stationary_covariance_grad", doc, params, defaults, run);

}  // namespace velm_kalman_py
