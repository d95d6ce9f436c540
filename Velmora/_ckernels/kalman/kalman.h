// Filter kernels: Kalman building blocks, the linear, extended and unscented filter loops over a
// whole sample, the stationary covariance solver, their records and their arena sizes.
#ifndef VELM_KALMAN_H
#define VELM_KALMAN_H

#include "_common/velm_common.h"
#include "_common/velm_status.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// Measurement callback supplied by the caller as compiled native code, called without the
// interpreter lock: reads x (the state, or all variable levels) and params, writes every cell
// of out (the observation vector, or the row-major Jacobian).
typedef void (*meas_fn)(const f64* x, const f64* params, f64* out);

// ---- building blocks ------------------------------------------------------------------------
void kf_row_minus_vec(const f64* A, i64 row, const f64* x, f64* out, i64 m);
void kf_chol_solve_row(const f64* L, const f64* B, i64 row, f64* fbuf, f64* bbuf, f64* out,
                       i64 n);
void kf_predict_cov(const f64* A, const f64* P_prev, const f64* BQBT, f64* temp_nn, f64* out,
                    i64 n);
void kf_measurement_cov(const f64* C, const f64* P_pred, const f64* R, f64* temp_mn, f64* out,
                        i64 n, i64 m);
void kf_pc_t(const f64* P_pred, const f64* C, f64* out, i64 n, i64 m);
void kf_gain_from_pc_t(const f64* L, const f64* PCt, f64* fbuf, f64* bbuf, f64* out, i64 n,
                       i64 m);
void kf_state_update(const f64* x_pred, const f64* K, const f64* v, f64* out, i64 n, i64 m);
void kf_identity_minus(const f64* A, f64* out, i64 n);
void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* KC,
                   f64* I_minus_KC, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m);
void kf_simple_cov(const f64* K, const f64* PCt, const f64* P_pred, f64* out, i64 n, i64 m);
void kf_build_shock_projection(const f64* B, const f64* C, const f64* Q, f64* temp_km, f64* out,
                               i64 n, i64 k, i64 m);

// ---- process noise and stationary covariance ------------------------------------------------
void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k);
arena_size kf_stationary_covariance_arena_size(const i64 n, const i64 k);
int kf_stationary_covariance(const f64* A, const f64* B, const f64* Q, f64 tol, i64 max_iter,
                             f64* arena, f64* out, i64 n, i64 k, i64 ld_out);

// Gradient of <P_bar, P> with P = kf_stationary_covariance(A, B, Q, tol, max_iter): with X the
// solution of the adjoint equation X = A' X A + sym(P_bar) (the same doubling),
// A_bar = 2 X A P, B_bar = X B (Q + Q'), Q_bar = B' X B. Returns the first failing solve's status,
// or KF_ERR_NO_CONVERGENCE where a result overflows, as the solver reports a non-finite value.
arena_size kf_stationary_covariance_grad_arena_size(const i64 n, const i64 k);
int kf_stationary_covariance_grad(const f64* A, const f64* B, const f64* Q, const f64* P_bar,
                                  f64 tol, i64 max_iter, f64* arena, f64* A_bar, f64* B_bar,
                                  f64* Q_bar, i64 n, i64 k);

// ---- linear Kalman filter -------------------------------------------------------------------
typedef struct kf_inputs {
    i64 n;
    i64 m;
    i64 k;
    i64 T;
    const f64* A;
    const f64* B;
    const f64* C;
    const f64* d;
    const f64* Q;
    const f64* R;
    const f64* y;
    const f64* x0;
    const f64* P0;
    int symmetrize;
    int joseph_cov;
    f64 jitter;
    int return_shocks;
    int store_history;
} kf_inputs;

typedef struct kf_outputs {
    f64* x_pred;
    f64* x_filt;
    f64* P_pred;
    f64* P_filt;
    f64* y_pred;
    f64* y_filt;
    f64* innov;
    f64* std_innov;
    f64* S;
    f64* eps_hat;
    f64* loglik;
} kf_outputs;

arena_size kf_arena_size(const i64 n, const i64 m, const i64 k);
// Once P_pred repeats itself to within rounding the covariance recursion stops: later periods
// reuse S, its factor, the gain and P_filt, and filter only the states.
int kf_hot_loop(const kf_inputs* in, f64* arena, kf_outputs* out);

