// kalman_loglik_grad: the linear filter's log-likelihood and its gradient by the adjoint sweep.
#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

constexpr const char doc[] =
    "Log-likelihood of the linear Kalman filter and its gradient.\n"
    "\n"
    "    Takes the arguments of ``kalman_hot_loop`` without the history flags, coerced and\n"
    "    checked as there. Returns ``(status, loglik, grads)`` where ``status`` is a\n"
    "    ``kalman.errors`` code (KF_OK on success), ``loglik`` the log-likelihood that\n"
    "    ``kalman_hot_loop`` returns and ``grads`` the tuple of its gradients with respect to\n"
    "    ``A, B, C, d, Q, R, x0, P0``, each of its argument's shape. On a nonzero status\n"
    "    ``loglik`` sums the periods before the failure and every gradient is zero.\n"
    "    ";

enum Gradient : int { g_A, g_B, g_C, g_d, g_Q, g_R, g_x0, g_P0, n_gradients };

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k;
    const Shape shapes[n_gradients] = {dims(n, n), dims(n, k), dims(m, n), dims(m),
                                       dims(k, k), dims(m, m), dims(n),    dims(n, n)};
    Outputs<n_gradients> grads;
    if (!grads.allocate(call.numpy(), NumPyMember::empty, shapes,
                        kf_loglik_grad_arena_size(n, m, k, model.T))) {
        return nullptr;
    }

    f64 loglik = 0.0;
    const kf_inputs in = model_inputs(call, model);
    kf_grad_outputs out{&loglik,           grads.cells(g_A), grads.cells(g_B),
                        grads.cells(g_C),  grads.cells(g_d), grads.cells(g_Q),
                        grads.cells(g_R),  grads.cells(g_x0), grads.cells(g_P0)};
    f64* scratch = grads.scratch();

    const int status =
        without_interpreter_lock([&] { return kf_loglik_grad(&in, scratch, &out); });
    return score_result(status, loglik, grads);
}

}  // namespace

const Entry kalman_loglik_grad_entry =
    make_entry("kalman_loglik_grad", doc, params, n_model_params, run);

}  // namespace velm_kalman_py
