// The second-order pruned unscented Kalman filter over a whole sample: sigma points of the pruned
// state and the shocks through the second-order step and the caller's measurement function.
#include "kalman/kalman.h"

#include <cmath>

#include "_common/velm_linalg.h"
#include "_common/velm_perturbation.h"
#include "_common/velm_pivot.h"
#include "_common/velm_rows.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_steps::kf_call_measurement;
using velm_steps::kf_copy;
using velm_steps::kf_log_two_pi;

// Scaled unscented filter (Julier and Uhlmann 2004; Wan and van der Merwe 2000) on the pruned
// components z = (x1, x2) of a second-order solution. The shocks are not additive process noise:
// they are appended to z, so the sigma points of (z, u) carry them through the non-linear step
// and Q enters only through the fixed shock block of the augmented factor.
//
// The sigma points go through the second-order step all at once, as matrix products over
// coefficients folded once per call (velm_second_order_step_batch), before the measurement is
// called on each of them in order; the weighted moments are products of deviation blocks.

namespace {

// Dimensions of one call: filter state z = (x1, x2), augmented vector (z, u), variables
// (states first).
struct UkfDims {
    i64 ns, nc, ne, no;
    i64 nz, na, n_sig, nv;
};

// The derived dimensions with checked arithmetic: -1 once one overflows (or a dimension is
// negative), which the sizing function's counting carve then reports.
UkfDims ukf_dims(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs) {
    UkfDims d;
    d.ns = n_state;
    d.nc = n_ctrl;
    d.ne = n_exog;
    d.no = n_obs;
    d.nz = (2 * Cells(n_state)).count();
    d.na = (Cells(d.nz) + n_exog).count();
    d.n_sig = (2 * Cells(d.na) + 1).count();
    d.nv = (Cells(n_state) + n_ctrl).count();
    return d;
}

// Spread gamma = sqrt(na + lambda) and weights: row 0 weighs w0_m in means and w0_c in
// covariances, every other row wi.
struct UkfWeights {
    f64 gamma, w0_m, w0_c, wi;
};

// Scratch of the loop, in carve order.
struct UkfArena {
    f64* z_prev;
    f64* z_pred;
    f64* z_filt;
    f64* P_prev;
    f64* P_pred;
    f64* P_filt;
    f64* P_chol;
    f64* A_chol;
    f64* Q_chol;
    f64* sigma_a;
    f64* sigma_z;
    f64* sigma_y;
    f64* step;  // keeps its place in the carve; the batched step uses step_batch instead
    f64* y_pred;
    f64* innov;
    f64* std_innov;
    f64* S_inv_v;
    f64* solve_f;
    f64* solve_b;
    f64* S;
    f64* L;
    f64* Pzy;
    f64* K;
    f64* sigma_v;
    f64* vars_pred;
    f64* vars_filt;
    f64* Pvy;
    f64* Kv;
    f64* z_aug;
    f64* step_coef;   // model blocks folded once per call for the batched second-order step
    f64* step_batch;  // scratch of the batched step over all sigma points
    f64* dev_z;       // sigma_z - z_pred, row by row
    f64* wdev_z;      // w_c(r) (sigma_z - z_pred)
    f64* dev_y;       // sigma_y - y_pred
    f64* wdev_y;      // w_c(r) (sigma_y - y_pred)
    f64* dev_v;       // sigma_v - vars_pred
};

UkfArena ukf_carve(ArenaCarver& carve, const UkfDims& d) {
    const Cells nz = d.nz, na = d.na, ne = d.ne, no = d.no, nv = d.nv, n_sig = d.n_sig;
    UkfArena a;
    a.z_prev = carve.take(nz);
    a.z_pred = carve.take(nz);
    a.z_filt = carve.take(nz);
    a.P_prev = carve.take(nz * nz);
    a.P_pred = carve.take(nz * nz);
    a.P_filt = carve.take(nz * nz);
    a.P_chol = carve.take(nz * nz);
    a.A_chol = carve.take(na * na);
    a.Q_chol = carve.take(ne * ne);
    a.sigma_a = carve.take(n_sig * na);
    a.sigma_z = carve.take(n_sig * nz);
    a.sigma_y = carve.take(n_sig * no);
    a.step = carve.take(velm_second_order_step_scratch(d.ns, d.ne));
    a.y_pred = carve.take(no);
    a.innov = carve.take(no);
    a.std_innov = carve.take(no);
    a.S_inv_v = carve.take(no);
    a.solve_f = carve.take(no);
    a.solve_b = carve.take(no);
    a.S = carve.take(no * no);
    a.L = carve.take(no * no);
    a.Pzy = carve.take(nz * no);
    a.K = carve.take(nz * no);
    a.sigma_v = carve.take(n_sig * nv);
    a.vars_pred = carve.take(nv);
    a.vars_filt = carve.take(nv);
    a.Pvy = carve.take(nv * no);
    a.Kv = carve.take(nv * no);
    a.z_aug = carve.take(na);
    a.step_coef = carve.take(velm_second_order_fold_size(d.ns, d.nc, d.ne));
    a.step_batch = carve.take(velm_second_order_batch_scratch(d.n_sig, d.ns, d.nc, d.ne));
    a.dev_z = carve.take(n_sig * nz);
    a.wdev_z = carve.take(n_sig * nz);
    a.dev_y = carve.take(n_sig * no);
    a.wdev_y = carve.take(n_sig * no);
    a.dev_v = carve.take(n_sig * nv);
    return a;
}

}  // namespace

