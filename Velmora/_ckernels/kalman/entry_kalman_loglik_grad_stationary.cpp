// kalman_loglik_grad_stationary: the linear filter's log-likelihood from its stationary start and
// its total gradient, through the start.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

// The model's parameters, then the stationary solver's.
enum : int { tolerance = n_model_params, max_iterations };
constexpr Param stationary_params[] = {
    params[T],      params[nmk],        params[A],          params[B],      params[C],
    params[d],      params[Q],          params[R],          params[y],      params[x0],
    params[P0],     params[symmetrize], params[joseph_cov], params[jitter], real("tolerance"),
    count("max_iterations"),
};
static_assert(std::size(stationary_params) == max_iterations + 1, "one table row per parameter");
constexpr Default defaults[] = {default_real(1e-12), default_count(64)};

constexpr const char doc[] =
    "Log-likelihood from the stationary start and its total gradient.\n"
    "\n"
    "    Takes the arguments of ``kalman_loglik_grad``, with ``P0`` the stationary covariance\n"
    "    ``stationary_covariance(A, B, Q, tolerance, max_iterations)``, and that solver's\n"
    "    ``tolerance`` and ``max_iterations``. Returns ``(status, loglik, grads)`` where\n"
    "    ``loglik`` is the log-likelihood that ``kalman_hot_loop`` returns for that start and\n"
    "    ``grads`` the tuple of its total gradients with respect to ``A, B, C, d, Q, R, x0``,\n"
    "    the derivative through ``P0`` included. On a nonzero status every gradient is zero.\n"
    "    ";

enum Gradient : int { g_A, g_B, g_C, g_d, g_Q, g_R, g_x0, n_gradients };

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k;
    const Shape shapes[n_gradients] = {dims(n, n), dims(n, k), dims(m, n), dims(m),
                                       dims(k, k), dims(m, m), dims(n)};
    // P0's adjoint, which the kernel hands to the stationary adjoint, lies before its arena
    const arena_size kernel = kf_loglik_grad_stationary_arena_size(n, m, k, model.T);
    const arena_size scratch_cells =
        make_sizer(kernel.n_float < 0 ? -1 : velm_count_add(velm_count_mul(n, n), kernel.n_float),
                   kernel.n_int);
    Outputs<n_gradients> grads;
    if (!grads.allocate(call.numpy(), NumPyMember::empty, shapes, scratch_cells)) {
        return nullptr;
    }

    f64 loglik = 0.0;
    const kf_inputs in = model_inputs(call, model);
    f64* P0_bar = grads.scratch();
    f64* arena = P0_bar + n * n;
    kf_grad_outputs out{&loglik,          grads.cells(g_A), grads.cells(g_B),
                        grads.cells(g_C), grads.cells(g_d), grads.cells(g_Q),
                        grads.cells(g_R), grads.cells(g_x0), P0_bar};
    const f64 tol = call.real(tolerance);
    const i64 max_iter = call.count(max_iterations);

    const int status = without_interpreter_lock(
        [&] { return kf_loglik_grad_stationary(&in, tol, max_iter, arena, &out); });
    return score_result(status, loglik, grads);
}

}  // namespace

const Entry kalman_loglik_grad_stationary_entry =
    make_entry("kalman_loglik_grad_stationary", doc, stationary_params, defaults, run);

}  // namespace velm_kalman_py
