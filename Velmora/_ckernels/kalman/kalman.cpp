// Filter kernels: building blocks, process noise, stationary covariance and the filter loops.
// Every loop takes its scratch from one caller-supplied arena and never allocates.
#include "kalman/kalman.h"

#include <cmath>
#include <cstring>

#include "_common/velm_linalg.h"
#include "_common/velm_perturbation.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_settle.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_settle::SettlePeriods;
using velm_settle::SettleWatch;

// ==== building blocks ==========================================================================

namespace {

// dst[0 .. cells) = src[0 .. cells); cells >= 0, the regions must not overlap.
inline void kf_copy(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    std::memcpy(dst, src, static_cast<size_t>(cells) * sizeof(f64));
}

}  // namespace

void kf_row_minus_vec(const f64* A, i64 row, const f64* x, f64* out, i64 m) {
    // out = A[row, :] - x  (m)
    velm_vsub(A + row * m, x, out, m);
}

void kf_chol_solve_row(const f64* L, const f64* B, i64 row, f64* fbuf, f64* bbuf, f64* out,
                       i64 n) {
    if (n <= 0) return;
    // L f = b, then L' z = f, so that (L L') z = b  (n)
    velm_forward_subst(L, B + row * n, fbuf, n);
    velm_backward_subst_chol_t(L, fbuf, bbuf, n);
    kf_copy(out + row * n, bbuf, n);
}

void kf_predict_cov(const f64* A, const f64* P_prev, const f64* BQBT, f64* temp_nn, f64* out,
                    i64 n) {
    // temp = A P_prev  (n x n)
    velm_matmul(A, P_prev, temp_nn, n, n, n);
    // out = temp A' + B Q B'  (n x n)
    velm_matmul_abt_plus_c(temp_nn, A, BQBT, out, n, n, n);
}

void kf_measurement_cov(const f64* C, const f64* P_pred, const f64* R, f64* temp_mn, f64* out,
                        i64 n, i64 m) {
    // temp = C P_pred  (m x n)
    velm_matmul(C, P_pred, temp_mn, m, n, n);
    // S = temp C' + R  (m x m)
    velm_matmul_abt_plus_c(temp_mn, C, R, out, m, n, m);
}

void kf_pc_t(const f64* P_pred, const f64* C, f64* out, i64 n, i64 m) {
    // PCt = P_pred C'  (n x m), both operands read along their rows
    velm_matmul_abt(P_pred, C, out, n, n, m);
}

// fbuf and bbuf are not needed: the rows are solved together, without per-row vectors.
void kf_gain_from_pc_t(const f64* L, const f64* PCt, f64* /*fbuf*/, f64* /*bbuf*/, f64* out,
                       i64 n, i64 m) {
    // K = PCt S^-1: S is symmetric, so row r of K solves S k_r = PCt[r, :]', all rows at once
    velm_chol_solve_rows(L, PCt, out, n, m);
}

void kf_state_update(const f64* x_pred, const f64* K, const f64* v, f64* out, i64 n, i64 m) {
    // x_filt = x_pred + K v  (n)
    velm_matvec_plus_vec(K, v, x_pred, out, n, m);
}

void kf_identity_minus(const f64* A, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) out[i * n + j] = -A[i * n + j];
        out[i * n + i] += 1.0;
    }
}

namespace {

// The Joseph form given CP = C P_pred (m x n), which the innovation covariance has already
// formed. (I - K C) P_pred (I - K C)' + K R K' (Bucy and Joseph, 1968) is symmetric and positive
// semi-definite for any gain, not only the optimal one. Both factors I - K C are applied through
// C, exactly for any P_pred: (I - K C) P = P - K (C P) and X (I - K C)' = X - (X C') K'. With
// X = (I - K C) P_pred the sum is X + (K R - X C') K': O(n^2 m) instead of the O(n^3) of forming
// I - K C. CP may be temp_nm itself: it is read only before temp_nm is written.
void kf_joseph_cov_from_cp(const f64* K, const f64* C, const f64* CP, const f64* P_pred,
                           const f64* R, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m) {
    // temp_nn = X = P_pred - K (C P_pred)  (n x n)
    velm_c_minus_matmul(K, CP, P_pred, temp_nn, n, m, n);
    // temp_nm = K R - X C'  (n x m)
    velm_matmul(K, R, temp_nm, n, m, m);
    velm_c_minus_matmul_abt(temp_nn, C, temp_nm, temp_nm, n, n, m);
    // out = X + (K R - X C') K'  (n x n)
    velm_matmul_abt_plus_c(temp_nm, K, temp_nn, out, n, m, n);
}

}  // namespace

