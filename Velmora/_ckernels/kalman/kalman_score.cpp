// Score of the linear Kalman filter: the log-likelihood of kf_hot_loop and its exact gradient with
// respect to A, B, C, d, Q, R, x0 and P0, by one forward pass that records each period on a tape
// in the arena and one reverse (adjoint) sweep over that tape.
//
// Notation: X_bar = d loglik / dX, the adjoint of X. For a step Y = f(X) the reverse step adds
// the adjoint of every input from Y_bar, using (Giles, 2008, "Collected matrix derivative results
// for forward and reverse mode algorithmic differentiation", sec. 3):
//   Y = X Z           X_bar += Y_bar Z',          Z_bar += X' Y_bar
//   Y = (X + X') / 2  X_bar += (Y_bar + Y_bar') / 2
//   y = ln det X      X_bar += y_bar X^-T
//   Y = X^-1          X_bar -= Y^T Y_bar Y^T
// The adjoints are those of the function the forward pass evaluates, whatever its inputs: Q, R
// and P0 need not be symmetric, and the symmetrisation, the covariance form, the reading of only
// the lower triangle of S by the factorisation and the jitter are all differentiated as they are.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "_common/velm_linalg.h"
#include "kalman/kalman.h"
#include "kalman/kalman_arena.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;

