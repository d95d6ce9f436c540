// CPython binding of the filter kernels: the module frame and the entries kalman_hot_loop,
// stationary_covariance, ekf_hot_loop, ukf_hot_loop and kalman_loglik_grad, on the CPython glue
// of _ckernels/_python.
#include <cstdint>
#include <iterator>

#include "_python/binder.h"
#include "_python/errors.h"
#include "_python/function_type.h"
#include "_python/numpy_io.h"
#include "_python/ref.h"
#include "_python/shape_checks.h"
#include "kalman/kalman.h"

namespace velm_kalman_py {

using namespace velm_py;

// ==== what every filter records ==================================================================

// The nine histories every filter's records name alike, x_pred to S, held in this order from
// history `first` on; histories that are not stored go as null.
template <class Records, int N>
void point_common_histories(Records& out, const Outputs<N>& h, int first, bool stored) noexcept {
    out.x_pred = h.cells(first, stored);
    out.x_filt = h.cells(first + 1, stored);
    out.P_pred = h.cells(first + 2, stored);
    out.P_filt = h.cells(first + 3, stored);
    out.y_pred = h.cells(first + 4, stored);
    out.y_filt = h.cells(first + 5, stored);
    out.innov = h.cells(first + 6, stored);
    out.std_innov = h.cells(first + 7, stored);
    out.S = h.cells(first + 8, stored);
}

// Runs the filter loop over in, writing to the histories out points at, without the interpreter
// lock; returns (status, (history..., loglik)).
template <class Inputs, class Records, class Status, int N>
PyObject* run_filter(Status (*loop)(const Inputs*, f64*, Records*), const Inputs& in,
                     Records out, const Outputs<N>& histories) noexcept {
    f64 loglik = 0.0;
    out.loglik = &loglik;
    f64* scratch = histories.scratch();
    const Status status = without_interpreter_lock([&] { return loop(&in, scratch, &out); });
    Ref total = Ref::steal(PyFloat_FromDouble(loglik));
    Ref result = total ? histories.tuple(total.get()) : Ref();
    return result ? status_pair(status, result.get()) : nullptr;
}

// ==== kalman_hot_loop and ekf_hot_loop: the shared history block =================================

enum FilterHistory : int {
    h_x_pred, h_x_filt, h_P_pred, h_P_filt, h_y_pred, h_y_filt, h_innov, h_std_innov, h_S,
    h_eps_hat, n_filter_histories
};
static_assert(h_S == h_x_pred + 8, "the common histories in their order");
using FilterHistories = Outputs<n_filter_histories>;

// Rows of the histories: T when they are stored, and of the shock estimates when they are
// stored and asked for as well; zero otherwise.
struct HistoryRows {
    i64 hist_T, shock_T;
};

inline HistoryRows history_rows(i64 T, bool store_history, bool return_shocks) noexcept {
    return {store_history ? T : 0, store_history && return_shocks ? T : 0};
}

// The histories, allocated with np.zeros, then the arena of `scratch` cells.
inline bool allocate_filter_histories(FilterHistories& histories, NumPy& np, HistoryRows rows,
                                      i64 n, i64 m, i64 k, arena_size scratch) noexcept {
    const i64 T = rows.hist_T;
    const Shape shapes[n_filter_histories] = {
        dims(T, n), dims(T, n), dims(T, n, n), dims(T, n, n), dims(T, m),
        dims(T, m), dims(T, m), dims(T, m),    dims(T, m, m), dims(rows.shock_T, k),
    };
    return histories.allocate(np, NumPyMember::zeros, shapes, scratch);
}

// kf_outputs or ekf_outputs pointing at the histories.
template <class Records>
Records point_filter_histories(const FilterHistories& h, HistoryRows rows) noexcept {
    Records out{};
    point_common_histories(out, h, h_x_pred, rows.hist_T > 0);
    out.eps_hat = h.cells(h_eps_hat, rows.shock_T > 0);
    return out;
}

// ==== the linear model of kalman_hot_loop and kalman_loglik_grad =================================

namespace linear {

enum : int {
    T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter, return_shocks,
    store_history
};
// kalman_hot_loop takes all of them; kalman_loglik_grad the first n_model_params, up to jitter.
inline constexpr Param params[] = {
    count("T"),        triple("nmk"),         array("A", 2),        array("B", 2),
    array("C", 2),     array("d", 1),         array("Q", 2),        array("R", 2),
    observations("y"), array("x0", 1),        array("P0", 2),       flag("symmetrize"),
    flag("joseph_cov"), real("jitter"),       flag("return_shocks"), flag("store_history"),
};
static_assert(std::size(params) == store_history + 1, "one table row per parameter");
constexpr Py_ssize_t n_model_params = jitter + 1;

// T and (n, m, k) from the arguments, and the nine arrays coerced and checked against them.
struct Model {
    i64 T, n, m, k;
    BufferView A, B, C, d, Q, R, y, x0, P0;
};

// nmk is read before any array is coerced; the arrays are coerced in parameter order, then
// checked against the dimensions.
bool read_model(Call& call, Model& model) noexcept;

// kf_inputs of the model and the converted flags; the history flags are left for the caller.
kf_inputs model_inputs(const Call& call, const Model& model) noexcept;

namespace {

// Dimensions come from the arguments, so every array is compared with them before the kernel
// indexes it; y may carry more than T rows.
bool check_shapes(const Model& md) noexcept {
    const i64 n = md.n, m = md.m, k = md.k;
    if (!require_shapes({{md.A, "A", "(n, n)", dims(n, n)},
                         {md.B, "B", "(n, k)", dims(n, k)},
                         {md.C, "C", "(m, n)", dims(m, n)},
                         {md.d, "d", "(m,)", dims(m)},
                         {md.Q, "Q", "(k, k)", dims(k, k)},
                         {md.R, "R", "(m, m)", dims(m, m)}})) {
        return false;
    }
    if (md.T > 0 && (md.y.extent(0) < md.T || md.y.extent(1) != m)) {
        return refuse(PyExc_ValueError,
                      "y must have m = %lld columns and at least T = %lld rows, got %s.",
                      static_cast<long long>(m), static_cast<long long>(md.T),
                      ShapeText(shape_of(md.y)).text);
    }
    return require_shapes({{md.x0, "x0", "(n,)", dims(n)}, {md.P0, "P0", "(n, n)", dims(n, n)}});
}

}  // namespace

bool read_model(Call& call, Model& md) noexcept {
    i64 nmk_items[3];
    if (!to_triple(call.arg(nmk), nmk_items)) {
        return false;
    }
    md.n = nmk_items[0];
    md.m = nmk_items[1];
    md.k = nmk_items[2];
    if (md.n < 0 || md.m < 0 || md.k < 0) {
        return refuse(PyExc_ValueError,
                      "nmk must hold non-negative dimensions (n, m, k), got (%lld, %lld, %lld).",
                      static_cast<long long>(md.n), static_cast<long long>(md.m),
                      static_cast<long long>(md.k));
    }
    md.T = call.count(T);
    return call.coerce_each({{A, md.A}, {B, md.B}, {C, md.C}, {d, md.d}, {Q, md.Q}, {R, md.R},
                             {y, md.y}, {x0, md.x0}, {P0, md.P0}}) &&
           check_shapes(md);
}

kf_inputs model_inputs(const Call& call, const Model& model) noexcept {
    kf_inputs in{};
    in.n = model.n;
    in.m = model.m;
    in.k = model.k;
    in.T = model.T;
    in.A = model.A.cells();
    in.B = model.B.cells();
    in.C = model.C.cells();
    in.d = model.d.cells();
    in.Q = model.Q.cells();
    in.R = model.R.cells();
    in.y = model.y.cells_if(model.T > 0);
    in.x0 = model.x0.cells();
    in.P0 = model.P0.cells();
    in.symmetrize = call.flag(symmetrize);
    in.joseph_cov = call.flag(joseph_cov);
    in.jitter = call.real(jitter);
    return in;
}

}  // namespace linear

// ==== kalman_hot_loop ============================================================================

namespace kf {

using namespace linear;

constexpr Default defaults[] = {default_flag(false), default_flag(true)};

constexpr const char doc[] =
    "Run the linear Kalman filter.\n"
    "\n"
    "    Array inputs are coerced to contiguous float64 here. Returns\n"
    "    ``(status, out)`` where ``status`` is a ``kalman.errors`` code (KF_OK on\n"
    "    success) and ``out`` is the history tuple + loglik; the caller maps a nonzero\n"
    "    status to the matching in-house exception.\n"
    "    ";

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const HistoryRows rows =
        history_rows(model.T, call.flag(store_history), call.flag(return_shocks));
    FilterHistories histories;
    if (!allocate_filter_histories(histories, call.numpy(), rows, model.n, model.m, model.k,
                                   kf_arena_size(model.n, model.m, model.k))) {
        return nullptr;
    }