// KC and I_minus_KC are not needed: I - K C is never formed.
void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* /*KC*/,
                   f64* /*I_minus_KC*/, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m) {
    // temp_nm, read as m x n, = C P_pred
    velm_matmul(C, P_pred, temp_nm, m, n, n);
    kf_joseph_cov_from_cp(K, C, temp_nm, P_pred, R, temp_nn, temp_nm, out, n, m);
}

void kf_simple_cov(const f64* K, const f64* PCt, const f64* P_pred, f64* out, i64 n, i64 m) {
    // P_filt = P_pred - K PCt' = P_pred - K C P_pred  (n x n), in one pass
    velm_c_minus_matmul_abt(K, PCt, P_pred, out, n, m, n);
}

void kf_build_shock_projection(const f64* B, const f64* C, const f64* Q, f64* temp_km, f64* out,
                               i64 n, i64 k, i64 m) {
    // temp_km = B' C' = (C B)'  (k x m)
    for (i64 i = 0; i < k; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64* c_row = C + j * n;
            f64 sum = 0.0;
            for (i64 l = 0; l < n; ++l) sum += B[l * k + i] * c_row[l];
            temp_km[i * m + j] = sum;
        }
    }
    // M = Q B' C'  (k x m): applied to S^-1 v it gives the shock estimate
    velm_matmul(Q, temp_km, out, k, k, m);
}

// ==== process noise and stationary covariance ==================================================

void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k) {
    // temp = B Q  (n x k)
    velm_matmul(B, Q, temp_nk, n, k, k);
    // out = temp B'  (n x n); zero when k = 0
    velm_matmul_abt(temp_nk, B, out, n, k, n);
    // mean of mirrored pairs: symmetric even when Q is not
    velm_sym_inplace(out, n);
}

arena_size kf_stationary_covariance_arena_size(const i64 n, const i64 k) {
    const Cells N = n, K = k;
    return make_sizer((N * (K + 4 * N)).count(), 0);
}

namespace {

// P += correction cell by cell, tracking the largest absolute correction and updated entry
// (taken before any symmetrisation). False at the first non-finite value: a non-finite
// correction leaves its cell as it was, a non-finite updated entry stays in P.
bool kf_add_correction(f64* __restrict P, const f64* __restrict correction, i64 cells,
                       f64* correction_norm, f64* covariance_norm) {
    f64 largest_correction = 0.0;
    f64 largest_entry = 0.0;
    for (i64 i = 0; i < cells; ++i) {
        const f64 step = std::fabs(correction[i]);
        if (!std::isfinite(step)) return false;
        P[i] += correction[i];
        const f64 entry = std::fabs(P[i]);
        if (!std::isfinite(entry)) return false;
        if (step > largest_correction) largest_correction = step;
        if (entry > largest_entry) largest_entry = entry;
    }
    *correction_norm = largest_correction;
    *covariance_norm = largest_entry;
    return true;
}

// Largest |P - (A P A' + BQBT)| entry: how far P is from solving the Lyapunov equation with A
// itself rather than with the current power. False at the first non-finite difference.
bool kf_lyapunov_residual_norm(const f64* A, const f64* P, const f64* BQBT, f64* temp_nn,
                               f64* residual, i64 n, f64* residual_norm) {
    // residual = A P A'  (n x n)
    velm_matmul(A, P, temp_nn, n, n, n);
    velm_matmul_abt(temp_nn, A, residual, n, n, n);
    f64 largest = 0.0;
    for (i64 i = 0; i < n * n; ++i) {
        const f64 difference = std::fabs(P[i] - (residual[i] + BQBT[i]));
        if (!std::isfinite(difference)) return false;
        if (difference > largest) largest = difference;
    }
    *residual_norm = largest;
    return true;
}

// Widens the packed n x n matrix at the start of out, in place, to row stride ld_out >= n with
// zeros after each row. The last row moves first, so no row is overwritten before it has moved.
void kf_relayout_rows(f64* out, i64 n, i64 ld_out) {
    for (i64 r = n - 1; r >= 0; --r) {
        std::memmove(out + r * ld_out, out + r * n, static_cast<size_t>(n) * sizeof(f64));
        if (ld_out > n) velm_zero_mat(out + r * ld_out + n, 1, ld_out - n);
    }
}

}  // namespace

