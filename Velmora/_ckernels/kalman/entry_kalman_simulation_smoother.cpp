// kalman_simulation_smoother: one draw of the states and shocks given the data, from the caller's
// standard normal variates.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

// The model's parameters, then the variates.
enum : int { z_x0 = n_model_params, z_eps, z_eta };
constexpr Param simulation_params[] = {
    params[T],      params[nmk],        params[A],          params[B],      params[C],
    params[d],      params[Q],          params[R],          params[y],      params[x0],
    params[P0],     params[symmetrize], params[joseph_cov], params[jitter], array("z_x0", 1),
    observations("z_eps"), observations("z_eta"),
};
static_assert(std::size(simulation_params) == z_eta + 1, "one table row per parameter");

constexpr const char doc[] =
    "One draw of the states and shocks of the linear model given the data.\n"
    "\n"
    "    Takes the arguments of ``kalman_smoother`` without ``smoothed_cov`` (NaN in ``y`` as\n"
    "    missing), then standard normal variates ``z_x0`` (n,), ``z_eps`` (T, k) and ``z_eta``\n"
    "    (T, m); the same variates give the same draw. Returns ``(status, (x_draw,\n"
    "    eps_draw))`` of shapes (T, n) and (T, k). The prior carries the shock of period 0, so\n"
    "    P0 - B Q B' must be positive semi-definite; otherwise the status is -1102.\n"
    "    ";

enum Result : int { r_x, r_eps, n_results };

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    BufferView zx, ze, zm;
    if (!call.coerce_each({{z_x0, zx}, {z_eps, ze}, {z_eta, zm}})) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k, T = model.T > 0 ? model.T : 0;
    if (!require_shapes({{zx, "z_x0", "(n,)", dims(n)},
                         {ze, "z_eps", "(T, k)", dims(T, k)},
                         {zm, "z_eta", "(T, m)", dims(T, m)}})) {
        return nullptr;
    }
    const Shape shapes[n_results] = {dims(T, n), dims(T, k)};
    Outputs<n_results> results;
    if (!results.allocate(call.numpy(), NumPyMember::zeros, shapes,
                          kfs_simulation_arena_size(n, m, k, model.T))) {
        return nullptr;
    }
    const kf_inputs in = model_inputs(call, model);
    const kfs_variates z{zx.cells(), ze.cells_if(T > 0), zm.cells_if(T > 0)};
    kfs_draw out{results.cells(r_x), results.cells(r_eps)};
    f64* scratch = results.scratch();
    const int status = without_interpreter_lock(
        [&] { return kfs_simulation_smoother(&in, &z, scratch, &out); });
    Ref tuple = results.tuple();
    return tuple ? status_pair(status, tuple.get()) : nullptr;
}

}  // namespace

const Entry kalman_simulation_smoother_entry =
    make_entry("kalman_simulation_smoother", doc, simulation_params, n_model_params + 3, run);

}  // namespace velm_kalman_py