arena_size ukf_arena_size(const i64 n_state, const i64 n_ctrl, const i64 n_exog,
                          const i64 n_obs) {
    ArenaCarver counter = ArenaCarver::counting();
    ukf_carve(counter, ukf_dims(n_state, n_ctrl, n_exog, n_obs));
    return counter.size();
}

// sigma[0] = mean; sigma[1 + c] = mean + gamma chol[:, c]; sigma[1 + n + c] = mean - gamma
// chol[:, c]  (2n + 1 rows of n)
static inline void ukf_build_sigma_points(const f64* __restrict mean, const f64* __restrict chol,
                                          f64 gamma, f64* __restrict sigma, i64 n) {
    kf_copy(sigma, mean, n);
    for (i64 c = 0; c < n; ++c) {
        f64* __restrict plus = sigma + (1 + c) * n;
        f64* __restrict minus = sigma + (1 + n + c) * n;
        for (i64 i = 0; i < n; ++i) {
            const f64 offset = gamma * chol[i * n + c];
            plus[i] = mean[i] + offset;
            minus[i] = mean[i] - offset;
        }
    }
}

// out = w0 sigma[0] + sum_{r >= 1} wi sigma[r]  (n)
static inline void ukf_weighted_mean(const f64* __restrict sigma, f64 w0, f64 wi, i64 n_sig,
                                     i64 n, f64* __restrict out) {
    for (i64 i = 0; i < n; ++i) out[i] = w0 * sigma[i];
    for (i64 r = 1; r < n_sig; ++r) {
        const f64* __restrict row = sigma + r * n;
        for (i64 i = 0; i < n; ++i) out[i] += wi * row[i];
    }
}

// dev = sigma - mean row by row and wdev = w(r) dev, w(0) = w0 and w(r) = wi for r >= 1
// (n_sig x n); wdev may be null. Covariances are then products of these blocks:
// sum_r w(r) (a_r - a_mean) (b_r - b_mean)' = wdev_a' dev_b.
static inline void ukf_deviations(const f64* __restrict sigma, const f64* __restrict mean,
                                  f64 w0, f64 wi, i64 n_sig, i64 n, f64* __restrict dev,
                                  f64* __restrict wdev) {
    for (i64 r = 0; r < n_sig; ++r) {
        const f64 w = r == 0 ? w0 : wi;
        const f64* __restrict row = sigma + r * n;
        f64* __restrict dev_r = dev + r * n;
        for (i64 i = 0; i < n; ++i) dev_r[i] = row[i] - mean[i];
        if (wdev == nullptr) continue;
        f64* __restrict wdev_r = wdev + r * n;
        for (i64 i = 0; i < n; ++i) wdev_r[i] = w * dev_r[i];
    }
}