int kf_stationary_covariance(const f64* A, const f64* B, const f64* Q, f64 tol, i64 max_iter,
                             f64* arena, f64* out, i64 n, i64 k, i64 ld_out) {
    // Doubling iteration (Anderson and Moore, 1979, sec. 6.7): after j passes
    // P = sum_{i < 2^j} A^i B Q B' (A^i)', and each pass adds A^(2^j) P (A^(2^j))'.
    ArenaCarver carver{arena};
    f64* BQBT = carver.take(n * n);
    f64* A_power = carver.take(n * n);
    f64* temp_nn = carver.take(n * n);
    f64* residual = carver.take(n * n);
    f64* temp_nk = carver.take(n * k);
    f64* P = out;  // the iterate, packed n x n until it has converged

    kf_build_bqbt(B, Q, temp_nk, BQBT, n, k);
    // P = B Q B', A_power = A
    kf_copy(P, BQBT, n * n);
    kf_copy(A_power, A, n * n);
    for (i64 iter = 0; iter < max_iter; ++iter) {
        // residual = A_power P A_power'  (n x n), this pass's correction
        velm_matmul(A_power, P, temp_nn, n, n, n);
        velm_matmul_abt(temp_nn, A_power, residual, n, n, n);
        // P = P + correction
        f64 correction_norm = 0.0;
        f64 covariance_norm = 0.0;
        if (!kf_add_correction(P, residual, n * n, &correction_norm, &covariance_norm)) {
            return KF_ERR_NO_CONVERGENCE;
        }
        velm_sym_inplace(P, n);
        // relative test for entries above 1, absolute below; a NaN tol never passes
        const f64 threshold = tol * (covariance_norm > 1.0 ? covariance_norm : 1.0);
        if (correction_norm <= threshold) {
            f64 residual_norm = 0.0;
            if (!kf_lyapunov_residual_norm(A, P, BQBT, temp_nn, residual, n, &residual_norm)) {
                return KF_ERR_NO_CONVERGENCE;
            }
            if (residual_norm <= threshold) {
                kf_relayout_rows(out, n, ld_out);
                return KF_OK;
            }
        }
        // A pass that added nothing to P has failed the tests for good: with G = A_power,
        // G P G' = 0 gives (G G) P (G G)' = G (G P G') G' = 0, so every later pass adds nothing
        // either, and P, the threshold and the residual stay as they are (a tolerance of 0,
        // below 0 or NaN; a power that underflowed to zero; a permutation without noise).
        if (correction_norm == 0.0) return KF_ERR_NO_CONVERGENCE;
        // A_power = A_power A_power
        velm_matmul(A_power, A_power, temp_nn, n, n, n);
        kf_copy(A_power, temp_nn, n * n);
    }
    return KF_ERR_NO_CONVERGENCE;
}

// ==== linear Kalman filter =====================================================================
//
// Textbook order (Durbin and Koopman, 2012, sec. 4.3): the prior (x0, P0) is the prediction for
// period 0, and every period first updates with its observation, then predicts the next one.
// The extended loop below shares the update, likelihood, storing and prediction steps, with the
// period's Jacobian H in place of C.

