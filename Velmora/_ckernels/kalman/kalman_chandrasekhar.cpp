// Chandrasekhar recursions for the linear filter (Morf, Sidhu and Kailath, 1974; Herbst, 2015,
// Comput. Econ. 45): the covariance recursion carried as rank-r updates of S, P C' and the gain,
// in O(n^2 r) per period instead of the O(n^3) of the prediction.
//
// With dP_t = P_pred(t + 1) - P_pred(t) = W_t M_t W_t' and K_t = P_pred(t) C' S_t^-1:
//   S_{t+1}   = S_t + (C W_t) M_t (C W_t)'
//   PCt_{t+1} = PCt_t + W_t M_t (C W_t)'
//   W_{t+1}   = A (W_t - K_t C W_t)
//   M_{t+1}   = M_t - M_t (C W_t)' S_{t+1}^-1 (C W_t) M_t
// A stationary start (P0 = A P0 A' + B Q B') has dP_0 = -(A PCt_0) S_0^-1 (A PCt_0)': rank m,
// M_0 = -S_0^-1 negative definite, and M stays negative definite, so every dP_t is negative
// semi-definite and its largest entry in correlation units lies on its diagonal.
#include "kalman/kalman_chandrasekhar.h"

#include <cmath>

#include "_common/velm_linalg.h"
#include "kalman/kalman.h"

namespace velm_chandrasekhar {

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_settle::settle_fold;
using velm_settle::settle_gain_change;
using velm_settle::settle_innovation_delta;
using velm_settle::settle_inverse_scales;
using velm_settle::settle_scaled;
using velm_settle::SettleWatch;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;
using velm_steps::kf_add;
using velm_steps::kf_copy;

LowRankBlocks low_rank_carve(ArenaCarver& carver, i64 n, i64 m) {
    const Cells N = n, M = m;
    LowRankBlocks lr;
    lr.W = carver.take(N * M);
    lr.W_next = carver.take(N * M);
    lr.M = carver.take(M * M);
    lr.CW = carver.take(M * M);
    lr.MCWt = carver.take(M * M);
    lr.dS = carver.take(M * M);
    lr.WM = carver.take(N * M);
    lr.P_diag = carver.take(N);
    return lr;
}

bool low_rank_pays(i64 n, i64 m) {
    const f64 N = static_cast<f64>(n), M = static_cast<f64>(m);
    // a period's flops: the route's products against the full prediction and update
    const f64 route = 2.0 * N * N * M + 6.0 * N * M * M + 2.0 * M * M * M;
    const f64 full = 2.0 * N * N * N + 4.0 * N * N * M;
    return n >= 4 && m >= 1 && 2.0 * route <= full;
}

namespace {

void diagonal_of(const f64* P, i64 n, f64* diag) {
    for (i64 i = 0; i < n; ++i) diag[i] = P[i * n + i];
}

}  // namespace

bool low_rank_start(const FilterModel& model, const f64* P_prev, const FilterBlocks& b,
                    const LowRankBlocks& lr, const SettleWatch& watch) {
    const i64 n = model.n, m = model.m;
    // W = A PCt  (n x m)
    velm_matmul(model.A, b.PCt, lr.W, n, n, m);
    // M = -S^-1 (m x m), from the identity solved against the factor
    velm_zero_mat(lr.MCWt, m, m);
    for (i64 i = 0; i < m; ++i) lr.MCWt[i * m + i] = 1.0;
    velm_chol_solve_rows(b.L, lr.MCWt, lr.M, m, m);
    for (i64 i = 0; i < m * m; ++i) lr.M[i] = -lr.M[i];
    // temp_nn = W M W'  (n x n)
    velm_matmul(lr.W, lr.M, lr.WM, n, m, m);
    velm_matmul_abt(lr.WM, lr.W, b.temp_nn, n, m, n);
    // P_pred(1) - P0 - W M W' in correlation units of P_pred(1); I_minus_KC is free scratch
    f64* const inv_scale = b.I_minus_KC;
    settle_inverse_scales(b.P_pred_buf, n, inv_scale);
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            const i64 c = i * n + j;
            const f64 residual = (b.P_pred_buf[c] - P_prev[c]) - b.temp_nn[c];
            largest = settle_fold(largest, settle_scaled(residual, inv_scale[i], inv_scale[j]));
        }
    }
    if (!watch.within_rounding(largest)) return false;
    diagonal_of(P_prev, n, lr.P_diag);
    return true;
}