// P_filt = P_pred - K Pzy'  (nz x nz; equal to P_pred - K S K')
static inline void ukf_cov_update(const f64* __restrict P_pred, const f64* __restrict K,
                                  const f64* __restrict Pzy, f64* __restrict P_filt, i64 nz,
                                  i64 no) {
    // the update of the linear filter with P C' in the place of Pzy
    kf_simple_cov(K, Pzy, P_pred, P_filt, nz, no);
}

// Row t of the x1, x2 and variable-level histories from z = (x1, x2) and vars.
static inline void ukf_store_history(const ukf_inputs* in, const f64* z, const f64* vars, f64* x1,
                                     f64* x2, f64* x, i64 t) {
    const i64 ns = in->n_state;
    const i64 nv = in->n_state + in->n_ctrl;
    kf_copy(x1 + t * ns, z, ns);
    kf_copy(x2 + t * ns, z + ns, ns);
    kf_copy(x + t * nv, vars, nv);
}

// The retry's factor: L L' = P + jitter I + 1e-10 diag(P + jitter I), each variable's variance
// raised by 1e-10 of its own, so that the factor is the same in any units (a shared raise of
// 1e-10 times the largest variance swamps a variable in small units). With zero_rows, a
// variable without variance (a state known exactly, a shock that is switched off) gets a zero
// row, the exact factor of its part, provided nothing covaries with it: sigma points need no
// spread there, while a solve with S does. A matrix without any variance is not mended. Every
// pivot must stand clear of n eps of its own raised variance. 0 on success.
static int ukf_chol_in_own_units(const f64* P, f64 jitter, bool zero_rows, f64* L, i64 n) {
    velm_zero_mat(L, n, n);
    bool any_variance = false;
    for (i64 i = 0; i < n; ++i) {
        f64* L_i = L + i * n;
        const f64 variance = velm_pivot::jittered(P[i * n + i], jitter);
        if (variance == 0.0 && zero_rows) {
            for (i64 j = 0; j < i; ++j) {
                if (P[i * n + j] != 0.0) return VELM_ERR_NOT_POSITIVE_DEFINITE;
            }
            continue;  // row i stays zero
        }
        for (i64 j = 0; j < i; ++j) {
            const f64* L_j = L + j * n;
            const f64 sum = P[i * n + j] - velm_rows::row_dot(L_i, L_j, j);
            if (L_j[j] == 0.0) {
                if (sum != 0.0) return VELM_ERR_NOT_POSITIVE_DEFINITE;
                continue;  // a variable without variance covaries with nothing
            }
            L_i[j] = sum / L_j[j];
        }
        const f64 raised = variance * (1.0 + 1e-10);
        const f64 pivot = raised - velm_rows::row_dot(L_i, L_i, i);
        if (velm_pivot::fails(pivot, velm_pivot::tolerance(raised, n))) {
            return VELM_ERR_NOT_POSITIVE_DEFINITE;
        }
        L_i[i] = std::sqrt(pivot);
        any_variance = true;
    }
    return any_variance ? VELM_OK : VELM_ERR_NOT_POSITIVE_DEFINITE;
}

// Cholesky factor of P + jitter I, retried once in each variable's own units: a covariance that
// is singular only to rounding (a state with zero prior variance, say) still yields usable sigma
// points. zero_rows: whether a variable without variance may have a zero row (sigma points; not
// S, whose factor is solved with). 0 on success.
static inline int ukf_chol_auto(const f64* P, f64 jitter, bool zero_rows, f64* L, i64 n) {
    if (velm_chol(P, jitter, L, n) == VELM_OK) return VELM_OK;
    return ukf_chol_in_own_units(P, jitter, zero_rows, L, n);
}

