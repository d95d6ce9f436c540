// The settled tail of the linear filter. Once S, its factor L and the gain K repeat every period
// (velm_settle::SettleWatch), the update and prediction of the states combine into
//   x_pred(t + 1) = A (x_pred(t) + K v_t) = F x_pred(t) + A K (y_t - d),   F = A - A K C,
// the closed-loop transition, so that one n x n matrix-vector product per period is all that
// must run in sequence. The rest of a period is a product over many periods at once, taken a
// chunk at a time:
//   Y_pred = X C' + d,   V = Y - Y_pred,   S^-1 v by rows,
//   terms -1/2 (ln det S + v' S^-1 v + m ln 2 pi),
//   X_filt = X + V K' and L^-1 v   (only when a caller keeps the periods)
// The reverse sweep of a score runs the same way, last chunk first. With w = S^-1 v, a period's
//   x_filt_bar = A' x_bar(t + 1),  v_bar = K' x_filt_bar - w,  x_bar = x_filt_bar - C' v_bar
// combine into x_bar(t) = F' x_bar(t + 1) + C' w, in sequence, and its sums (A_bar, K_bar, C_bar,
// d_bar, and the w w' of S_bar) are products over the chunk's rows.
// F is formed in the states' own units (F(i, j) scales as the states i and j do), so the tail is
// as exact as the period-by-period steps in any units.
#include "kalman/kalman_tail.h"

#include <cmath>
#include <utility>

#include "_common/velm_linalg.h"
#include "kalman/kalman_adjoint.h"

namespace velm_tail {

using velm_adjoint::add_atb;
using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_steps::FilterBlocks;
using velm_steps::kf_copy;
using velm_steps::kf_log_two_pi;

TailAdjointBlocks tail_adjoint_carve(ArenaCarver& carver, i64 n, i64 m) {
    const Cells N = n, P = kChunk, Q = n > m ? n : m;
    TailAdjointBlocks ab;
    ab.X_bar = carver.take((P + 1) * N);
    ab.X_filt_bar = carver.take(P * N);
    ab.temp = carver.take(Q * Q);
    return ab;
}

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

// ---- reverse sweep --------------------------------------------------------------------------

namespace {

// The records of periods t0 .. t0 + c - 1 as rows of X, X_filt, V and S^-1 v.
void chunk_records(const TailRecords& records, const TailBlocks& tb, i64 t0, i64 c, i64 n,
                   i64 m) {
    for (i64 j = 0; j < c; ++j) {
        const TailRecord r = records.record(t0 + j);
        kf_copy(tb.X + j * n, r.x_pred, n);
        kf_copy(tb.Xf + j * n, r.x_filt, n);
        kf_copy(tb.V + j * m, r.v, m);
        kf_copy(tb.SiV + j * m, r.S_inv_v, m);
    }
}

// One chunk, given x_bar of the period after it in row c of X_bar; leaves that of its first
// period in row 0. Ft holds F'.
void chunk_adjoint(const SettledModel& md, const f64* Ft, const TailBlocks& tb,
                   const TailAdjointBlocks& ab, i64 c, const TailAdjoint& adj) {
    const i64 n = md.n, m = md.m;
    // C' w of each period: Bx = SiV C  (c x n)
    velm_matmul(tb.SiV, md.C, tb.Bx, c, m, n);
    // x_bar(t) = F' x_bar(t + 1) + C' w_t, last period first
    for (i64 j = c - 1; j >= 0; --j) {
        velm_matvec_plus_vec(Ft, ab.X_bar + (j + 1) * n, tb.Bx + j * n, ab.X_bar + j * n, n, n);
    }
    // x_filt_bar = A' x_bar(t + 1): X_filt_bar = X_bar(1..c) A  (c x n)
    velm_matmul(ab.X_bar + n, md.A, ab.X_filt_bar, c, n, n);
    // -v_bar = w - K' x_filt_bar: Yp = SiV - X_filt_bar K  (c x m)
    velm_c_minus_matmul(ab.X_filt_bar, md.K, tb.SiV, tb.Yp, c, n, m);
    add_atb(ab.X_bar + n, tb.Xf, ab.temp, adj.A_bar, c, n, n);
    add_atb(ab.X_filt_bar, tb.V, ab.temp, adj.K_bar, c, n, m);
    add_atb(tb.Yp, tb.X, ab.temp, adj.C_bar, c, m, n);
    velm_matmul_atb(tb.SiV, tb.SiV, ab.temp, c, m, m);
    for (i64 i = 0; i < m * m; ++i) adj.S_tail_bar[i] += 0.5 * ab.temp[i];
    for (i64 j = 0; j < c; ++j) {
        for (i64 i = 0; i < m; ++i) adj.d_bar[i] += tb.Yp[j * m + i];
    }
}

}  // namespace

// 1. F', once (F in the blocks is left transposed).
// 2. Chunks from the last: the records, x_bar in sequence, then the chunk's sums as products;
//    x_bar of a chunk's first period is carried to the chunk before.
void settled_tail_adjoint(const SettledModel& md, const TailBlocks& tb,
                          const TailAdjointBlocks& ab, const TailRecords& records, i64 t_begin,
                          i64 T, const TailAdjoint& adj) {
    const i64 n = md.n, m = md.m;
    velm_zero_mat(adj.x_bar, n, 1);  // nothing after the sample's last period
    if (t_begin >= T) return;
    closed_loop(md, tb);
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) std::swap(tb.F[i * n + j], tb.F[j * n + i]);
    }
    for (i64 t1 = T; t1 > t_begin; t1 -= kChunk) {
        const i64 t0 = t1 - t_begin > kChunk ? t1 - kChunk : t_begin;
        const i64 c = t1 - t0;
        chunk_records(records, tb, t0, c, n, m);
        kf_copy(ab.X_bar + c * n, adj.x_bar, n);
        chunk_adjoint(md, tb.F, tb, ab, c, adj);
        kf_copy(adj.x_bar, ab.X_bar, n);
    }
}

}  // namespace velm_tail