namespace {

constexpr f64 kf_log_two_pi = 1.8378770664093453;

// Scratch of the linear and the extended loop, named by what it holds. Each loop carves its own
// blocks in its own order; a block a loop does not have stays null.
struct FilterBlocks {
    f64* x_pred_buf;  // predicted state (n)
    f64* x_filt_buf;  // filtered state (n)
    f64* y_pred_buf;  // predicted observation (m)
    f64* y_filt_buf;  // filtered observation (m), linear loop only
    f64* v_buf;       // innovation v (m)
    f64* u_buf;       // standardised innovation L^-1 v (m)
    f64* S_inv_v;     // S^-1 v (m)
    f64* solve_f;     // forward vector of the gain solve (m)
    f64* solve_b;     // backward vector of the gain solve (m)
    f64* P_pred_buf;  // predicted covariance (n x n)
    f64* P_filt_buf;  // filtered covariance (n x n)
    f64* KC;          // Joseph scratch K Z (n x n)
    f64* I_minus_KC;  // Joseph scratch I - K Z (n x n)
    f64* temp_nn;     // scratch of the Joseph form and the prediction (n x n)
    f64* BQBT;        // B Q B' (n x n)
    f64* S_buf;       // innovation covariance S (m x m)
    f64* L;           // lower Cholesky factor of S + jitter I (m x m)
    f64* PCt;         // P_pred Z' (n x m)
    f64* K;           // Kalman gain (n x m)
    f64* temp_nm;     // Joseph scratch K R (n x m)
    f64* H_buf;       // measurement Jacobian of the period (m x n), extended loop only
    f64* temp_mn;     // Z P_pred (m x n)
    f64* temp_nk;     // scratch of kf_build_bqbt (n x k)
    f64* M;           // shock projection Q B' Z' (k x m)
    f64* temp_km;     // scratch of kf_build_shock_projection (k x m)
    f64* K_prev;      // gain of the period before (n x m), linear loop only
};

// What the per-period steps read besides their blocks; Z, the measurement matrix of the update,
// is passed on its own since the extended loop changes it every period.
struct FilterModel {
    i64 n;
    i64 m;
    const f64* A;
    const f64* R;
    const f64* y;
    f64 jitter;
    bool symmetrize;
    bool joseph_cov;
};

// Prior of period 0: x_pred = x0, P_pred = P0, taken as given.
void kf_load_prior(const f64* x0, const f64* P0, const FilterBlocks& b, i64 n) {
    kf_copy(b.x_pred_buf, x0, n);
    kf_copy(b.P_pred_buf, P0, n * n);
}

// out (c x r) = X' for X r x c.
void kf_transpose(const f64* __restrict X, f64* __restrict out, i64 r, i64 c) {
    for (i64 j = 0; j < c; ++j) {
        for (i64 i = 0; i < r; ++i) out[j * r + i] = X[i * c + j];
    }
}

bool kf_is_symmetric(const f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < i; ++j) {
            if (!(P[i * n + j] == P[j * n + i])) return false;
        }
    }
    return true;
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
    // P_filt = (I - K Z) P_pred (I - K Z)' + K R K'  or  P_pred - K PCt'  (n x n)
    if (model.joseph_cov) {
        kf_joseph_cov_from_cp(b.K, Z, b.temp_mn, b.P_pred_buf, model.R, b.temp_nn, b.temp_nm,
                              b.P_filt_buf, n, m);
    } else {
        kf_simple_cov(b.K, b.PCt, b.P_pred_buf, b.P_filt_buf, n, m);
    }
    if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
    return true;
}

// loglik - 1/2 (ln det S + v' S^-1 v + m ln 2 pi), the last step one fused multiply-add onto
// the running sum.
f64 kf_add_loglik(f64 loglik, f64 const_term, const FilterBlocks& b, i64 m) {
    const f64 logdet = velm_logdet_from_chol(b.L, m);
    const f64 quad = velm_dot(b.v_buf, b.S_inv_v, m);
    return std::fma(-0.5, (logdet + quad) + const_term, loglik);
}