    kf_inputs in = model_inputs(call, model);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    return run_filter(kf_hot_loop, in, point_filter_histories<kf_outputs>(histories, rows),
                      histories);
}

const Entry entry = make_entry("kalman_hot_loop", doc, params, defaults, run);

}  // namespace kf

// ==== stationary_covariance ======================================================================

namespace sc {

enum : int { A, B, Q, tolerance, max_iterations };
constexpr Param params[] = {
    array("A", 2), array("B", 2), array("Q", 2), real("tolerance"), count("max_iterations"),
};
constexpr Default defaults[] = {default_real(1e-12), default_count(64)};
static_assert(std::size(params) == max_iterations + 1, "one table row per parameter");

constexpr const char doc[] = "Solve ``P = A P A.T + B Q B.T`` and return ``(status, P)``.";

// The dimensions come from the coerced arrays: n from the rows of A, k from the columns of B.
bool check_shapes(const BufferView& A, const BufferView& B, const BufferView& Q) noexcept {
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

PyObject* run(Call& call) noexcept {
    BufferView a, b, q;
    if (!call.coerce_each({{A, a}, {B, b}, {Q, q}}) || !check_shapes(a, b, q)) {
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

const Entry entry =
    make_entry("stationary_covariance", doc, params, defaults, run);

}  // namespace sc

// ==== ekf_hot_loop ===============================================================================

namespace ekf {

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

const Entry entry = make_entry("ekf_hot_loop", doc, params, defaults, run);

}  // namespace ekf

// ==== ukf_hot_loop ===============================================================================

namespace ukf {

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

const Entry entry = make_entry("ukf_hot_loop", doc, param_table, defaults, run);

}  // namespace ukf

// ==== kalman_loglik_grad =========================================================================

namespace kfg {

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
    Ref tuple = grads.tuple();
    Ref code = Ref::steal(tuple ? PyLong_FromLong(status) : nullptr);
    Ref total = Ref::steal(code ? PyFloat_FromDouble(loglik) : nullptr);
    return total ? PyTuple_Pack(3, code.get(), total.get(), tuple.get()) : nullptr;
}

const Entry entry =
    make_entry("kalman_loglik_grad", doc, params, n_model_params, run);

}  // namespace kfg

}  // namespace velm_kalman_py

namespace {

using namespace velm_py;

constexpr const char kDottedName[] = "Velmora._ckernels.kalman._kalman";
constexpr const char kFunctionTypeName[] = "Velmora._ckernels.kalman._kalman.native_function";

// The module's functions, in the order they are bound.
const Entry* const kEntries[] = {
    &velm_kalman_py::kf::entry,  &velm_kalman_py::sc::entry,  &velm_kalman_py::ekf::entry,
    &velm_kalman_py::ukf::entry, &velm_kalman_py::kfg::entry,
};

PyObject* g_module = nullptr;              // the one module of this process, once executing
PyTypeObject* g_function_type = nullptr;   // type of the module's function objects
std::int64_t g_interpreter_id = -1;        // the interpreter that first created the module

// ==== module creation and execution ==============================================================

// Creation step 1: the module binds itself to the first interpreter that creates it.
bool check_single_interpreter() noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        return refuse(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.");
    }
    return true;
}

// module.__dict__[to] = module_spec.<from>; an attribute the module_spec lacks is skipped.
bool copy_spec_attribute(PyObject* module_spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    return (!allow_none && value.get() == Py_None) ||
           PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    if (!check_single_interpreter()) {
        return nullptr;
    }
    if (g_module) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    Ref module = Ref::steal(name ? PyModule_NewObject(name.get()) : nullptr);
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (!dict || !copy_spec_attribute(module_spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(module_spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(module_spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(module_spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// Execution step 2: a build for another interpreter version warns but goes on.
bool warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kDottedName, "does not match",
                            major, minor) == 0;
}

// Execution step 3: interned names, keyword tuples and the function type.
bool prepare_constants(PyObject* module) noexcept {
    if (!prepare_numpy_names() || !prepare_binder_names()) {
        return false;
    }
    Py_XSETREF(g_function_type, new_function_type(module, kFunctionTypeName));
    return g_function_type != nullptr;
}

// Execution step 4.
bool register_module(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kDottedName);
    return present || PyDict_SetItemString(modules, kDottedName, module) == 0;
}

// Execution step 5: import numpy as np.
bool import_numpy(PyObject* module) noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    return numpy && bind_numpy(module, numpy.get());
}

// Execution step 6.
bool bind_functions(PyObject* module) noexcept {
    for (const Entry* entry : kEntries) {
        Ref function = new_function(g_function_type, *entry, module, kDottedName);
        if (!function || PyModule_AddObjectRef(module, entry->name, function.get()) != 0) {
            return false;
        }
    }
    return true;
}

int module_exec(PyObject* module) noexcept {
    if (g_module) {
        if (g_module == module) {
            return 0;
        }
        refuse(PyExc_RuntimeError,
               "Module '_kalman' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (warn_on_version_mismatch() && prepare_constants(module) && register_module(module) &&
        import_numpy(module) && bind_functions(module)) {
        return 0;
    }
    Py_CLEAR(g_module);  // a failed import may be tried again
    if (!PyErr_Occurred()) {
        refuse(PyExc_ImportError, "init Velmora._ckernels.kalman._kalman");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kalman",
    "Native binding of the linear Kalman filter's hot loop. It allocates the history output\n"
    "arrays, marshals the NumPy buffers into the ``kf_inputs``/``kf_outputs`` records, runs\n"
    "``kf_hot_loop`` without the interpreter lock, and hands the status code back for\n"
    "``KalmanFilter.run`` to translate into its exceptions. Its public signature and return\n"
    "shape match the package's just-in-time-compiled ``_kalman_hot_loop``, so that the two are\n"
    "interchangeable at the call site.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kalman(void) noexcept { return PyModuleDef_Init(&module_def); }