namespace {

// Set-up checks; 0 when the dimensions and the callback can run the filter. Negative control
// or shock counts would make the arena size and every block length meaningless.
i64 ukf_check_inputs(const ukf_inputs* in) {
    if (in->meas == nullptr || in->n_state <= 0 || in->n_obs <= 0) return KF_ERR_INVALID_INPUT;
    if (in->n_ctrl < 0 || in->n_exog < 0) return KF_ERR_INVALID_INPUT;
    return KF_OK;
}

// lambda = alpha^2 (na + kappa) - na, c = na + lambda; false unless c is finite and positive.
bool ukf_weights(const ukf_inputs* in, const UkfDims& d, UkfWeights* w) {
    const f64 na = static_cast<f64>(d.na);
    const f64 alpha2 = in->alpha * in->alpha;
    const f64 c = alpha2 * (na + in->kappa);
    if (!(c > 0.0) || !std::isfinite(c)) return false;
    const f64 lambda = c - na;
    w->gamma = std::sqrt(c);
    w->w0_m = lambda / c;
    w->w0_c = w->w0_m + (1.0 - alpha2 + in->beta);
    w->wi = 1.0 / (2.0 * c);
    return true;
}

// A_chol = blockdiag(0, chol(Q)) (na x na); the state block is refilled every period. False
// when Q cannot be factorised.
bool ukf_shock_factor(const ukf_inputs* in, const UkfDims& d, const UkfArena& a) {
    velm_zero_mat(a.A_chol, d.na, d.na);
    if (d.ne <= 0) return true;
    if (ukf_chol_auto(in->Q, in->jitter, true, a.Q_chol, d.ne) != VELM_OK) return false;
    for (i64 i = 0; i < d.ne; ++i) {
        kf_copy(a.A_chol + (d.nz + i) * d.na + d.nz, a.Q_chol + i * d.ne, d.ne);
    }
    return true;
}

// Sigma points of (z_prev, u) ~ (z_prev, 0; blockdiag(P_prev, Q)): 2 na + 1 rows of sigma_a.
// False when P_prev cannot be factorised.
bool ukf_spread(const ukf_inputs* in, const UkfDims& d, const UkfWeights& w, const UkfArena& a) {
    // P_prev (+ jitter I) = P_chol P_chol'
    if (ukf_chol_auto(a.P_prev, in->jitter, true, a.P_chol, d.nz) != VELM_OK) return false;
    // A_chol[:nz, :nz] = P_chol
    for (i64 i = 0; i < d.nz; ++i) kf_copy(a.A_chol + i * d.na, a.P_chol + i * d.nz, d.nz);
    // z_aug = (z_prev, 0)
    kf_copy(a.z_aug, a.z_prev, d.nz);
    for (i64 i = d.nz; i < d.na; ++i) a.z_aug[i] = 0.0;
    ukf_build_sigma_points(a.z_aug, a.A_chol, w.gamma, a.sigma_a, d.na);
    return true;
}

// The model blocks folded once per call for the batched second-order step.
void ukf_fold_model(const ukf_inputs* in, const UkfDims& d, const UkfArena& a) {
    velm_second_order_fold(in->hx, in->gx, in->bu, in->hxx, in->gxx, in->hxu, in->gxu, in->huu,
                           in->guu, in->hss, in->gss, a.step_coef, d.ns, d.nc, d.ne);
}

// Every sigma point through the second-order step, (x1, x2, u) -> (x1', x2') and vars, all at
// once as matrix products; then, in order, each row of vars through the measurement. The
// callback sees the same calls as with a step before each call: it cannot reach the other rows.
void ukf_propagate(const ukf_inputs* in, const UkfDims& d, const UkfArena& a) {
    velm_second_order_step_batch(a.step_coef, a.sigma_a, in->steady_state, a.sigma_z, a.sigma_v,
                                 a.step_batch, d.n_sig, d.ns, d.nc, d.ne);
    for (i64 r = 0; r < d.n_sig; ++r) {
        kf_call_measurement(in->meas, a.sigma_v + r * d.nv, in->params, a.sigma_y + r * d.no,
                            d.no);
    }
}

// Predicted moments of z and y from the propagated sigma points.
void ukf_predict(const ukf_inputs* in, const UkfDims& d, const UkfWeights& w, const UkfArena& a) {
    // z_pred = sum w_m z_r; dz_r = z_r - z_pred
    ukf_weighted_mean(a.sigma_z, w.w0_m, w.wi, d.n_sig, d.nz, a.z_pred);
    ukf_deviations(a.sigma_z, a.z_pred, w.w0_c, w.wi, d.n_sig, d.nz, a.dev_z, a.wdev_z);
    // P_pred = sum w_c dz dz' = wdev_z' dev_z  (no process noise: the shocks are in the sigma
    // points)
    velm_matmul_atb(a.wdev_z, a.dev_z, a.P_pred, d.n_sig, d.nz, d.nz);
    if (in->symmetrize) velm_sym_inplace(a.P_pred, d.nz);
    // y_pred = sum w_m y_r; dy_r = y_r - y_pred
    ukf_weighted_mean(a.sigma_y, w.w0_m, w.wi, d.n_sig, d.no, a.y_pred);
    ukf_deviations(a.sigma_y, a.y_pred, w.w0_c, w.wi, d.n_sig, d.no, a.dev_y, a.wdev_y);
    // Pzy = sum w_c dz dy' = wdev_z' dev_y; S = sum w_c dy dy' + R = wdev_y' dev_y + R
    velm_matmul_atb(a.wdev_z, a.dev_y, a.Pzy, d.n_sig, d.nz, d.no);
    velm_matmul_atb(a.wdev_y, a.dev_y, a.S, d.n_sig, d.no, d.no);
    for (i64 p = 0; p < d.no * d.no; ++p) a.S[p] += in->R[p];
    if (in->symmetrize) velm_sym_inplace(a.S, d.no);
}

// Measurement update of period t and its log-likelihood term; false when S cannot be
// factorised.
bool ukf_update(const ukf_inputs* in, const UkfDims& d, const UkfArena& a, i64 t, f64 const_term,
               f64* loglik) {
    // v = y[t] - y_pred
    kf_row_minus_vec(in->obs, t, a.y_pred, a.innov, d.no);
    // S (+ jitter I) = L L'
    if (ukf_chol_auto(a.S, in->jitter, false, a.L, d.no) != VELM_OK) return false;
    // std_innov = L^-1 v; S_inv_v = L'^-1 std_innov = S^-1 v
    velm_forward_subst(a.L, a.innov, a.std_innov, d.no);
    velm_backward_subst_chol_t(a.L, a.std_innov, a.S_inv_v, d.no);
    // K = Pzy S^-1  (nz x no)
    kf_gain_from_pc_t(a.L, a.Pzy, a.solve_f, a.solve_b, a.K, d.nz, d.no);
    // z_filt = z_pred + K v
    kf_state_update(a.z_pred, a.K, a.innov, a.z_filt, d.nz, d.no);
    // P_filt = P_pred - K Pzy'
    ukf_cov_update(a.P_pred, a.K, a.Pzy, a.P_filt, d.nz, d.no);
    if (in->symmetrize) velm_sym_inplace(a.P_filt, d.nz);
    // log N(v; 0, S) = -1/2 (ln det S + v' S^-1 v + no ln 2 pi)
    *loglik += -0.5 * ((velm_logdet_from_chol(a.L, d.no) + velm_dot(a.innov, a.S_inv_v, d.no)) +
                       const_term);
    return true;
}

// Histories of period t. The variable levels get their own gain Kv = Pvy S^-1 instead of being
// recomputed from z_filt: the controls are not a function of z alone.
void ukf_store_period(const ukf_inputs* in, const UkfDims& d, const UkfWeights& w,
                      const UkfArena& a, ukf_outputs* out, i64 t) {
    // vars_pred = sum w_m v_r; Pvy = sum w_c dv dy' = dev_v' wdev_y; Kv = Pvy S^-1;
    // vars_filt = vars_pred + Kv v
    ukf_weighted_mean(a.sigma_v, w.w0_m, w.wi, d.n_sig, d.nv, a.vars_pred);
    ukf_deviations(a.sigma_v, a.vars_pred, w.w0_c, w.wi, d.n_sig, d.nv, a.dev_v, nullptr);
    velm_matmul_atb(a.dev_v, a.wdev_y, a.Pvy, d.n_sig, d.nv, d.no);
    kf_gain_from_pc_t(a.L, a.Pvy, a.solve_f, a.solve_b, a.Kv, d.nv, d.no);
    kf_state_update(a.vars_pred, a.Kv, a.innov, a.vars_filt, d.nv, d.no);

    ukf_store_history(in, a.z_pred, a.vars_pred, out->x1_pred, out->x2_pred, out->x_pred, t);
    ukf_store_history(in, a.z_filt, a.vars_filt, out->x1_filt, out->x2_filt, out->x_filt, t);
    kf_copy(out->P_pred + t * d.nz * d.nz, a.P_pred, d.nz * d.nz);
    kf_copy(out->P_filt + t * d.nz * d.nz, a.P_filt, d.nz * d.nz);
    kf_copy(out->y_pred + t * d.no, a.y_pred, d.no);
    // y_filt[t] = meas(x_filt[t])
    kf_call_measurement(in->meas, out->x_filt + t * d.nv, in->params, out->y_filt + t * d.no,
                        d.no);
    kf_copy(out->innov + t * d.no, a.innov, d.no);
    kf_copy(out->std_innov + t * d.no, a.std_innov, d.no);
    kf_copy(out->S + t * d.no * d.no, a.S, d.no * d.no);
}

// The filtered moments of this period are the prior of the next: swap roles, copy nothing.
void ukf_hand_over(UkfArena* a) {
    f64* z = a->z_prev;
    a->z_prev = a->z_filt;
    a->z_filt = z;
    f64* P = a->P_prev;
    a->P_prev = a->P_filt;
    a->P_filt = P;
}

}  // namespace