bool low_rank_advance(const FilterModel& model, const f64* C, const FilterBlocks& b,
                      LowRankBlocks* lr, bool keep_P, SettleWatch* watch, bool* arrived) {
    const i64 n = model.n, m = model.m, r = m;
    *arrived = false;
    // CW = C W (m x r), WM = W M (n x r)
    velm_matmul(C, lr->W, lr->CW, m, n, r);
    velm_matmul(lr->W, lr->M, lr->WM, n, r, r);
    // dP = W M W': its diagonal, and all of it when the histories need P_pred
    f64 change = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 step = velm_dot(lr->WM + i * r, lr->W + i * r, r);
        lr->P_diag[i] += step;
        const f64 scale = lr->P_diag[i] > 0.0 ? 1.0 / lr->P_diag[i] : 0.0;
        change = settle_fold(change, step == 0.0 ? 0.0 : std::fabs(step) * scale);
        if (step != 0.0 && !(lr->P_diag[i] > 0.0)) change = HUGE_VAL;
    }
    if (keep_P) {
        velm_matmul_abt(lr->WM, lr->W, b.temp_nn, n, r, n);
        kf_add(b.P_pred_buf, b.temp_nn, n * n);
        if (model.symmetrize) velm_sym_inplace(b.P_pred_buf, n);
    }
    // W_next = A (W - K C W)  (n x r), with this period's gain
    velm_c_minus_matmul(b.K, lr->CW, lr->W, b.temp_mn, n, m, r);
    velm_matmul(model.A, b.temp_mn, lr->W_next, n, n, r);
    // MCWt = M (C W)'  (r x m); dS = C W M W' C'  (m x m); S += dS
    velm_matmul_abt(lr->M, lr->CW, lr->MCWt, r, r, m);
    velm_matmul(lr->CW, lr->MCWt, lr->dS, m, r, m);
    kf_add(b.S_buf, lr->dS, m * m);
    if (model.symmetrize) velm_sym_inplace(b.S_buf, m);
    const f64 innovation_change = settle_innovation_delta(lr->dS, b.S_buf, m);
    // PCt += W M (C W)'  (n x m)
    velm_matmul(lr->W, lr->MCWt, b.temp_mn, n, r, m);
    kf_add(b.PCt, b.temp_mn, n * m);
    // the next factor and gain
    kf_copy(b.K_prev, b.K, n * m);
    if (velm_chol(b.S_buf, model.jitter, b.L, m) != VELM_OK) return false;
    velm_chol_solve_rows(b.L, b.PCt, b.K, n, m);
    // M -= (M (C W)' S^-1) (C W M), with C W M = MCWt' (M is symmetric); CW is free again
    velm_chol_solve_rows(b.L, lr->MCWt, lr->CW, r, m);
    velm_matmul_abt(lr->CW, lr->MCWt, lr->dS, r, m, r);
    for (i64 i = 0; i < r * r; ++i) lr->M[i] -= lr->dS[i];
    velm_sym_inplace(lr->M, r);  // C W M = (M (C W)')' holds for a symmetric M
    f64* const W = lr->W;
    lr->W = lr->W_next;
    lr->W_next = W;
    // the change just applied, in the units of the settle rule
    for (i64 i = 0; i < n; ++i) {
        b.I_minus_KC[i] = lr->P_diag[i] > 0.0 ? 1.0 / std::sqrt(lr->P_diag[i]) : HUGE_VAL;
    }
    const bool cov = watch->covariance_arrived(change);
    *arrived = cov && watch->within_rounding(innovation_change) &&
               watch->within_rounding(
                   settle_gain_change(b.K_prev, b.K, b.I_minus_KC, b.S_buf, n, m));
    return std::isfinite(lr->M[0]);
}

void low_rank_filtered_cov(const FilterModel& model, const f64* C, const FilterBlocks& b) {
    const i64 n = model.n, m = model.m;
    if (model.joseph_cov) {
        kf_joseph_cov(b.K, C, b.P_pred_buf, model.R, b.KC, b.I_minus_KC, b.temp_nn, b.temp_mn,
                      b.P_filt_buf, n, m);
    } else {
        kf_simple_cov(b.K, b.PCt, b.P_pred_buf, b.P_filt_buf, n, m);
    }
    if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
}

}  // namespace velm_chandrasekhar