// Row t of the x_pred, x_filt, P_pred, P_filt and y_pred histories (kf_outputs or ekf_outputs).
template <class Outputs>
void kf_store_state_rows(const Outputs* out, const FilterBlocks& b, i64 t, i64 n, i64 m) {
    kf_copy(out->x_pred + t * n, b.x_pred_buf, n);
    kf_copy(out->x_filt + t * n, b.x_filt_buf, n);
    kf_copy(out->P_pred + t * n * n, b.P_pred_buf, n * n);
    kf_copy(out->P_filt + t * n * n, b.P_filt_buf, n * n);
    kf_copy(out->y_pred + t * m, b.y_pred_buf, m);
}

// Row t of the innov, std_innov and S histories.
template <class Outputs>
void kf_store_innovation_rows(const Outputs* out, const FilterBlocks& b, i64 t, i64 m) {
    kf_copy(out->innov + t * m, b.v_buf, m);
    kf_copy(out->std_innov + t * m, b.u_buf, m);
    kf_copy(out->S + t * m * m, b.S_buf, m * m);
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
        velm_matmul_abt_plus_c_sym(b.temp_nn, model.A, b.BQBT, b.P_pred_buf, n, n);
    } else {
        // P_pred = A P_filt A' + B Q B'  (n x n), every cell as computed
        kf_predict_cov(model.A, b.P_filt_buf, b.BQBT, b.temp_nn, b.P_pred_buf, n);
    }
}

// The linear loop's 23 blocks, in their fixed order from the start of the arena.
FilterBlocks kf_carve(f64* arena, i64 n, i64 m, i64 k) {
    ArenaCarver carver{arena};
    FilterBlocks b{};
    b.x_pred_buf = carver.take(n);
    b.x_filt_buf = carver.take(n);
    b.y_pred_buf = carver.take(m);
    b.y_filt_buf = carver.take(m);
    b.v_buf = carver.take(m);
    b.u_buf = carver.take(m);
    b.S_inv_v = carver.take(m);
    b.solve_f = carver.take(m);
    b.solve_b = carver.take(m);
    b.P_pred_buf = carver.take(n * n);
    b.P_filt_buf = carver.take(n * n);
    b.KC = carver.take(n * n);
    b.I_minus_KC = carver.take(n * n);
    b.temp_nn = carver.take(n * n);
    b.BQBT = carver.take(n * n);
    b.S_buf = carver.take(m * m);
    b.L = carver.take(m * m);
    b.PCt = carver.take(n * m);
    b.K = carver.take(n * m);
    b.temp_mn = carver.take(n * m);
    b.temp_nm = b.temp_mn;  // one block serves C P_pred (m x n) and K R (n x m)
    b.temp_nk = carver.take(n * k);
    b.M = carver.take(k * m);
    b.temp_km = carver.take(k * m);
    b.K_prev = carver.take(n * m);
    return b;
}

}  // namespace

arena_size kf_arena_size(const i64 n, const i64 m, const i64 k) {
    const Cells N = n, M = m, K = k;
    return make_sizer(
        (6 * N * N + 2 * M * M + 4 * N * M + N * K + 2 * K * M + 2 * N + 7 * M).count(), 0);
}