// ---- missing observations -------------------------------------------------------------------
// A NaN in y marks that observable missing in that period: the period updates with its observed
// rows of C, d and R only, its log-likelihood term counts only them (m_t ln 2 pi), and a period
// with nothing observed only predicts. Same records as kf_hot_loop; the histories hold, for the
// whole observation vector, y_pred = C x_pred + d, y_filt = C x_filt + d, S = C P_pred C' + R and
// innov = y - y_pred (NaN where missing); std_innov is L_t^-1 v_t at the observed positions and
// NaN elsewhere, eps_hat = Q B' C_t' S_t^-1 v_t over the observed rows. A sample without a missing
// entry settles like kf_hot_loop (without its low-rank route); with one it runs the full
// covariance recursion.
arena_size kf_missing_arena_size(const i64 n, const i64 m, const i64 k);
int kf_missing_loop(const kf_inputs* in, f64* arena, kf_outputs* out);

// ---- state and disturbance smoother ---------------------------------------------------------
// Durbin and Koopman (2012, sec. 4.4 to 4.5) over one forward pass (kf_hot_loop's for a complete
// sample, with the same log-likelihood; kf_missing_loop's for one with a missing entry; the
// history flags of kf_inputs are ignored), whose gains, factors and predicted covariances the
// backward recursions reuse:
//   x_smooth[t]   = E[x(t) | y],  P_smooth[t] = Var[x(t) | y]
//   eps_smooth[t] = E[eps(t) | y], the shock that moves x(t-1) to x(t) (row 0: the shock the
//                   prior is taken to carry, with Cov(eps(0), x(0)) = Q B' as in eps_hat[0])
//   eta_smooth[t] = E[y(t) - C x(t) - d | y], every row (a missing one through R's correlations)
// Where the covariances have settled, a period costs O(n^2 + n m + m^2): the backward covariance
// recursion settles as well, by the rule of the forward one. P_smooth and eta_smooth may be null
// (not computed). The arena grows with T. Returns 0, or -1102 at the first failed factorisation
// with loglik summed over the earlier periods and every smoothed output zero.
typedef struct kfs_outputs {
    f64* x_smooth;    // T x n
    f64* P_smooth;    // T x n x n, or null
    f64* eps_smooth;  // T x k
    f64* eta_smooth;  // T x m, or null
    f64* loglik;      // 1 cell
} kfs_outputs;

arena_size kfs_arena_size(const i64 n, const i64 m, const i64 k, const i64 T);
int kfs_smoother(const kf_inputs* in, f64* arena, kfs_outputs* out);

// ---- simulation smoother --------------------------------------------------------------------
// One draw of the states and shocks from their distribution given y (Durbin and Koopman, 2002,
// mean correction): a sample (x+, eps+, y+) of the model from the caller's standard normal
// variates, then x_draw = x+ + x_smooth(y - y+) and eps_draw = eps+ + eps_smooth(y - y+), the
// smoothers run with a zero prior mean and d = 0 and the missing pattern of y. The prior carries
// the shock of period 0: x+(0) = x0 + F0 z_x0 + B eps+(0) with F0 F0' = P0 - B Q B', which must be
// positive semi-definite (a stationary prior is); Q, R and P0 - B Q B' are factored allowing zero
// pivots (the difference with diagonal pivoting, to within sqrt(eps) of its operands' size).
// Returns 0, or -1102 when a factorisation fails.
typedef struct kfs_variates {
    const f64* z_x0;   // n
    const f64* z_eps;  // T x k
    const f64* z_eta;  // T x m
} kfs_variates;

typedef struct kfs_draw {
    f64* x_draw;    // T x n
    f64* eps_draw;  // T x k
} kfs_draw;

arena_size kfs_simulation_arena_size(const i64 n, const i64 m, const i64 k, const i64 T);
int kfs_simulation_smoother(const kf_inputs* in, const kfs_variates* z, f64* arena,
                            kfs_draw* out);

// ---- extended Kalman filter -----------------------------------------------------------------
typedef struct ekf_inputs {
    meas_fn meas;
    meas_fn jac;
    const f64* A;
    const f64* B;
    const f64* calib_params;
    const f64* Q;
    const f64* R;
    const f64* y;
    const f64* x0;
    const f64* P0;
    i64 T;
    i64 n;
    i64 m;
    i64 k;
    i64 n_par;
    f64 jitter;
    int symmetrize;
    int joseph_cov;
    int compute_y_filt;
    int return_shocks;
    int store_history;
} ekf_inputs;