namespace {

constexpr f64 score_log_two_pi = 1.8378770664093453;

// ---- small dense helpers ------------------------------------------------------------------------

// dst[0 .. cells) = src[0 .. cells)
inline void score_copy(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    if (cells > 0) std::memcpy(dst, src, static_cast<size_t>(cells) * sizeof(f64));
}

// dst += src, cell by cell
inline void score_add(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    for (i64 i = 0; i < cells; ++i) dst[i] += src[i];
}

// dst -= src, cell by cell
inline void score_sub(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    for (i64 i = 0; i < cells; ++i) dst[i] -= src[i];
}

// out (r x c) += alpha a b'  with a (r) and b (c)
inline void score_add_outer(f64* __restrict out, f64 alpha, const f64* __restrict a,
                            const f64* __restrict b, i64 r, i64 c) {
    for (i64 i = 0; i < r; ++i) {
        const f64 scaled = alpha * a[i];
        for (i64 j = 0; j < c; ++j) out[i * c + j] += scaled * b[j];
    }
}

// out += X' Y  (X r x p, Y r x q, out p x q), through the scratch block temp (p x q)
inline void score_add_atb(const f64* X, const f64* Y, f64* temp, f64* out, i64 r, i64 p, i64 q) {
    velm_matmul_atb(X, Y, temp, r, p, q);
    score_add(out, temp, p * q);
}

// out += X Y'  (X p x r, Y q x r, out p x q), through the scratch block temp (p x q)
inline void score_add_abt(const f64* X, const f64* Y, f64* temp, f64* out, i64 p, i64 r, i64 q) {
    velm_matmul_abt(X, Y, temp, p, r, q);
    score_add(out, temp, p * q);
}

// ---- arena and tape -----------------------------------------------------------------------------

// Scratch of the forward pass (1 to 11) and of the reverse sweep (12 to 28), in carve order.
struct ScoreBlocks {
    f64* y_pred_buf;  // predicted observation (m)
    f64* u_buf;       // standardised innovation L^-1 v (m)
    f64* solve_f;     // forward vector of the gain solve (m)
    f64* solve_b;     // backward vector of the gain solve (m)
    f64* S_buf;       // innovation covariance S (m x m)
    f64* BQBT;        // B Q B' (n x n)
    f64* KC;          // K C (n x n)
    f64* I_minus_KC;  // W = I - K C (n x n)
    f64* temp_nn;     // product scratch (n x n)
    f64* temp_mn;     // product scratch (m x n or n x m)
    f64* temp_nk;     // scratch of kf_build_bqbt, later B_bar's G B (n x k)
    f64* x_bar;       // adjoint of the predicted state (n)
    f64* x_filt_bar;  // adjoint of the filtered state (n)
    f64* v_bar;       // adjoint of the innovation (m)
    f64* P_bar;       // adjoint of the predicted covariance (n x n)
    f64* P_filt_bar;  // adjoint of the filtered covariance (n x n)
    f64* W_bar;       // adjoint of I - K C (n x n)
    f64* BQBT_bar;    // adjoint of B Q B', summed over the periods (n x n)
    f64* temp_nn2;    // product scratch (n x n)
    f64* K_bar;       // adjoint of the gain (n x m)
    f64* PCt_bar;     // adjoint of P_pred C' (n x m)
    f64* temp_nm;     // product scratch (n x m or m x n)
    f64* temp_nm2;    // product scratch (n x m or m x n)
    f64* eye_m;       // identity (m x m), right-hand side of S^-1
    f64* S_inv;       // (S + jitter I)^-1 (m x m)
    f64* S_bar;       // adjoint of S (m x m)
    f64* temp_mm;     // product scratch (m x m)
    f64* temp_nk2;    // product scratch (n x k)
};

ScoreBlocks score_carve(ArenaCarver& carver, i64 n, i64 m, i64 k) {
    ScoreBlocks b{};
    b.y_pred_buf = carver.take(m);
    b.u_buf = carver.take(m);
    b.solve_f = carver.take(m);
    b.solve_b = carver.take(m);
    b.S_buf = carver.take(m * m);
    b.BQBT = carver.take(n * n);
    b.KC = carver.take(n * n);
    b.I_minus_KC = carver.take(n * n);
    b.temp_nn = carver.take(n * n);
    b.temp_mn = carver.take(n * m);
    b.temp_nk = carver.take(n * k);
    b.x_bar = carver.take(n);
    b.x_filt_bar = carver.take(n);
    b.v_bar = carver.take(m);
    b.P_bar = carver.take(n * n);
    b.P_filt_bar = carver.take(n * n);
    b.W_bar = carver.take(n * n);
    b.BQBT_bar = carver.take(n * n);
    b.temp_nn2 = carver.take(n * n);
    b.K_bar = carver.take(n * m);
    b.PCt_bar = carver.take(n * m);
    b.temp_nm = carver.take(n * m);
    b.temp_nm2 = carver.take(n * m);
    b.eye_m = carver.take(m * m);
    b.S_inv = carver.take(m * m);
    b.S_bar = carver.take(m * m);
    b.temp_mm = carver.take(m * m);
    b.temp_nk2 = carver.take(n * k);
    return b;
}

// Cells of the scratch blocks above and of one tape row below, counted with checked arithmetic.
Cells score_scratch_cells(Cells N, Cells M, Cells K) {
    return 9 * N * N + 5 * M * M + 5 * N * M + 2 * N * K + 2 * N + 5 * M;
}

// What the reverse sweep reads of period t, written by the forward pass: one tape row.
struct TapeRow {
    f64* x_pred;   // n
    f64* x_filt;   // n
    f64* v;        // innovation (m)
    f64* S_inv_v;  // (m)
    f64* P_pred;   // n x n
    f64* P_filt;   // n x n
    f64* L;        // lower Cholesky factor of S + jitter I (m x m)
    f64* PCt;      // P_pred C' (n x m)
    f64* K;        // gain (n x m)
};

Cells score_tape_row_cells(Cells N, Cells M) {
    return 2 * N * N + M * M + 2 * N * M + 2 * N + 2 * M;
}

TapeRow tape_row(f64* tape, i64 t, i64 n, i64 m) {
    ArenaCarver carver{tape + t * score_tape_row_cells(n, m).count()};
    TapeRow r{};
    r.x_pred = carver.take(n);
    r.x_filt = carver.take(n);
    r.v = carver.take(m);
    r.S_inv_v = carver.take(m);
    r.P_pred = carver.take(n * n);
    r.P_filt = carver.take(n * n);
    r.L = carver.take(m * m);
    r.PCt = carver.take(n * m);
    r.K = carver.take(n * m);
    return r;
}

struct ScoreModel {
    i64 n, m, k, T;
    const f64 *A, *B, *C, *d, *Q, *R, *y;
    f64 jitter;
    bool symmetrize, joseph_cov;
};

// ---- forward pass -------------------------------------------------------------------------------

// The periods of kf_hot_loop (same blocks, same order, same rounding), each recorded on its tape
// row; the prediction of period t goes straight into row t + 1 and is skipped after the last
// period, which nothing reads. Returns the number of periods finished: T, or the period whose
// innovation covariance could not be factorised.
i64 score_forward(const ScoreModel& md, const ScoreBlocks& b, f64* tape, f64* loglik) {
    const i64 n = md.n, m = md.m;
    const f64 const_term = static_cast<f64>(m) * score_log_two_pi;
    f64 total = 0.0;
    for (i64 t = 0; t < md.T; ++t) {
        const TapeRow r = tape_row(tape, t, n, m);
        // y_pred = C x_pred + d, v = y[t] - y_pred  (m)
        velm_matvec_plus_vec(md.C, r.x_pred, md.d, b.y_pred_buf, m, n);
        kf_row_minus_vec(md.y, t, b.y_pred_buf, r.v, m);
        // S = C P_pred C' + R  (m x m)
        kf_measurement_cov(md.C, r.P_pred, md.R, b.temp_mn, b.S_buf, n, m);
        if (md.symmetrize) velm_sym_inplace(b.S_buf, m);
        // L L' = S + jitter I
        if (velm_chol(b.S_buf, md.jitter, r.L, m) != VELM_OK) {
            *loglik = total;
            return t;
        }
        // S^-1 v = L'^-1 L^-1 v  (m)
        velm_forward_subst(r.L, r.v, b.u_buf, m);
        velm_backward_subst_chol_t(r.L, b.u_buf, r.S_inv_v, m);
        // PCt = P_pred C', K = PCt S^-1  (n x m)
        kf_pc_t(r.P_pred, md.C, r.PCt, n, m);
        kf_gain_from_pc_t(r.L, r.PCt, b.solve_f, b.solve_b, r.K, n, m);
        // x_filt = x_pred + K v  (n)
        kf_state_update(r.x_pred, r.K, r.v, r.x_filt, n, m);
        // P_filt = W P_pred W' + K R K' with W = I - K C,  or  P_pred - K PCt'  (n x n)
        if (md.joseph_cov) {
            kf_joseph_cov(r.K, md.C, r.P_pred, md.R, b.KC, b.I_minus_KC, b.temp_nn, b.temp_mn,
                          r.P_filt, n, m);
        } else {
            kf_simple_cov(r.K, r.PCt, r.P_pred, r.P_filt, n, m);
        }
        if (md.symmetrize) velm_sym_inplace(r.P_filt, n);
        // loglik -= 1/2 (ln det S + v' S^-1 v + m ln 2 pi)
        const f64 logdet = velm_logdet_from_chol(r.L, m);
        const f64 quad = velm_dot(r.v, r.S_inv_v, m);
        total = std::fma(-0.5, (logdet + quad) + const_term, total);
        if (t + 1 < md.T) {
            const TapeRow next = tape_row(tape, t + 1, n, m);
            // x_pred = A x_filt, P_pred = A P_filt A' + B Q B'  (next period)
            velm_matvec(md.A, r.x_filt, next.x_pred, n, n);
            kf_predict_cov(md.A, r.P_filt, b.BQBT, b.temp_nn, next.P_pred, n);
            if (md.symmetrize) velm_sym_inplace(next.P_pred, n);
        }
    }
    *loglik = total;
    return md.T;
}

// ---- reverse sweep, one forward step at a time, last step first ---------------------------------

// Prediction x+ = A x_filt, P+ = sym?(A P_filt A' + BQBT), given x_bar = x+_bar, P_bar = P+_bar:
//   A_bar += (P+_bar A) P_filt' + P+_bar' (A P_filt) + x+_bar x_filt',   BQBT_bar += P+_bar,
//   P_filt_bar = A' (P+_bar A),   x_filt_bar = A' x+_bar.
// Symmetrised, P+_bar and P_filt are exactly symmetric and the two products agree, which saves
// two of the five n x n products.
void reverse_predict(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r, f64* A_bar) {
    const i64 n = md.n;
    if (md.symmetrize) velm_sym_inplace(b.P_bar, n);
    score_add(b.BQBT_bar, b.P_bar, n * n);
    // temp_nn = P+_bar A
    velm_matmul(b.P_bar, md.A, b.temp_nn, n, n, n);
    velm_matmul_atb(md.A, b.temp_nn, b.P_filt_bar, n, n, n);
    if (md.symmetrize) {
        // A_bar += 2 (P+_bar A) P_filt
        velm_matmul(b.temp_nn, r.P_filt, b.temp_nn2, n, n, n);
        for (i64 i = 0; i < n * n; ++i) A_bar[i] += 2.0 * b.temp_nn2[i];
    } else {
        score_add_abt(b.temp_nn, r.P_filt, b.temp_nn2, A_bar, n, n, n);
        // temp_nn = A P_filt
        velm_matmul(md.A, r.P_filt, b.temp_nn, n, n, n);
        score_add_atb(b.P_bar, b.temp_nn, b.temp_nn2, A_bar, n, n, n);
    }
    score_add_outer(A_bar, 1.0, b.x_bar, r.x_filt, n, n);
    velm_matmul_atb(md.A, b.x_bar, b.x_filt_bar, n, n, 1);
}

// Standard form P_filt = P_pred - K PCt':
//   P_bar = P_filt_bar,   K_bar = -P_filt_bar PCt,   PCt_bar = -P_filt_bar' K.
void reverse_simple_cov(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r) {
    const i64 n = md.n, m = md.m;
    score_copy(b.P_bar, b.P_filt_bar, n * n);
    velm_matmul(b.P_filt_bar, r.PCt, b.K_bar, n, n, m);
    velm_matmul_atb(b.P_filt_bar, r.K, b.PCt_bar, n, n, m);
    for (i64 i = 0; i < n * m; ++i) {
        b.K_bar[i] = -b.K_bar[i];
        b.PCt_bar[i] = -b.PCt_bar[i];
    }
}

// Joseph form P_filt = W P_pred W' + K R K' with W = I - K C (F = P_filt_bar):
//   W_bar = F W P_pred' + F' W P_pred,   P_bar = W' F W,   R_bar += K' F K,
//   K_bar = F K R' + F' K R - W_bar C',   C_bar -= K' W_bar,   PCt_bar = 0.
void reverse_joseph_cov(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r,
                        f64* C_bar, f64* R_bar) {
    const i64 n = md.n, m = md.m;
    const f64* F = b.P_filt_bar;
    // W = I - K C
    velm_matmul(r.K, md.C, b.KC, n, m, n);
    kf_identity_minus(b.KC, b.I_minus_KC, n);
    const f64* W = b.I_minus_KC;
    if (md.symmetrize) {
        // F is exactly symmetric: W_bar = F W (P_pred' + P_pred), two products instead of four
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < n; ++j) {
                b.temp_nn2[i * n + j] = r.P_pred[i * n + j] + r.P_pred[j * n + i];
            }
        }
        velm_matmul(W, b.temp_nn2, b.temp_nn, n, n, n);
        velm_matmul(F, b.temp_nn, b.W_bar, n, n, n);
    } else {
        // W_bar = F (W P_pred') + F' (W P_pred)
        velm_matmul_abt(W, r.P_pred, b.temp_nn, n, n, n);
        velm_matmul(F, b.temp_nn, b.W_bar, n, n, n);
        velm_matmul(W, r.P_pred, b.temp_nn, n, n, n);
        score_add_atb(F, b.temp_nn, b.temp_nn2, b.W_bar, n, n, n);
    }
    // P_bar = (W' F) W
    velm_matmul_atb(W, F, b.temp_nn, n, n, n);
    velm_matmul(b.temp_nn, W, b.P_bar, n, n, n);
    // K_bar = F (K R') + F' (K R) - W_bar C'
    velm_matmul_abt(r.K, md.R, b.temp_nm, n, m, m);
    velm_matmul(F, b.temp_nm, b.K_bar, n, n, m);
    velm_matmul(r.K, md.R, b.temp_nm, n, m, m);
    score_add_atb(F, b.temp_nm, b.temp_nm2, b.K_bar, n, n, m);
    velm_matmul_abt(b.W_bar, md.C, b.temp_nm, n, n, m);
    score_sub(b.K_bar, b.temp_nm, n * m);
    // R_bar += (K' F) K
    velm_matmul_atb(r.K, F, b.temp_mn, n, m, n);
    velm_matmul(b.temp_mn, r.K, b.temp_mm, m, n, m);
    score_add(R_bar, b.temp_mm, m * m);
    // C_bar -= K' W_bar
    velm_matmul_atb(r.K, b.W_bar, b.temp_mn, n, m, n);
    score_sub(C_bar, b.temp_mn, m * n);
    velm_zero_mat(b.PCt_bar, n, m);
}

