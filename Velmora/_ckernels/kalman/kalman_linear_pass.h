// The linear filter's pass over a whole sample with every observation present, on the routes of
// kf_hot_loop (full recursion, rank-m steps, settled tail), for the loops that keep more of each
// period than the histories hold. Internal: not part of the exported interface.
#ifndef VELM_KALMAN_LINEAR_PASS_H
#define VELM_KALMAN_LINEAR_PASS_H

#include "_common/velm_common.h"
#include "kalman/kalman.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_missing.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

namespace velm_linear {

// kf_hot_loop over blocks carved by the caller: b of kf_filter_carve (linear), lr of
// low_rank_carve and tail of tail_carve, the histories of out when in->store_history
// (out->loglik always). A recorder, when given, is told every period after its update, the
// settled tail's periods included (the covariance blocks hold the period's
// P_pred, P_filt, S, L and K until the period is settled); a route that gives up reruns the pass
// in full, after recorder->rewind(). *settle is the last period with covariances of its own,
// whose S, L, K and P_pred stand for every later one (T when none). Returns KF_OK or
// KF_ERR_CHOLESKY.
int filter_pass(const kf_inputs* in, const velm_steps::FilterBlocks& b,
                velm_chandrasekhar::LowRankBlocks* lr, const velm_tail::TailBlocks& tail,
                kf_outputs* out, velm_missing::ForwardRecorder* recorder, i64* settle);

}  // namespace velm_linear

#endif
