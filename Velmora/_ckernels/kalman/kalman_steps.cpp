// The per-period steps shared by the linear loop, the extended loop and the score's forward pass:
// the carve of their blocks, the update, the log-likelihood term and the prediction.
#include "kalman/kalman_steps.h"

#include <cmath>

#include "_common/velm_linalg.h"
#include "_common/velm_sym_products.h"
#include "kalman/kalman.h"

namespace velm_steps {

using velm_arena::ArenaCarver;
using velm_arena::Cells;

FilterBlocks kf_filter_carve(ArenaCarver& carver, FilterKind kind, i64 n, i64 m, i64 k) {
    const bool linear = kind == FilterKind::linear;
    const Cells N = n, M = m, K = k;
    FilterBlocks b{};
    b.x_pred_buf = carver.take(N);
    b.x_filt_buf = carver.take(N);
    b.y_pred_buf = carver.take(M);
    if (linear) b.y_filt_buf = carver.take(M);  // h(x_filt) goes straight to the EKF history
    b.v_buf = carver.take(M);
    b.u_buf = carver.take(M);
    b.S_inv_v = carver.take(M);
    b.solve_f = carver.take(M);
    b.solve_b = carver.take(M);
    b.P_pred_buf = carver.take(N * N);
    b.P_filt_buf = carver.take(N * N);
    b.KC = carver.take(N * N);
    b.I_minus_KC = carver.take(N * N);
    b.temp_nn = carver.take(N * N);
    b.BQBT = carver.take(N * N);
    b.S_buf = carver.take(M * M);
    b.L = carver.take(M * M);
    b.PCt = carver.take(N * M);
    b.K = carver.take(N * M);
    if (linear) {
        b.temp_mn = carver.take(N * M);
        b.temp_nm = b.temp_mn;  // one block serves C P_pred (m x n) and K R (n x m)
    } else {
        b.temp_nm = carver.take(N * M);
        b.H_buf = carver.take(M * N);
        b.temp_mn = carver.take(M * N);
    }
    b.temp_nk = carver.take(N * K);
    b.M = carver.take(K * M);
    b.temp_km = carver.take(K * M);
    if (linear) b.K_prev = carver.take(N * M);
    return b;
}

// The Joseph form given CP = Z P_pred (m x n), which the innovation covariance has already
// formed. (I - K Z) P_pred (I - K Z)' + K R K' (Bucy and Joseph, 1968) is symmetric and positive
// semi-definite for any gain, not only the optimal one. Both factors I - K Z are applied through
// Z, exactly for any P_pred: (I - K Z) P = P - K (Z P) and X (I - K Z)' = X - (X Z') K'. With
// X = (I - K Z) P_pred the sum is X + (K R - X Z') K': O(n^2 m) instead of the O(n^3) of forming
// I - K Z. With lower_mirrored only the lower triangle of that sum is formed and mirrored: the
// form is symmetric for any gain when P_pred and R are, though X is not. CP may be temp_nm
// itself: it is read only before temp_nm is written.
void kf_joseph_cov_from_cp(const f64* K, const f64* Z, const f64* CP, const f64* P_pred,
                           const f64* R, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m,
                           bool lower_mirrored) {
    // temp_nn = X = P_pred - K (Z P_pred)  (n x n)
    velm_c_minus_matmul(K, CP, P_pred, temp_nn, n, m, n);
    // temp_nm = K R - X Z'  (n x m)
    velm_matmul(K, R, temp_nm, n, m, m);
    velm_c_minus_matmul_abt(temp_nn, Z, temp_nm, temp_nm, n, n, m);
    // out = X + (K R - X Z') K'  (n x n)
    if (lower_mirrored) velm_matmul_abt_plus_c_sym(temp_nm, K, temp_nn, out, n, m);
    else velm_matmul_abt_plus_c(temp_nm, K, temp_nn, out, n, m, n);
}

bool kf_is_symmetric(const f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < i; ++j) {
            if (!(P[i * n + j] == P[j * n + i])) return false;
        }
    }
    return true;
}

arena_size kf_filter_arena_size(FilterKind kind, i64 n, i64 m, i64 k) {
    ArenaCarver counter = ArenaCarver::counting();
    kf_filter_carve(counter, kind, n, m, k);
    return counter.size();
}