// Update of period t back to the innovation covariance, given K_bar, PCt_bar and x_filt_bar.
// With S~ = mirror(lower(sym?(S))) + jitter I the matrix the factor describes, w = S~^-1 v and
// loglik_t = -1/2 (ln det S~ + v' w + m ln 2 pi):
//   x_filt = x_pred + K v      x_bar = x_filt_bar,  K_bar += x_filt_bar v',  v_bar = K' x_filt_bar
//   loglik_t                   v_bar -= w,  S~_bar = -1/2 S~^-1 + 1/2 w w'
//   K = PCt S~^-1              PCt_bar += K_bar S~^-1,  S~_bar -= K' K_bar S~^-1  (S~^-1 PCt' = K')
//   lower triangle, mirrored   S_bar(i, j) = S~_bar(i, j) + S~_bar(j, i) below the diagonal,
//                              S~_bar(i, i) on it, 0 above; then sym? again
void reverse_gain(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r) {
    const i64 n = md.n, m = md.m;
    // state update
    score_copy(b.x_bar, b.x_filt_bar, n);
    score_add_outer(b.K_bar, 1.0, b.x_filt_bar, r.v, n, m);
    velm_matmul_atb(r.K, b.x_filt_bar, b.v_bar, n, m, 1);
    // log-likelihood term; temp_mm holds S~_bar
    score_sub(b.v_bar, r.S_inv_v, m);
    kf_gain_from_pc_t(r.L, b.eye_m, b.solve_f, b.solve_b, b.S_inv, m, m);
    for (i64 i = 0; i < m * m; ++i) b.temp_mm[i] = -0.5 * b.S_inv[i];
    score_add_outer(b.temp_mm, 0.5, r.S_inv_v, r.S_inv_v, m, m);
    // gain: temp_nm = K_bar S~^-1
    velm_matmul(b.K_bar, b.S_inv, b.temp_nm, n, m, m);
    score_add(b.PCt_bar, b.temp_nm, n * m);
    velm_matmul_atb(r.K, b.temp_nm, b.S_bar, n, m, m);
    score_sub(b.temp_mm, b.S_bar, m * m);
    // the factorisation reads the lower triangle of S
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64 folded = b.temp_mm[i * m + j] + b.temp_mm[j * m + i];
            b.S_bar[i * m + j] = i > j ? folded : (i == j ? b.temp_mm[i * m + i] : 0.0);
        }
    }
    if (md.symmetrize) velm_sym_inplace(b.S_bar, m);
}

