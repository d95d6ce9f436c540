// Reverse-mode steps shared by the scores (kalman_score.cpp, kalman_score_stationary.cpp): the
// adjoints of the state update, the innovation, the state prediction and the log-likelihood
// term of one period, the fold of an innovation covariance's adjoint through the factor's
// reading of its lower triangle. X_bar = d loglik / dX. Internal: not part of the exported
// interface.
#ifndef VELM_KALMAN_ADJOINT_H
#define VELM_KALMAN_ADJOINT_H

#include "_common/velm_common.h"
#include "_common/velm_linalg.h"
#include "kalman/kalman.h"

namespace velm_adjoint {

// dst -= src, cell by cell
inline void sub(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    for (i64 i = 0; i < cells; ++i) dst[i] -= src[i];
}

// out (r x c) += alpha a b'  with a (r) and b (c)
inline void add_outer(f64* __restrict out, f64 alpha, const f64* __restrict a,
                      const f64* __restrict b, i64 r, i64 c) {
    for (i64 i = 0; i < r; ++i) {
        const f64 scaled = alpha * a[i];
        for (i64 j = 0; j < c; ++j) out[i * c + j] += scaled * b[j];
    }
}

// out += X' Y  (X r x p, Y r x q, out p x q), through the scratch block temp (p x q)
inline void add_atb(const f64* X, const f64* Y, f64* temp, f64* out, i64 r, i64 p, i64 q) {
    velm_matmul_atb(X, Y, temp, r, p, q);
    for (i64 i = 0; i < p * q; ++i) out[i] += temp[i];
}

// out += X Y'  (X p x r, Y q x r, out p x q), through the scratch block temp (p x q)
inline void add_abt(const f64* X, const f64* Y, f64* temp, f64* out, i64 p, i64 r, i64 q) {
    velm_matmul_abt(X, Y, temp, p, r, q);
    for (i64 i = 0; i < p * q; ++i) out[i] += temp[i];
}

// Every gradient of a score's outputs set to zero (the log-likelihood is left alone).
inline void zero_gradients(const kf_grad_outputs* out, i64 n, i64 m, i64 k) {
    velm_zero_mat(out->A_bar, n, n);
    velm_zero_mat(out->B_bar, n, k);
    velm_zero_mat(out->C_bar, m, n);
    velm_zero_mat(out->d_bar, m, 1);
    velm_zero_mat(out->Q_bar, k, k);
    velm_zero_mat(out->R_bar, m, m);
    velm_zero_mat(out->x0_bar, n, 1);
    velm_zero_mat(out->P0_bar, n, n);
}

// State prediction x+ = A x_filt, given x_bar = x+_bar:
//   A_bar += x+_bar x_filt',  x_filt_bar = A' x+_bar.
inline void predict_state(const f64* A, const f64* x_filt, const f64* x_bar, f64* x_filt_bar,
                          f64* A_bar, i64 n) {
    add_outer(A_bar, 1.0, x_bar, x_filt, n, n);
    velm_matmul_atb(A, x_bar, x_filt_bar, n, n, 1);
}

// State update x_filt = x_pred + K v and the quadratic term -1/2 v' w of loglik_t, w = S~^-1 v:
//   x_bar = x_filt_bar,  K_bar += x_filt_bar v',  v_bar = K' x_filt_bar - w.
inline void state_update(const f64* K, const f64* v, const f64* S_inv_v, const f64* x_filt_bar,
                         f64* x_bar, f64* K_bar, f64* v_bar, i64 n, i64 m) {
    for (i64 i = 0; i < n; ++i) x_bar[i] = x_filt_bar[i];
    add_outer(K_bar, 1.0, x_filt_bar, v, n, m);
    velm_matmul_atb(K, x_filt_bar, v_bar, n, m, 1);
    sub(v_bar, S_inv_v, m);
}

// Innovation v = y[t] - C x_pred - d, given v_bar:
//   d_bar -= v_bar,  C_bar -= v_bar x_pred',  x_bar -= C' v_bar  (through temp_n).
inline void innovation(const f64* C, const f64* x_pred, const f64* v_bar, f64* temp_n,
                       f64* x_bar, f64* C_bar, f64* d_bar, i64 n, i64 m) {
    sub(d_bar, v_bar, m);
    add_outer(C_bar, -1.0, v_bar, x_pred, m, n);
    velm_matmul_atb(C, v_bar, temp_n, m, n, 1);
    sub(x_bar, temp_n, n);
}

// The log-likelihood term's share of S~_bar, with S~^-1 and w = S~^-1 v: the term of
// loglik_t = -1/2 (ln det S~ + v' w + m ln 2 pi), counted `periods` times for ln det (a settle
// period stands for the tail after it), plus 1/2 w w' of this period:
//   S~_bar = -periods/2 S~^-1 + 1/2 w w'.
inline void loglik_term(const f64* S_inv, const f64* S_inv_v, f64 periods, f64* S_tilde_bar,
                        i64 m) {
    for (i64 i = 0; i < m * m; ++i) S_tilde_bar[i] = -0.5 * periods * S_inv[i];
    add_outer(S_tilde_bar, 0.5, S_inv_v, S_inv_v, m, m);
}

// S~ = mirror(lower(S)) + jitter I is what the factor describes, S = sym?(S_raw): from S~_bar to
// S_raw_bar, the lower triangle folded (S~_bar(i, j) + S~_bar(j, i) below the diagonal, the
// diagonal as it is, 0 above), then symmetrised when S was.
inline void fold_lower(const f64* S_tilde_bar, f64* S_bar, bool symmetrize, i64 m) {
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64 folded = S_tilde_bar[i * m + j] + S_tilde_bar[j * m + i];
            S_bar[i * m + j] = i > j ? folded : (i == j ? S_tilde_bar[i * m + i] : 0.0);
        }
    }
    if (symmetrize) velm_sym_inplace(S_bar, m);
}

}  // namespace velm_adjoint

#endif