int kf_hot_loop(const kf_inputs* in, f64* arena, kf_outputs* out) {
    const i64 n = in->n;
    const i64 m = in->m;
    const i64 k = in->k;
    const FilterBlocks b = kf_carve(arena, n, m, k);
    const FilterModel model{n, m, in->A, in->R, in->y, in->jitter, in->symmetrize != 0,
                            in->joseph_cov != 0};
    const bool store = in->store_history != 0;
    const bool shocks = store && in->return_shocks != 0;

    // B Q B'  (n x n)
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.BQBT, n, k);
    // M = Q B' C'  (k x m), once per call since C is constant
    if (shocks) kf_build_shock_projection(in->B, in->C, in->Q, b.temp_km, b.M, n, k, m);
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    f64 loglik = 0.0;
    kf_load_prior(in->x0, in->P0, b, n);
    // P0 is taken as given; every later P_pred is exactly symmetric when symmetrised
    bool P_pred_symmetric = model.symmetrize && kf_is_symmetric(b.P_pred_buf, n);
    // Once the covariances have settled only the state recursion runs. The Joseph form works
    // through C P_pred, which leaves the KC block free to hold the previous P_pred; the settle
    // test's scratch lies in blocks that are free between an update and the next prediction.
    SettleWatch watch(n, m);
    bool settled = false;
    f64* const P_pred_prev = b.KC;

    for (i64 t = 0; t < in->T; ++t) {
        // y_pred = C x_pred + d  (m)
        velm_matvec_plus_vec(in->C, b.x_pred_buf, in->d, b.y_pred_buf, m, n);
        if (settled) {
            kf_update_settled(model, t, b);
        } else if (!kf_update(model, in->C, t, P_pred_symmetric, b)) {
            *out->loglik = loglik;
            return KF_ERR_CHOLESKY;
        }
        loglik = kf_add_loglik(loglik, const_term, b, m);
        // eps_hat[t] = M S^-1 v  (k)
        if (shocks) velm_matvec(b.M, b.S_inv_v, out->eps_hat + t * k, k, m);
        if (store) {
            // y_filt = C x_filt + d  (m)
            velm_matvec_plus_vec(in->C, b.x_filt_buf, in->d, b.y_filt_buf, m, n);
            kf_store_state_rows(out, b, t, n, m);
            kf_copy(out->y_filt + t * m, b.y_filt_buf, m);
            kf_store_innovation_rows(out, b, t, m);
        }
        // this period's S, L, K and P_filt serve every later period once they have settled
        if (!settled && t > 0) {
            settled = watch.settled(SettlePeriods{n, m, in->C, P_pred_prev, b.P_pred_buf,
                                                  b.K_prev, b.K, b.S_buf, b.I_minus_KC,
                                                  b.temp_nn, b.temp_mn});
        }
        if (settled) {
            // x_pred = A x_filt  (n)
            velm_matvec(in->A, b.x_filt_buf, b.x_pred_buf, n, n);
            continue;
        }
        kf_copy(P_pred_prev, b.P_pred_buf, n * n);
        kf_copy(b.K_prev, b.K, n * m);
        kf_predict(model, b);
        P_pred_symmetric = model.symmetrize;
    }
    *out->loglik = loglik;
    return KF_OK;
}

// ==== extended Kalman filter ===================================================================
//
// The linear loop with the measurement line replaced by the caller's callbacks: h and its
// Jacobian H are evaluated once per period at the predicted state (first-order EKF, no iterated
// update), and H takes the place of C in the update and in the shock projection.

namespace {

// The extended loop's 24 blocks, in their fixed order: no y_filt_buf (h(x_filt) goes straight
// to the history), separate K R and H P_pred scratch, and the Jacobian.
FilterBlocks ekf_carve(f64* arena, i64 n, i64 m, i64 k) {
    ArenaCarver carver{arena};
    FilterBlocks b{};
    b.x_pred_buf = carver.take(n);
    b.x_filt_buf = carver.take(n);
    b.y_pred_buf = carver.take(m);
    b.v_buf = carver.take(m);
    b.u_buf = carver.take(m);
    b.S_inv_v = carver.take(m);
    b.solve_f = carver.take(m);
    b.solve_b = carver.take(m);
    b.P_pred_buf = carver.take(n * n);
    b.P_filt_buf = carver.take(n * n);
    b.KC = carver.take(n * n);
    b.I_minus_KC = carver.take(n * n);
    b.temp_nn = carver.take(n * n);
    b.BQBT = carver.take(n * n);
    b.S_buf = carver.take(m * m);
    b.L = carver.take(m * m);
    b.PCt = carver.take(n * m);
    b.K = carver.take(n * m);
    b.temp_nm = carver.take(n * m);
    b.H_buf = carver.take(m * n);
    b.temp_mn = carver.take(m * n);
    b.temp_nk = carver.take(n * k);
    b.M = carver.take(k * m);
    b.temp_km = carver.take(k * m);
    return b;
}

}  // namespace

arena_size ekf_arena_size(const i64 n, const i64 m, const i64 k) {
    const Cells N = n, M = m, K = k;
    return make_sizer(
        (6 * N * N + 2 * M * M + 5 * N * M + N * K + 2 * K * M + 2 * N + 6 * M).count(), 0);
}