// The measurement steps of period t, given S_bar, PCt_bar and v_bar:
//   S = C P_pred C' + R        R_bar += S_bar,  C_bar += S_bar C P_pred' + S_bar' C P_pred,
//                              P_bar += C' S_bar C
//   PCt = P_pred C'            P_bar += PCt_bar C,  C_bar += PCt_bar' P_pred
//   v = y[t] - C x_pred - d    d_bar -= v_bar,  C_bar -= v_bar x_pred',  x_bar -= C' v_bar
void reverse_measurement(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r,
                         const kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m;
    // innovation covariance
    score_add(out->R_bar, b.S_bar, m * m);
    velm_matmul_abt(md.C, r.P_pred, b.temp_nm, m, n, n);
    velm_matmul(b.S_bar, b.temp_nm, b.temp_nm2, m, m, n);
    score_add(out->C_bar, b.temp_nm2, m * n);
    velm_matmul(md.C, r.P_pred, b.temp_nm, m, n, n);
    score_add_atb(b.S_bar, b.temp_nm, b.temp_nm2, out->C_bar, m, m, n);
    velm_matmul(b.S_bar, md.C, b.temp_nm, m, m, n);
    score_add_atb(md.C, b.temp_nm, b.temp_nn, b.P_bar, m, n, n);
    // cross covariance
    velm_matmul(b.PCt_bar, md.C, b.temp_nn, n, m, n);
    score_add(b.P_bar, b.temp_nn, n * n);
    score_add_atb(b.PCt_bar, r.P_pred, b.temp_nm, out->C_bar, n, m, n);
    // innovation; x_filt_bar is spent and takes C' v_bar
    score_sub(out->d_bar, b.v_bar, m);
    score_add_outer(out->C_bar, -1.0, b.v_bar, r.x_pred, m, n);
    velm_matmul_atb(md.C, b.v_bar, b.x_filt_bar, m, n, 1);
    score_sub(b.x_bar, b.x_filt_bar, n);
}