// Same fields, order and shapes as kf_outputs; y_pred and y_filt hold h(x_pred) and h(x_filt).
typedef struct ekf_outputs {
    f64* x_pred;
    f64* x_filt;
    f64* P_pred;
    f64* P_filt;
    f64* y_pred;
    f64* y_filt;
    f64* innov;
    f64* std_innov;
    f64* S;
    f64* eps_hat;
    f64* loglik;
} ekf_outputs;

arena_size ekf_arena_size(const i64 n, const i64 m, const i64 k);
int ekf_hot_loop(const ekf_inputs* in, f64* arena, ekf_outputs* out);

// ---- second-order unscented Kalman filter ---------------------------------------------------
typedef struct ukf_inputs {
    meas_fn meas;
    const f64* hx;
    const f64* gx;
    const f64* bu;
    const f64* hxx;
    const f64* gxx;
    const f64* hxu;
    const f64* gxu;
    const f64* huu;
    const f64* guu;
    const f64* hss;
    const f64* gss;
    const f64* steady_state;
    const f64* params;
    const f64* Q;
    const f64* R;
    const f64* obs;
    const f64* z0;
    const f64* P0;
    i64 T;
    i64 n_state;
    i64 n_ctrl;
    i64 n_exog;
    i64 n_obs;
    i64 n_params;
    f64 alpha;
    f64 beta;
    f64 kappa;
    f64 jitter;
    int symmetrize;
    int store_history;
} ukf_inputs;

typedef struct ukf_outputs {
    f64* x1_pred;
    f64* x2_pred;
    f64* x1_filt;
    f64* x2_filt;
    f64* x_pred;
    f64* x_filt;
    f64* P_pred;
    f64* P_filt;
    f64* y_pred;
    f64* y_filt;
    f64* innov;
    f64* std_innov;
    f64* S;
    f64* loglik;
} ukf_outputs;

arena_size ukf_arena_size(const i64 n_state, const i64 n_ctrl, const i64 n_exog,
                          const i64 n_obs);
i64 ukf_hot_loop(const ukf_inputs* in, f64* arena, ukf_outputs* out);

// ---- score of the linear filter ------------------------------------------------------------
// The log-likelihood of kf_hot_loop (of its full covariance recursion, which it equals up to
// rounding) and its gradient with respect to each model input. The history flags of kf_inputs
// are ignored; every gradient array has its input's shape. The arena grows with T: it holds a
// tape of what the reverse sweep reads, one row per period. A NaN in y is a missing observation,
// as in kf_missing_loop, whose log-likelihood it then is (a sample with one never settles).
// Returns KF_OK, or KF_ERR_CHOLESKY at the first failed factorisation with loglik summed over the
// earlier periods and every gradient zero.
typedef struct kf_grad_outputs {
    f64* loglik;  // 1 cell
    f64* A_bar;   // d loglik / dA  (n x n)
    f64* B_bar;   // d loglik / dB  (n x k)
    f64* C_bar;   // d loglik / dC  (m x n)
    f64* d_bar;   // d loglik / dd  (m)
    f64* Q_bar;   // d loglik / dQ  (k x k)
    f64* R_bar;   // d loglik / dR  (m x m)
    f64* x0_bar;  // d loglik / dx0 (n)
    f64* P0_bar;  // d loglik / dP0 (n x n)
} kf_grad_outputs;

arena_size kf_loglik_grad_arena_size(const i64 n, const i64 m, const i64 k, const i64 T);
int kf_loglik_grad(const kf_inputs* in, f64* arena, kf_grad_outputs* out);

// ---- score from the stationary start ----------------------------------------------------------
// The log-likelihood of kf_hot_loop started from the stationary covariance, in->P0 =
// kf_stationary_covariance(A, B, Q, tol, max_iter), and its total gradient: A_bar, B_bar and
// Q_bar include the derivative through P0, which the solver's adjoint (kf_stationary_covariance_
// grad, with tol and max_iter) adds; P0_bar receives the adjoint of P0 handed to it. From such a
// start the covariance recursion runs as rank-m updates, and so does the reverse sweep, in
// O(n^2 m) per period; a sample that cannot take that route (missing observations, a first change
// that is not of rank m to rounding, a failed factor on the route, the Joseph form without
// symmetrisation) is differentiated by kf_loglik_grad. Returns KF_OK, the first failure of
// kf_loglik_grad, or the adjoint solve's status, with every gradient zero on a failure.
arena_size kf_loglik_grad_stationary_arena_size(const i64 n, const i64 m, const i64 k,
                                                const i64 T);
int kf_loglik_grad_stationary(const kf_inputs* in, f64 tol, i64 max_iter, f64* arena,
                              kf_grad_outputs* out);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
