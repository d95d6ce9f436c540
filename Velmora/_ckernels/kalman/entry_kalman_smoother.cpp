// kalman_smoother: smoothed states, their covariances and the smoothed disturbances.
#include <iterator>

#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

// The model's parameters, then whether the smoothed covariances are formed.
enum : int { smoothed_cov = n_model_params };
constexpr Param smoother_params[] = {
    params[T],      params[nmk],        params[A],      params[B],          params[C],
    params[d],      params[Q],          params[R],      params[y],          params[x0],
    params[P0],     params[symmetrize], params[joseph_cov], params[jitter], flag("smoothed_cov"),
};
static_assert(std::size(smoother_params) == smoothed_cov + 1, "one table row per parameter");
constexpr Default defaults[] = {default_flag(true)};

constexpr const char doc[] =
    "Smoothed states, covariances and disturbances of the linear model.\n"
    "\n"
    "    Takes the arguments of ``kalman_loglik_grad`` (NaN in ``y`` as missing, as in\n"
    "    ``kalman_filter_missing``) and ``smoothed_cov``. Returns ``(status, out)`` with\n"
    "    ``out = (x_smooth, P_smooth, eps_smooth, eta_smooth, loglik)`` of shapes (T, n),\n"
    "    (T, n, n) ((0, n, n) without ``smoothed_cov``), (T, k) and (T, m). ``eps_smooth[t]``\n"
    "    is the shock that moves x(t-1) to x(t), ``eta_smooth[t]`` = E[y(t) - C x(t) - d].\n"
    "    ";

enum Result : int { r_x, r_P, r_eps, r_eta, n_results };

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k, T = model.T > 0 ? model.T : 0;
    const bool cov = call.flag(smoothed_cov) != 0;
    const Shape shapes[n_results] = {dims(T, n), dims(cov ? T : 0, n, n), dims(T, k),
                                     dims(T, m)};
    Outputs<n_results> results;
    // every output is written, with zeros on a failure
    if (!results.allocate(call.numpy(), NumPyMember::empty, shapes,
                          kfs_arena_size(n, m, k, model.T))) {
        return nullptr;
    }
    f64 loglik = 0.0;
    const kf_inputs in = model_inputs(call, model);
    kfs_outputs out{results.cells(r_x), results.cells(r_P, cov), results.cells(r_eps),
                    results.cells(r_eta), &loglik};
    f64* scratch = results.scratch();
    const int status = without_interpreter_lock([&] { return kfs_smoother(&in, scratch, &out); });
    Ref total = Ref::steal(PyFloat_FromDouble(loglik));
    Ref tuple = total ? results.tuple(total.get()) : Ref();
    return tuple ? status_pair(status, tuple.get()) : nullptr;
}

}  // namespace

const Entry kalman_smoother_entry =
    make_entry("kalman_smoother", doc, smoother_params, defaults, run);

}  // namespace velm_kalman_py
