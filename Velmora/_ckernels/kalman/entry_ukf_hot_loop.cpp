// ukf_hot_loop: the second-order pruned unscented Kalman filter with a native measurement.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"

namespace velm_kalman_py {

namespace {

enum : int {
    meas_addr, hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, steady_state, params, Q, R,
    obs, z0, P0, alpha, beta, kappa, jitter, symmetrize, store_history
};
constexpr Param param_table[] = {
    address("meas_addr"), array("hx", 2),     array("gx", 2),  array("bu", 2),
    array("hxx", 3),      array("gxx", 3),    array("hxu", 3), array("gxu", 3),
    array("huu", 3),      array("guu", 3),    array("hss", 1), array("gss", 1),
    array("steady_state", 1), array("params", 1), array("Q", 2), array("R", 2),
    observations("obs"),  array("z0", 1),     array("P0", 2),  real("alpha"),
    real("beta"),         real("kappa"),      real("jitter"),  flag("symmetrize"),
    flag("store_history"),
};
constexpr Default defaults[] = {default_flag(true), default_flag(true)};
static_assert(std::size(param_table) == store_history + 1, "one table row per parameter");

constexpr const char doc[] =
    "Run the native second-order UKF hot loop.\n"
    "\n"
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature\n"
    "    ``void(double* vars, double* params, double* out)``. Array inputs are coerced\n"
    "    to contiguous float64 here. Returns ``(status, out)``; the caller maps a\n"
    "    nonzero status to the matching in-house exception.\n"
    "\n"
    "    ``bu`` spans every variable rather than the state block: a control responds\n"
    "    to an innovation contemporaneously. ``hxu``/``gxu`` and ``huu``/``guu`` are\n"
    "    the quadratic blocks the shocks earn once they are no longer states.\n"
    "    ";

// The four components of the pruned state, then the histories every filter records.
enum UkfHistory : int {
    u_x1_pred, u_x2_pred, u_x1_filt, u_x2_filt, u_x_pred, u_x_filt, u_P_pred, u_P_filt,
    u_y_pred, u_y_filt, u_innov, u_std_innov, u_S, n_histories
};
static_assert(u_S == u_x_pred + 8, "the common histories in their order");

// The coerced arrays, in parameter order.
struct Arrays {
    BufferView hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, steady_state, params, Q, R,
        obs, z0, P0;
};

struct Dimensions {
    i64 n_state, n_ctrl, n_exog, n_obs, n_params, T;
};

bool check_shapes(const Call& call, const Arrays& a, const Dimensions& dim) noexcept {
    if (call.address(meas_addr) == 0) {
        return refuse(PyExc_ValueError,
                      "ukf_hot_loop requires a nonzero measurement function address.");
    }
    if (dim.n_state < 1) {
        return refuse(PyExc_ValueError, "hx must have at least one state.");
    }
    if (dim.n_obs < 1) {
        return refuse(PyExc_ValueError, "obs must have at least one observable column.");
    }
    const i64 ns = dim.n_state, nc = dim.n_ctrl, ne = dim.n_exog, no = dim.n_obs;
    return require_shapes(
        {
            {a.hx, "hx", "(n_state, n_state)", dims(ns, ns)},
            {a.bu, "bu", "(n_state + n_ctrl, n_exog)", dims(ns + nc, ne)},
            {a.gx, "gx", "(n_ctrl, n_state)", dims(nc, ns)},
            {a.hxx, "hxx", "(n_state, n_state, n_state)", dims(ns, ns, ns)},
            {a.gxx, "gxx", "(n_ctrl, n_state, n_state)", dims(nc, ns, ns)},
            {a.hxu, "hxu", "(n_state, n_state, n_exog)", dims(ns, ns, ne)},
            {a.gxu, "gxu", "(n_ctrl, n_state, n_exog)", dims(nc, ns, ne)},
            {a.huu, "huu", "(n_state, n_exog, n_exog)", dims(ns, ne, ne)},
            {a.guu, "guu", "(n_ctrl, n_exog, n_exog)", dims(nc, ne, ne)},
            {a.hss, "hss", "(n_state,)", dims(ns)},
            {a.gss, "gss", "(n_ctrl,)", dims(nc)},
            {a.steady_state, "steady_state", "(n_state + n_ctrl,)", dims(ns + nc)},
            {a.Q, "Q", "(n_exog, n_exog)", dims(ne, ne)},
            {a.R, "R", "(n_obs, n_obs)", dims(no, no)},
            {a.z0, "z0", "(2 * n_state,)", dims(2 * ns)},
            {a.P0, "P0", "(2 * n_state, 2 * n_state)", dims(2 * ns, 2 * ns)},
        },
        ShapeMessage::symbols_only);
}

// Empty blocks go to the loop as null addresses.
ukf_inputs point_inputs(const Call& call, const Arrays& a, const Dimensions& dim) noexcept {
    const bool shocks = dim.n_exog > 0, controls = dim.n_ctrl > 0;
    ukf_inputs in{};
    in.meas = call.function_at<meas_fn>(meas_addr);
    in.hx = a.hx.cells();
    in.gx = a.gx.cells_if(controls);
    in.bu = a.bu.cells_if(shocks);
    in.hxx = a.hxx.cells();
    in.gxx = a.gxx.cells_if(controls);
    in.hxu = a.hxu.cells_if(shocks);
    in.gxu = a.gxu.cells_if(shocks && controls);
    in.huu = a.huu.cells_if(shocks);
    in.guu = a.guu.cells_if(shocks && controls);
    in.hss = a.hss.cells();
    in.gss = a.gss.cells_if(controls);
    in.steady_state = a.steady_state.cells();
    in.params = a.params.cells_if(dim.n_params > 0);
    in.Q = a.Q.cells_if(shocks);
    in.R = a.R.cells();
    in.obs = a.obs.cells_if(dim.T > 0);
    in.z0 = a.z0.cells();
    in.P0 = a.P0.cells();
    in.T = dim.T;
    in.n_state = dim.n_state;
    in.n_ctrl = dim.n_ctrl;
    in.n_exog = dim.n_exog;
    in.n_obs = dim.n_obs;
    in.n_params = dim.n_params;
    in.alpha = call.real(alpha);
    in.beta = call.real(beta);
    in.kappa = call.real(kappa);
    in.jitter = call.real(jitter);
    in.symmetrize = call.flag(symmetrize);
    in.store_history = call.flag(store_history);
    return in;
}

// Histories that are not stored go as null.
ukf_outputs point_histories(const Outputs<n_histories>& h, bool stored) noexcept {
    ukf_outputs out{};
    out.x1_pred = h.cells(u_x1_pred, stored);
    out.x2_pred = h.cells(u_x2_pred, stored);
    out.x1_filt = h.cells(u_x1_filt, stored);
    out.x2_filt = h.cells(u_x2_filt, stored);
    point_common_histories(out, h, u_x_pred, stored);
    return out;
}

PyObject* run(Call& call) noexcept {
    Arrays a;
    if (!call.coerce_each({{hx, a.hx}, {gx, a.gx}, {bu, a.bu}, {hxx, a.hxx}, {gxx, a.gxx},
                           {hxu, a.hxu}, {gxu, a.gxu}, {huu, a.huu}, {guu, a.guu},
                           {hss, a.hss}, {gss, a.gss}, {steady_state, a.steady_state},
                           {params, a.params}, {Q, a.Q}, {R, a.R}, {obs, a.obs}, {z0, a.z0},
                           {P0, a.P0}})) {
        return nullptr;
    }
    const Dimensions dim{a.hx.extent(0),  a.gx.extent(0),     a.bu.extent(1),
                         a.obs.extent(1), a.params.extent(0), a.obs.extent(0)};
    if (!check_shapes(call, a, dim)) {
        return nullptr;
    }
    const i64 ns = dim.n_state, nz = 2 * ns, nv = ns + dim.n_ctrl, no = dim.n_obs;
    const i64 T = call.flag(store_history) ? dim.T : 0;
    const Shape shapes[n_histories] = {
        dims(T, ns),     dims(T, ns),     dims(T, ns),     dims(T, ns),      // x1, x2
        dims(T, nv),     dims(T, nv),                                        // x
        dims(T, nz, nz), dims(T, nz, nz),                                    // P
        dims(T, no),     dims(T, no),     dims(T, no),     dims(T, no),      // y, innovations
        dims(T, no, no),                                                     // S
    };
    Outputs<n_histories> histories;
    if (!histories.allocate(call.numpy(), NumPyMember::zeros, shapes,
                            ukf_arena_size(ns, dim.n_ctrl, dim.n_exog, no))) {
        return nullptr;
    }
    return run_filter(ukf_hot_loop, point_inputs(call, a, dim), point_histories(histories, T > 0),
                      histories);
}

}  // namespace

const Entry ukf_hot_loop_entry = make_entry("ukf_hot_loop", doc, param_table, defaults, run);

}  // namespace velm_kalman_py