int ekf_hot_loop(const ekf_inputs* in, f64* arena, ekf_outputs* out) {
    const i64 n = in->n;
    const i64 m = in->m;
    const i64 k = in->k;
    const FilterBlocks b = ekf_carve(arena, n, m, k);
    const FilterModel model{n, m, in->A, in->R, in->y, in->jitter, in->symmetrize != 0,
                            in->joseph_cov != 0};
    const bool store = in->store_history != 0;
    const bool shocks = store && in->return_shocks != 0;
    const bool eval_y_filt = store && in->compute_y_filt != 0;

    // B Q B'  (n x n)
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.BQBT, n, k);
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    f64 loglik = 0.0;
    kf_load_prior(in->x0, in->P0, b, n);
    // P0 enters as a predicted covariance, symmetrised like every later one
    if (model.symmetrize) velm_sym_inplace(b.P_pred_buf, n);

    for (i64 t = 0; t < in->T; ++t) {
        // y_pred = h(x_pred)  (m)
        in->meas(b.x_pred_buf, in->calib_params, b.y_pred_buf);
        // H = dh/dx at x_pred  (m x n)
        in->jac(b.x_pred_buf, in->calib_params, b.H_buf);
        // P_pred, P0 included, is exactly symmetric when symmetrised
        if (!kf_update(model, b.H_buf, t, model.symmetrize, b)) {
            *out->loglik = loglik;
            return KF_ERR_CHOLESKY;
        }
        loglik = kf_add_loglik(loglik, const_term, b, m);
        if (shocks) {
            // M = Q B' H'  (k x m), rebuilt since H changes every period
            kf_build_shock_projection(in->B, b.H_buf, in->Q, b.temp_km, b.M, n, k, m);
            // eps_hat[t] = M S^-1 v  (k)
            velm_matvec(b.M, b.S_inv_v, out->eps_hat + t * k, k, m);
        }
        if (store) {
            kf_store_state_rows(out, b, t, n, m);
            // y_filt[t] = h(x_filt), written by the callback straight into the history row
            if (eval_y_filt) in->meas(b.x_filt_buf, in->calib_params, out->y_filt + t * m);
            kf_store_innovation_rows(out, b, t, m);
        }
        kf_predict(model, b);
    }
    *out->loglik = loglik;
    return KF_OK;
}

// ==== second-order unscented Kalman filter =====================================================
//
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

UkfDims ukf_dims(i64 n_state, i64 n_ctrl, i64 n_exog, i64 n_obs) {
    UkfDims d;
    d.ns = n_state;
    d.nc = n_ctrl;
    d.ne = n_exog;
    d.no = n_obs;
    d.nz = 2 * n_state;
    d.na = d.nz + n_exog;
    d.n_sig = 2 * d.na + 1;
    d.nv = n_state + n_ctrl;
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

UkfArena ukf_carve(f64* arena, const UkfDims& d) {
    ArenaCarver carve{arena};
    UkfArena a;
    a.z_prev = carve.take(d.nz);
    a.z_pred = carve.take(d.nz);
    a.z_filt = carve.take(d.nz);
    a.P_prev = carve.take(d.nz * d.nz);
    a.P_pred = carve.take(d.nz * d.nz);
    a.P_filt = carve.take(d.nz * d.nz);
    a.P_chol = carve.take(d.nz * d.nz);
    a.A_chol = carve.take(d.na * d.na);
    a.Q_chol = carve.take(d.ne * d.ne);
    a.sigma_a = carve.take(d.n_sig * d.na);
    a.sigma_z = carve.take(d.n_sig * d.nz);
    a.sigma_y = carve.take(d.n_sig * d.no);
    a.step = carve.take(velm_second_order_step_scratch(d.ns, d.ne));
    a.y_pred = carve.take(d.no);
    a.innov = carve.take(d.no);
    a.std_innov = carve.take(d.no);
    a.S_inv_v = carve.take(d.no);
    a.solve_f = carve.take(d.no);
    a.solve_b = carve.take(d.no);
    a.S = carve.take(d.no * d.no);
    a.L = carve.take(d.no * d.no);
    a.Pzy = carve.take(d.nz * d.no);
    a.K = carve.take(d.nz * d.no);
    a.sigma_v = carve.take(d.n_sig * d.nv);
    a.vars_pred = carve.take(d.nv);
    a.vars_filt = carve.take(d.nv);
    a.Pvy = carve.take(d.nv * d.no);
    a.Kv = carve.take(d.nv * d.no);
    a.z_aug = carve.take(d.na);
    a.step_coef = carve.take(velm_second_order_fold_size(d.ns, d.nc, d.ne));
    a.step_batch = carve.take(velm_second_order_batch_scratch(d.n_sig, d.ns, d.nc, d.ne));
    a.dev_z = carve.take(d.n_sig * d.nz);
    a.wdev_z = carve.take(d.n_sig * d.nz);
    a.dev_y = carve.take(d.n_sig * d.no);
    a.wdev_y = carve.take(d.n_sig * d.no);
    a.dev_v = carve.take(d.n_sig * d.nv);
    return a;
}

}  // namespace