// BQBT = sym(B Q B') with G = sym(BQBT_bar):  B_bar = G B (Q' + Q),  Q_bar = B' G B.
void reverse_process_noise(const ScoreModel& md, const ScoreBlocks& b,
                           const kf_grad_outputs* out) {
    const i64 n = md.n, k = md.k;
    velm_sym_inplace(b.BQBT_bar, n);
    // temp_nk = G B
    velm_matmul(b.BQBT_bar, md.B, b.temp_nk, n, n, k);
    velm_matmul_abt(b.temp_nk, md.Q, out->B_bar, n, k, k);
    velm_matmul(b.temp_nk, md.Q, b.temp_nk2, n, k, k);
    score_add(out->B_bar, b.temp_nk2, n * k);
    velm_matmul_atb(md.B, b.temp_nk, out->Q_bar, n, k, k);
}

void score_zero_outputs(const kf_grad_outputs* out, i64 n, i64 m, i64 k) {
    velm_zero_mat(out->A_bar, n, n);
    velm_zero_mat(out->B_bar, n, k);
    velm_zero_mat(out->C_bar, m, n);
    velm_zero_mat(out->d_bar, m, 1);
    velm_zero_mat(out->Q_bar, k, k);
    velm_zero_mat(out->R_bar, m, m);
    velm_zero_mat(out->x0_bar, n, 1);
    velm_zero_mat(out->P0_bar, n, n);
}

}  // namespace