// Update of period t with the measurement matrix Z, given y_pred_buf; false when S + jitter I
// cannot be factorised, with nothing of the period stored. One factor serves the standardised
// innovation, S^-1 v, the gain and (later) the log-determinant. Z P_pred, formed for S, serves
// the Joseph form and, when P_pred is exactly symmetric, P_pred Z' = (Z P_pred)'.
bool kf_update(const FilterModel& model, const f64* Z, i64 t, bool P_pred_symmetric,
               const FilterBlocks& b) {
    const i64 n = model.n;
    const i64 m = model.m;
    // v = y[t] - y_pred  (m)
    kf_row_minus_vec(model.y, t, b.y_pred_buf, b.v_buf, m);
    // S = Z P_pred Z' + R  (m x m), leaving Z P_pred in temp_mn  (m x n)
    kf_measurement_cov(Z, b.P_pred_buf, model.R, b.temp_mn, b.S_buf, n, m);
    if (model.symmetrize) velm_sym_inplace(b.S_buf, m);
    // L L' = S + jitter I
    if (velm_chol(b.S_buf, model.jitter, b.L, m) != VELM_OK) return false;
    // u = L^-1 v  (m)
    velm_forward_subst(b.L, b.v_buf, b.u_buf, m);
    // S^-1 v = L'^-1 u  (m)
    velm_backward_subst_chol_t(b.L, b.u_buf, b.S_inv_v, m);
    // PCt = P_pred Z'  (n x m)
    if (P_pred_symmetric) kf_transpose(b.temp_mn, b.PCt, m, n);
    else kf_pc_t(b.P_pred_buf, Z, b.PCt, n, m);
    // K = PCt S^-1  (n x m)
    kf_gain_from_pc_t(b.L, b.PCt, b.solve_f, b.solve_b, b.K, n, m);
    // x_filt = x_pred + K v  (n)
    kf_state_update(b.x_pred_buf, b.K, b.v_buf, b.x_filt_buf, n, m);
    kf_filtered_cov(model, Z, P_pred_symmetric, b);
    return true;
}

void kf_filtered_cov(const FilterModel& model, const f64* Z, bool P_pred_symmetric,
                     const FilterBlocks& b) {
    const i64 n = model.n;
    const i64 m = model.m;
    // P_filt = (I - K Z) P_pred (I - K Z)' + K R K'  or  P_pred - K PCt'  (n x n)
    if (model.joseph_cov) {
        // symmetrised by mirroring its lower triangle where the form is symmetric in itself
        const bool lower_mirrored =
            model.symmetrize && P_pred_symmetric && model.R_symmetric;
        kf_joseph_cov_from_cp(b.K, Z, b.temp_mn, b.P_pred_buf, model.R, b.temp_nn, b.temp_nm,
                              b.P_filt_buf, n, m, lower_mirrored);
        if (lower_mirrored) return;
    } else if (P_pred_symmetric) {
        // P_filt = P_pred - K (Z P_pred), symmetric up to rounding: PCt' is Z P_pred itself,
        // read in place rather than packed from PCt (which costs more than the product at
        // small n), and only the lower triangle is computed and mirrored, which symmetrises it
        velm_sym::minus_product(b.K, b.temp_mn, b.P_pred_buf, b.P_filt_buf, n, m);
        return;
    } else {
        kf_simple_cov(b.K, b.PCt, b.P_pred_buf, b.P_filt_buf, n, m);
    }
    if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
}

// loglik - 1/2 (ln det S + v' S^-1 v + m ln 2 pi), the last step one fused multiply-add onto
// the running sum. Kept out of line: one compiled sum for every caller, whatever the optimiser
// would reassociate around an inlined copy.
__attribute__((noinline)) f64 kf_add_loglik(f64 loglik, f64 const_term, const FilterBlocks& b,
                                            i64 m) {
    const f64 quad = velm_dot(b.v_buf, b.S_inv_v, m);
    return std::fma(-0.5, (velm_logdet_from_chol(b.L, m) + quad) + const_term, loglik);
}

// Update of a period after the covariances have settled (velm_settle::SettleWatch): S, its factor
// L, the gain K and P_filt are those of the period before, so only the innovation, its solves
// and the state move.
void kf_update_settled(const FilterModel& model, i64 t, const FilterBlocks& b) {
    const i64 n = model.n;
    const i64 m = model.m;
    // v = y[t] - y_pred  (m)
    kf_row_minus_vec(model.y, t, b.y_pred_buf, b.v_buf, m);
    // u = L^-1 v, S^-1 v = L'^-1 u  (m)
    velm_forward_subst(b.L, b.v_buf, b.u_buf, m);
    velm_backward_subst_chol_t(b.L, b.u_buf, b.S_inv_v, m);
    // x_filt = x_pred + K v  (n)
    kf_state_update(b.x_pred_buf, b.K, b.v_buf, b.x_filt_buf, n, m);
}

// Prediction of the next period from the filtered moments.
void kf_predict(const FilterModel& model, const FilterBlocks& b) {
    const i64 n = model.n;
    // x_pred = A x_filt  (n)
    velm_matvec(model.A, b.x_filt_buf, b.x_pred_buf, n, n);
    if (model.symmetrize) {
        // P_filt and B Q B' are exactly symmetric here, so A P_filt A' + B Q B' is symmetric up
        // to rounding: its lower triangle is computed and mirrored, which leaves nothing for the
        // mean of mirrored pairs to change.
        // temp = A P_filt  (n x n)
        velm_matmul(model.A, b.P_filt_buf, b.temp_nn, n, n, n);
        // P_pred = temp A' + B Q B', lower triangle mirrored  (n x n)
        if (b.At) velm_sym::plus_product(b.temp_nn, b.At, b.BQBT, b.P_pred_buf, n, n);
        else velm_matmul_abt_plus_c_sym(b.temp_nn, model.A, b.BQBT, b.P_pred_buf, n, n);
    } else {
        // P_pred = A P_filt A' + B Q B'  (n x n), every cell as computed
        kf_predict_cov(model.A, b.P_filt_buf, b.BQBT, b.temp_nn, b.P_pred_buf, n);
    }
}

}  // namespace velm_steps
