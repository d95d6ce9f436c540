// ekf_hot_loop: the extended Kalman filter whose measurement and Jacobian are native callbacks.
#include <iterator>

#include "_python/errors.h"
#include "kalman/entries.h"

namespace velm_kalman_py {

namespace {

enum : int {
    meas_addr, jac_addr, A, B, calib_params, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter,
    compute_y_filt, return_shocks, store_history
};
constexpr Param params[] = {
    address("meas_addr"), address("jac_addr"),   array("A", 2),
    array("B", 2),        array("calib_params", 1), array("Q", 2),
    array("R", 2),        observations("y"),     array("x0", 1),
    array("P0", 2),       flag("symmetrize"),    flag("joseph_cov"),
    real("jitter"),       flag("compute_y_filt"), flag("return_shocks"),
    flag("store_history"),
};
constexpr Default defaults[] = {default_flag(true), default_flag(false), default_flag(true)};
static_assert(std::size(params) == store_history + 1, "one table row per parameter");

constexpr const char doc[] =
    "Run the native extended Kalman filter (linear transition, nonlinear\n"
    "    measurement via the ``meas``/``jac`` @cfunc addresses).\n"
    "\n"
    "    ``meas_addr``/``jac_addr`` are real-valued @cfunc addresses with signature\n"
    "    ``void(double* x, double* params, double* out)``: ``meas`` writes\n"
    "    ``out[m]``, ``jac`` writes the (m, n) row-major jacobian. Array inputs are\n"
    "    coerced to contiguous float64 here. Returns ``(status, out)`` with the\n"
    "    history tuple + loglik; the caller maps a nonzero status to the matching\n"
    "    in-house exception.\n"
    "    ";

struct Dimensions {
    i64 n, k, T, m, n_par;
};

// n, k, T, m, n_par from the `shape` of the arguments as passed, in that order.
bool read_dimensions(const Call& call, Dimensions& dim) noexcept {
    return shape_item(call.arg(A), "A", 2, 0, &dim.n) &&
           shape_item(call.arg(B), "B", 2, 1, &dim.k) &&
           shape_item(call.arg(y), "y", 2, 0, &dim.T) &&
           shape_item(call.arg(y), "y", 2, 1, &dim.m) &&
           shape_item(call.arg(calib_params), "calib_params", 1, 0, &dim.n_par);
}

bool check_addresses(const Call& call) noexcept {
    return (call.address(meas_addr) != 0 && call.address(jac_addr) != 0) ||
           refuse(PyExc_ValueError,
                  "ekf_hot_loop requires nonzero measurement and jacobian function addresses.");
}

// The arrays in parameter order.
struct Arrays {
    BufferView A, B, calib_params, Q, R, y, x0, P0;
};

// The coerced arrays must match the shapes read before coercion (a `shape` attribute may
// disagree with the data) and the shapes those dimensions imply for the other arrays.
bool check_shapes(const Arrays& a, const Dimensions& dim) noexcept {
    const i64 n = dim.n, k = dim.k, m = dim.m;
    return require_shapes({
        {a.A, "A", "(n, n)", dims(n, n)},
        {a.B, "B", "(n, k)", dims(n, k)},
        {a.Q, "Q", "(k, k)", dims(k, k)},
        {a.R, "R", "(m, m)", dims(m, m)},
        {a.y, "y", "(T, m)", dims(dim.T, m)},
        {a.x0, "x0", "(n,)", dims(n)},
        {a.P0, "P0", "(n, n)", dims(n, n)},
        {a.calib_params, "calib_params", "(n_par,)", dims(dim.n_par)},
    });
}

ekf_inputs point_inputs(const Call& call, const Arrays& a, const Dimensions& dim) noexcept {
    ekf_inputs in{};
    in.meas = call.function_at<meas_fn>(meas_addr);
    in.jac = call.function_at<meas_fn>(jac_addr);
    in.A = a.A.cells();
    in.B = a.B.cells();
    in.calib_params = a.calib_params.cells_if(dim.n_par > 0);
    in.Q = a.Q.cells();
    in.R = a.R.cells();
    in.y = a.y.cells_if(dim.T > 0);
    in.x0 = a.x0.cells();
    in.P0 = a.P0.cells();
    in.T = dim.T;
    in.n = dim.n;
    in.m = dim.m;
    in.k = dim.k;
    in.n_par = dim.n_par;
    in.jitter = call.real(jitter);
    in.symmetrize = call.flag(symmetrize);
    in.joseph_cov = call.flag(joseph_cov);
    in.compute_y_filt = call.flag(compute_y_filt);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    return in;
}

PyObject* run(Call& call) noexcept {
    Dimensions dim{};
    if (!read_dimensions(call, dim) || !check_addresses(call)) {
        return nullptr;
    }
    const HistoryRows rows =
        history_rows(dim.T, call.flag(store_history), call.flag(return_shocks));

    Arrays a;
    if (!call.coerce_each({{A, a.A}, {B, a.B}, {Q, a.Q}, {R, a.R}, {y, a.y}, {x0, a.x0},
                           {P0, a.P0}, {calib_params, a.calib_params}}) ||
        !check_shapes(a, dim)) {
        return nullptr;
    }
    FilterHistories histories;
    if (!allocate_filter_histories(histories, call.numpy(), rows, dim.n, dim.m, dim.k,
                                   ekf_arena_size(dim.n, dim.m, dim.k))) {
        return nullptr;
    }

    return run_filter(ekf_hot_loop, point_inputs(call, a, dim),
                      point_filter_histories<ekf_outputs>(histories, rows), histories);
}

}  // namespace

const Entry ekf_hot_loop_entry = make_entry("ekf_hot_loop", doc, params, defaults, run);

}  // namespace velm_kalman_py