arena_size kf_loglik_grad_arena_size(const i64 n, const i64 m, const i64 k, const i64 T) {
    // The tape grows with T, which an empty y of m = 0 columns does not bound: the count is
    // checked, and a size beyond the i64 range is reported as -1 rather than wrapped.
    const Cells periods = T > 0 ? T : 0;
    return make_sizer((score_scratch_cells(n, m, k) + periods * score_tape_row_cells(n, m)).count(),
                      0);
}

// 1. Zero the gradients, build B Q B' and run the forward pass onto the tape (a failure ends here).
// 2. Sweep the periods from the last to the first: prediction, filtered covariance, gain and
//    measurement adjoints, carrying x_bar and P_bar back to the prior of the period before.
// 3. x0_bar and P0_bar are the adjoints of period 0's prior; B Q B' gives B_bar and Q_bar last,
//    once every period has added to its adjoint.
int kf_loglik_grad(const kf_inputs* in, f64* arena, kf_grad_outputs* out) {
    const ScoreModel md{in->n, in->m, in->k, in->T, in->A, in->B, in->C, in->d, in->Q, in->R,
                        in->y, in->jitter, in->symmetrize != 0, in->joseph_cov != 0};
    const i64 n = md.n, m = md.m, k = md.k;
    ArenaCarver carver{arena};
    const ScoreBlocks b = score_carve(carver, n, m, k);
    f64* tape = carver.next;
    score_zero_outputs(out, n, m, k);
    *out->loglik = 0.0;
    if (md.T <= 0) return KF_OK;

    // B Q B'  (n x n); the prior is the prediction of period 0, used as given
    kf_build_bqbt(md.B, md.Q, b.temp_nk, b.BQBT, n, k);
    const TapeRow first = tape_row(tape, 0, n, m);
    score_copy(first.x_pred, in->x0, n);
    score_copy(first.P_pred, in->P0, n * n);
    if (score_forward(md, b, tape, out->loglik) < md.T) return KF_ERR_CHOLESKY;

    velm_zero_mat(b.eye_m, m, m);
    for (i64 i = 0; i < m; ++i) b.eye_m[i * m + i] = 1.0;
    velm_zero_mat(b.BQBT_bar, n, n);
    for (i64 t = md.T - 1; t >= 0; --t) {
        const TapeRow r = tape_row(tape, t, n, m);
        if (t + 1 < md.T) {
            reverse_predict(md, b, r, out->A_bar);
        } else {
            velm_zero_mat(b.P_filt_bar, n, n);  // the last period's prediction is never read
            velm_zero_mat(b.x_filt_bar, n, 1);
        }
        if (md.symmetrize) velm_sym_inplace(b.P_filt_bar, n);
        if (md.joseph_cov) {
            reverse_joseph_cov(md, b, r, out->C_bar, out->R_bar);
        } else {
            reverse_simple_cov(md, b, r);
        }
        reverse_gain(md, b, r);
        reverse_measurement(md, b, r, out);
    }
    score_copy(out->x0_bar, b.x_bar, n);
    score_copy(out->P0_bar, b.P_bar, n * n);
    reverse_process_noise(md, b, out);
    return KF_OK;
}
