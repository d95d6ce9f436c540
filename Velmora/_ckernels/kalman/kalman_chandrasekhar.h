// The linear filter's low-rank route: Chandrasekhar recursions that carry the covariance
// recursion as rank-r updates once its first change is found to have low rank. Internal: not
// part of the exported interface.
#ifndef VELM_KALMAN_CHANDRASEKHAR_H
#define VELM_KALMAN_CHANDRASEKHAR_H

#include "_common/velm_common.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"

namespace velm_chandrasekhar {

// Scratch of the route, carved after the linear loop's blocks for ranks up to capacity: m, the
// rank of the change of a stationary start, or more where higher ranks still pay (a route taken
// later in the sample, once the change has fallen to such a rank).
struct LowRankBlocks {
    i64 rank;     // r, the rank carried (m from a stationary start)
    i64 capacity; // the largest rank the blocks hold
    bool definite; // whether M is semi-definite (then so is every change it carries)
    f64* W;       // the change P_pred(t + 1) - P_pred(t) = W M W' (n x r)
    f64* W_next;  // W of the next period (n x r)
    f64* M;       // (r x r), negative definite
    f64* CW;      // C W (m x r)
    f64* MCWt;    // M (C W)' (r x m), then S^-1 C W M (m x r)
    f64* dS;      // change of S, C W M W' C' (m x m)
    f64* WM;      // W M (n x r)
    f64* P_diag;  // diagonal of P_pred (n)
    f64* P_diag_entry;  // diagonal of P_pred where the route began (n)
    f64* S_diag_entry;  // diagonal of S there (m)
};

LowRankBlocks low_rank_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m);

// Whether the route is worth taking at these dimensions: rank-m updates must cost well below the
// O(n^3) prediction they replace.
bool low_rank_pays(i64 n, i64 m);

// Whether the rank-r steps carry the model's covariance recursion at all. They are the steps of
// P_filt = P - K C P with K = P C' S~^-1, which the standard form takes whatever the jitter. The
// Joseph form equals it only with the optimal gain (no jitter: otherwise its P_filt is lower by
// jitter P C' S~^-2 C P each period) and when the update sees R whole, as S does: R symmetric,
// or the covariances symmetrised, which leaves R's symmetric part on both sides.
bool low_rank_carries(const velm_steps::FilterModel& model);

// The largest rank r whose steps pay as low_rank_pays asks of rank m; m where none above does.
i64 low_rank_capacity(i64 n, i64 m);

// At the end of period 0, with the full prediction P_pred(1) in b.P_pred_buf and P0 in P_prev,
// and period 0's PCt and factor in b: true when the change is the rank-m one of a stationary
// start, P_pred(1) - P0 = -(A PCt) S^-1 (A PCt)', to rounding in correlation units. Then W and M
// hold it; P_pred(1) stays in b.P_pred_buf.
bool low_rank_start(const velm_steps::FilterModel& model, const f64* P_prev,
                    const velm_steps::FilterBlocks& b, LowRankBlocks* lr,
                    const velm_settle::SettleWatch& watch);

// At the end of a later full period, with P_pred(t + 1) in b.P_pred_buf and P_pred(t) in P_prev:
// true when the change P_pred(t + 1) - P_pred(t) has some rank r up to the
// capacity, to rounding in the correlation units of P_pred(t + 1), by the same test as
// low_rank_start. A symmetric pivoted factor of the change in those units finds r; the test is
// on the whole residual. Then W (r columns) and M = diag(+-1) hold it. Uses b.I_minus_KC and
// b.P_filt_buf as scratch. *left_over: the largest diagonal entry of the change, in those units,
// that the pivots left (what keeps the rank above capacity), for when to try again.
bool low_rank_restart(const velm_steps::FilterModel& model, const f64* P_prev,
                      const velm_steps::FilterBlocks& b, LowRankBlocks* lr,
                      const velm_settle::SettleWatch& watch, f64* left_over);

// What low_rank_deflate did: carried the change at a lower rank, found none, or found one whose
// whole residual was not within rounding.
enum class Deflation { lowered, kept, missed };

// After a step that has not arrived, with the next change W M W' and the diagonal of P_pred of
// the period it leaves from in P_diag: the change at the lowest rank that carries it in those
// correlation units, by the symmetric pivoted factor and the whole-residual test of
// low_rank_restart. Its directions fall to rounding one by one as the recursion contracts, and
// every later step costs less at a lower rank. What is dropped must be within rounding, and so
// must its sum over all later periods at the contraction the watch has seen (what the settle
// rule asks of a change before it stops the recursion). Uses b.I_minus_KC, b.temp_nn and
// b.P_filt_buf as scratch.
Deflation low_rank_deflate(const velm_steps::FilterModel& model, const velm_steps::FilterBlocks& b,
                           LowRankBlocks* lr, const velm_settle::SettleWatch& watch);

// The quantities of period t + 1 from those of period t: S (factor L), PCt and K in b, W and M,
// and P_pred when keep_P (histories); P_diag always. False when S cannot be factorised, a value
// is not finite, or S or P_pred has shrunk since the route began by more than the route's running
// sums, which keep rounding of the size they began at, carry to rounding; *arrived tells the
// watch's verdict on the change just applied.
bool low_rank_advance(const velm_steps::FilterModel& model, const f64* C,
                      const velm_steps::FilterBlocks& b, LowRankBlocks* lr, bool keep_P,
                      velm_settle::SettleWatch* watch, bool* arrived);

// P_filt of the current period from P_pred, K and PCt in b, in the model's form.
void low_rank_filtered_cov(const velm_steps::FilterModel& model, const f64* C,
                           const velm_steps::FilterBlocks& b);

}  // namespace velm_chandrasekhar

#endif