i64 ukf_hot_loop(const ukf_inputs* in, f64* arena, ukf_outputs* out) {
    // 1. Set-up: checks, weights, carve, prior, fixed shock block of A_chol.
    const i64 input_status = ukf_check_inputs(in);
    if (input_status != KF_OK) return input_status;
    const UkfDims d = ukf_dims(in->n_state, in->n_ctrl, in->n_exog, in->n_obs);
    UkfWeights w;
    if (!ukf_weights(in, d, &w)) return KF_ERR_CHOLESKY;
    ArenaCarver carver{arena};
    UkfArena a = ukf_carve(carver, d);
    kf_copy(a.z_prev, in->z0, d.nz);
    kf_copy(a.P_prev, in->P0, d.nz * d.nz);
    if (!ukf_shock_factor(in, d, a)) return KF_ERR_CHOLESKY;
    ukf_fold_model(in, d, a);

    // 2. Per period: spread, propagate, predict, update, store; the filtered moments enter the
    //    next period by pointer swap.
    const f64 const_term = static_cast<f64>(d.no) * kf_log_two_pi;
    f64 loglik = 0.0;
    i64 status = KF_OK;
    for (i64 t = 0; t < in->T; ++t) {
        if (!ukf_spread(in, d, w, a)) {
            status = KF_ERR_CHOLESKY;
            break;
        }
        ukf_propagate(in, d, a);
        ukf_predict(in, d, w, a);
        if (!ukf_update(in, d, a, t, const_term, &loglik)) {
            status = KF_ERR_CHOLESKY;
            break;
        }
        if (in->store_history) ukf_store_period(in, d, w, a, out, t);
        ukf_hand_over(&a);
    }
    out->loglik[0] = loglik;
    return status;
}
