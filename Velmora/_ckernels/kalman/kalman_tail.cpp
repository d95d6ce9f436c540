// The settled tail of the linear filter. Once S, its factor L and the gain K repeat every period
// (velm_settle::SettleWatch), the update and prediction of the states combine into
//   x_pred(t + 1) = A (x_pred(t) + K v_t) = F x_pred(t) + A K (y_t - d),   F = A - A K C,
// the closed-loop transition, so that one n x n matrix-vector product per period is all that
// must run in sequence. The rest of a period is a product over many periods at once, taken a
// chunk at a time:
//   Y_pred = X C' + d,   V = Y - Y_pred,   S^-1 v by rows,
//   terms -1/2 (ln det S + v' S^-1 v + m ln 2 pi),
//   X_filt = X + V K' and L^-1 v   (only when a caller keeps the periods)
// F is formed in the states' own units (F(i, j) scales as the states i and j do), so the tail is
// as exact as the period-by-period steps in any units.
#include "kalman/kalman_tail.h"

#include <cmath>

#include "_common/velm_linalg.h"

namespace velm_tail {

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_steps::FilterBlocks;
using velm_steps::kf_copy;
using velm_steps::kf_log_two_pi;

TailBlocks tail_carve(ArenaCarver& carver, i64 n, i64 m) {
    const Cells N = n, M = m, P = kChunk;
    TailBlocks tb;
    tb.F = carver.take(N * N);
    tb.AK = carver.take(N * M);
    tb.X = carver.take((P + 1) * N);
    tb.Xf = carver.take(P * N);
    tb.Yd = carver.take(P * M);
    tb.Yp = carver.take(P * M);
    tb.V = carver.take(P * M);
    tb.SiV = carver.take(P * M);
    tb.U = carver.take(P * M);
    tb.Bx = carver.take(P * N);
    return tb;
}

namespace {

// AK = A K (n x m),  F = A - AK C (n x n)
void closed_loop(const SettledModel& md, const TailBlocks& tb) {
    velm_matmul(md.A, md.K, tb.AK, md.n, md.n, md.m);
    velm_c_minus_matmul(tb.AK, md.C, md.A, tb.F, md.n, md.m, md.n);
}

// x_pred of periods t0 + 1 .. t0 + c into rows 1 .. c of X, from row 0.
void chunk_states(const SettledModel& md, const TailBlocks& tb, i64 t0, i64 c) {
    const i64 n = md.n, m = md.m;
    // Yd = y - d  (c x m)
    for (i64 j = 0; j < c; ++j) {
        const f64* y_row = md.y + (t0 + j) * m;
        for (i64 i = 0; i < m; ++i) tb.Yd[j * m + i] = y_row[i] - md.d[i];
    }
    // Bx = Yd (A K)'  (c x n)
    velm_matmul_abt(tb.Yd, tb.AK, tb.Bx, c, m, n);
    // x_pred(t + 1) = F x_pred(t) + A K (y_t - d)  (n), period after period
    for (i64 j = 0; j < c; ++j) {
        velm_matvec_plus_vec(tb.F, tb.X + j * n, tb.Bx + j * n, tb.X + (j + 1) * n, n, n);
    }
}

// Y_pred = X C' + d, V = Y - Y_pred and S^-1 v of the chunk's c periods (c x m each).
void chunk_innovations(const SettledModel& md, const TailBlocks& tb, i64 t0, i64 c) {
    const i64 n = md.n, m = md.m;
    velm_matmul_abt(tb.X, md.C, tb.Yp, c, n, m);
    for (i64 j = 0; j < c; ++j) {
        const f64* y_row = md.y + (t0 + j) * m;
        for (i64 i = 0; i < m; ++i) {
            const i64 cell = j * m + i;
            tb.Yp[cell] += md.d[i];
            tb.V[cell] = y_row[i] - tb.Yp[cell];
        }
    }
    velm_chol_solve_rows(md.L, tb.V, tb.SiV, c, m);
}

// loglik - 1/2 (ln det S + v' S^-1 v + m ln 2 pi) summed over the chunk's periods in order.
f64 chunk_loglik(const TailBlocks& tb, i64 c, i64 m, f64 logdet, f64 const_term, f64 loglik) {
    for (i64 j = 0; j < c; ++j) {
        f64 quad = 0.0;
        for (i64 i = 0; i < m; ++i) quad += tb.V[j * m + i] * tb.SiV[j * m + i];
        loglik = std::fma(-0.5, (logdet + quad) + const_term, loglik);
    }
    return loglik;
}

// X_filt = X + V K' and L^-1 v of the chunk, then each period handed to keep through b.
void chunk_keep(const SettledModel& md, const TailBlocks& tb, const FilterBlocks& b, i64 t0,
                i64 c, TailPeriods* keep) {
    const i64 n = md.n, m = md.m;
    velm_matmul_abt_plus_c(tb.V, md.K, tb.X, tb.Xf, c, m, n);
    for (i64 j = 0; j < c; ++j) velm_forward_subst(md.L, tb.V + j * m, tb.U + j * m, m);
    for (i64 j = 0; j < c; ++j) {
        kf_copy(b.x_pred_buf, tb.X + j * n, n);
        kf_copy(b.x_filt_buf, tb.Xf + j * n, n);
        kf_copy(b.y_pred_buf, tb.Yp + j * m, m);
        kf_copy(b.v_buf, tb.V + j * m, m);
        kf_copy(b.u_buf, tb.U + j * m, m);
        kf_copy(b.S_inv_v, tb.SiV + j * m, m);
        keep->period(t0 + j);
    }
}

}  // namespace

// 1. F and A K, once.
// 2. Each chunk: its states in sequence, then its innovations, solves and terms at once, and the
//    periods handed on when kept; x_pred of the period after the chunk starts the next.
f64 settled_tail(const SettledModel& md, const TailBlocks& tb, const FilterBlocks& b, i64 t_begin,
                 i64 T, f64 loglik, TailPeriods* keep) {
    if (t_begin >= T) return loglik;
    const i64 n = md.n, m = md.m;
    const f64 logdet = velm_logdet_from_chol(md.L, m);
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    closed_loop(md, tb);
    kf_copy(tb.X, b.x_pred_buf, n);
    for (i64 t0 = t_begin; t0 < T; t0 += kChunk) {
        const i64 c = T - t0 < kChunk ? T - t0 : kChunk;
        chunk_states(md, tb, t0, c);
        chunk_innovations(md, tb, t0, c);
        loglik = chunk_loglik(tb, c, m, logdet, const_term, loglik);
        if (keep) chunk_keep(md, tb, b, t0, c, keep);
        kf_copy(tb.X, tb.X + c * n, n);
    }
    kf_copy(b.x_pred_buf, tb.X, n);
    return loglik;
}

}  // namespace velm_tail
