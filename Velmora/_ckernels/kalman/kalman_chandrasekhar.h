// The linear filter's low-rank route: Chandrasekhar recursions that carry the covariance
// recursion as rank-r updates once its first change is found to have low rank. Internal: not
// part of the exported interface.
#ifndef VELM_KALMAN_CHANDRASEKHAR_H
#define VELM_KALMAN_CHANDRASEKHAR_H

#include "_common/velm_common.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"

namespace velm_chandrasekhar {

// Scratch of the route, carved after the linear loop's blocks. r = m: the rank of the change of
// a stationary start.
struct LowRankBlocks {
    f64* W;       // the change P_pred(t + 1) - P_pred(t) = W M W' (n x r)
    f64* W_next;  // W of the next period (n x r)
    f64* M;       // (r x r), negative definite
    f64* CW;      // C W (m x r)
    f64* MCWt;    // M (C W)' (r x m), then S^-1 C W M (m x r)
    f64* dS;      // change of S, C W M W' C' (m x m)
    f64* WM;      // W M (n x r)
    f64* P_diag;  // diagonal of P_pred (n)
};

LowRankBlocks low_rank_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m);

// Whether the route is worth taking at these dimensions: rank-m updates must cost well below the
// O(n^3) prediction they replace.
bool low_rank_pays(i64 n, i64 m);

// At the end of period 0, with the full prediction P_pred(1) in b.P_pred_buf and P0 in P_prev,
// and period 0's PCt and factor in b: true when the change is the rank-m one of a stationary
// start, P_pred(1) - P0 = -(A PCt) S^-1 (A PCt)', to rounding in correlation units. Then W and M
// hold it; P_pred(1) stays in b.P_pred_buf.
bool low_rank_start(const velm_steps::FilterModel& model, const f64* P_prev,
                    const velm_steps::FilterBlocks& b, const LowRankBlocks& lr,
                    const velm_settle::SettleWatch& watch);

// The quantities of period t + 1 from those of period t: S (factor L), PCt and K in b, W and M,
// and P_pred when keep_P (histories); P_diag always. False when S cannot be factorised or a
// value is not finite; *arrived tells the watch's verdict on the change just applied.
bool low_rank_advance(const velm_steps::FilterModel& model, const f64* C,
                      const velm_steps::FilterBlocks& b, LowRankBlocks* lr, bool keep_P,
                      velm_settle::SettleWatch* watch, bool* arrived);

// P_filt of the current period from P_pred, K and PCt in b, in the model's form.
void low_rank_filtered_cov(const velm_steps::FilterModel& model, const f64* C,
                           const velm_steps::FilterBlocks& b);

}  // namespace velm_chandrasekhar

#endif