arena_size ukf_arena_size(const i64 n_state, const i64 n_ctrl, const i64 n_exog,
                          const i64 n_obs) {
    // the derived dimensions of ukf_dims, recomputed with checked arithmetic
    const Cells ns = n_state, nc = n_ctrl, ne = n_exog, no = n_obs, nv = ns + nc;
    const Cells nz = 2 * ns, na = nz + ne, n_sig = 2 * na + 1;
    const Cells step = velm_second_order_step_scratch(n_state, n_exog);
    const Cells fold = velm_second_order_fold_size(n_state, n_ctrl, n_exog);
    const Cells batch = velm_second_order_batch_scratch(n_sig.count(), n_state, n_ctrl, n_exog);
    // the 29 blocks up to z_aug, then step_coef, step_batch and the five deviation blocks
    return make_sizer((3 * nz + 4 * nz * nz + na * na + ne * ne + n_sig * (na + nz + no + nv) +
                       step + 6 * no + 2 * no * no + 2 * no * nz + 2 * nv + 2 * no * nv + na +
                       fold + batch + n_sig * (2 * nz + 2 * no + nv))
                          .count(),
                      0);
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

// Cholesky factor of P + jitter I, retried once with the jitter raised by 1e-10 times the
// largest positive diagonal cell: a covariance that is singular only to rounding (a state
// with zero prior variance, say) still yields usable sigma points. 0 on success.
static inline int ukf_chol_auto(const f64* P, f64 jitter, f64* L, i64 n) {
    if (velm_chol(P, jitter, L, n) == 0) return 0;
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        if (P[i * n + i] > scale) scale = P[i * n + i];
    }
    return velm_chol(P, jitter + 1e-10 * scale, L, n);
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
    if (ukf_chol_auto(in->Q, in->jitter, a.Q_chol, d.ne) != 0) return false;
    for (i64 i = 0; i < d.ne; ++i) {
        kf_copy(a.A_chol + (d.nz + i) * d.na + d.nz, a.Q_chol + i * d.ne, d.ne);
    }
    return true;
}

// Sigma points of (z_prev, u) ~ (z_prev, 0; blockdiag(P_prev, Q)): 2 na + 1 rows of sigma_a.
// False when P_prev cannot be factorised.
bool ukf_spread(const ukf_inputs* in, const UkfDims& d, const UkfWeights& w, const UkfArena& a) {
    // P_prev (+ jitter I) = P_chol P_chol'
    if (ukf_chol_auto(a.P_prev, in->jitter, a.P_chol, d.nz) != 0) return false;
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
        in->meas(a.sigma_v + r * d.nv, in->params, a.sigma_y + r * d.no);
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
    if (ukf_chol_auto(a.S, in->jitter, a.L, d.no) != 0) return false;
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
    in->meas(out->x_filt + t * d.nv, in->params, out->y_filt + t * d.no);
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
    UkfArena a = ukf_carve(arena, d);
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
