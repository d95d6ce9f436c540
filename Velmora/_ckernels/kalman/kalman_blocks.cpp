// Kalman building blocks: one step of the recursions each, over caller-supplied buffers, and the
// process-noise covariance B Q B'. None allocates, keeps state or returns a status.
#include "kalman/kalman.h"

#include "_common/velm_linalg.h"
#include "kalman/kalman_steps.h"

using velm_steps::kf_copy;
using velm_steps::kf_joseph_cov_from_cp;


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


// KC and I_minus_KC are not needed: I - K C is never formed.
void kf_joseph_cov(const f64* K, const f64* C, const f64* P_pred, const f64* R, f64* /*KC*/,
                   f64* /*I_minus_KC*/, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m) {
    // temp_nm, read as m x n, = C P_pred
    velm_matmul(C, P_pred, temp_nm, m, n, n);
    kf_joseph_cov_from_cp(K, C, temp_nm, P_pred, R, temp_nn, temp_nm, out, n, m, false);
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

void kf_build_bqbt(const f64* B, const f64* Q, f64* temp_nk, f64* out, i64 n, i64 k) {
    // temp = B Q  (n x k)
    velm_matmul(B, Q, temp_nk, n, k, k);
    // out = temp B'  (n x n); zero when k = 0
    velm_matmul_abt(temp_nk, B, out, n, k, n);
    // mean of mirrored pairs: symmetric even when Q is not
    velm_sym_inplace(out, n);
}
