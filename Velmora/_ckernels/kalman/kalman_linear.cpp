// The linear Gaussian Kalman filter over a whole sample, with its settled tail: once the covariance
// recursion has arrived at its fixed point only the states are filtered.
#include "kalman/kalman.h"

#include <algorithm>
#include <cmath>

#include "_common/velm_linalg.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_linear_pass.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

using velm_arena::ArenaCarver;
using velm_settle::SettlePeriods;
using velm_settle::SettleWatch;
using namespace velm_steps;

// Textbook order (Durbin and Koopman, 2012, sec. 4.3): the prior (x0, P0) is the prediction for
// period 0, and every period first updates with its observation, then predicts the next one.
// The extended loop (kalman_extended.cpp) shares the update, likelihood, storing and prediction
// steps (kalman_steps.h), with the period's Jacobian H in place of C.

namespace {

using velm_chandrasekhar::LowRankBlocks;
using velm_missing::ForwardRecorder;
using velm_missing::Selection;
using velm_tail::TailBlocks;

// How the covariance recursion runs in a period: in full, as rank-m updates (Chandrasekhar), or
// not at all once it has settled.
enum class Route { full, low_rank, settled };

// A route that gave up (a factor of S or a value failed on the low-rank route): the call runs
// again on the full recursion, which decides the status.
constexpr int kRouteFailed = 1;

// Periods the low-rank route must still have ahead for a try to be worth its cost.
constexpr i64 kLowRankLeast = 6;

// When to try the low-rank route again from a prior that is not stationary. A try that fails
// above capacity leaves the largest pivot it could not take; that pivot falls about
// geometrically, so two tries give its rate and the period it should reach rounding, a little
// before which the next try comes. A change whose rank was low enough but whose residual was
// not within rounding is tried again soon. Only the cost depends on this, never the result.
class RetrySchedule {
  public:
    RetrySchedule(i64 n, i64 m) : allowance_(velm_settle::settle_allowance(n, m)) {}
    bool due(i64 t) const { return t >= next_; }
    void failed(i64 t, f64 left_over) {
        i64 wait = kSoon;
        if (left_over > 0.0) {
            wait = kFirst;
            if (last_t_ >= 0 && left_over < last_left_ && std::isfinite(left_over)) {
                // log of the fall per period, and the periods to rounding at that rate
                const f64 rate = std::log(left_over / last_left_) / static_cast<f64>(t - last_t_);
                const f64 periods = std::log(allowance_ / left_over) / rate;
                wait = periods < static_cast<f64>(kLongest)
                           ? std::max<i64>(kSoon, static_cast<i64>(0.8 * periods))
                           : kLongest;
            } else if (last_t_ >= 0) {
                wait = kLongest;  // not falling
            }
            last_t_ = t;
            last_left_ = left_over;
        }
        next_ = t + wait;
    }

  private:
    static constexpr i64 kSoon = 2, kFirst = 4, kLongest = 32;
    f64 allowance_;
    i64 next_ = 1;
    i64 last_t_ = -1;
    f64 last_left_ = 0.0;
};

struct LinearBlocks {
    FilterBlocks b;
    LowRankBlocks lr;
    TailBlocks tail;
};

LinearBlocks kf_linear_carve(ArenaCarver& carver, i64 n, i64 m, i64 k) {
    LinearBlocks blocks;
    blocks.b = kf_filter_carve(carver, FilterKind::linear, n, m, k);
    blocks.lr = velm_chandrasekhar::low_rank_carve(carver, n, m);
    blocks.tail = velm_tail::tail_carve(carver, n, m);
    return blocks;
}

int kf_filter(const kf_inputs* in, const FilterBlocks& b, LowRankBlocks* lr,
              const TailBlocks& tail, kf_outputs* out, ForwardRecorder* recorder,
              bool allow_low_rank, i64* settle);

}  // namespace

arena_size kf_arena_size(const i64 n, const i64 m, const i64 k) {
    ArenaCarver counter = ArenaCarver::counting();
    kf_linear_carve(counter, n, m, k);
    return counter.size();
}

int kf_hot_loop(const kf_inputs* in, f64* arena, kf_outputs* out) {
    ArenaCarver carver{arena};
    LinearBlocks blocks = kf_linear_carve(carver, in->n, in->m, in->k);
    i64 settle = 0;
    return velm_linear::filter_pass(in, blocks.b, &blocks.lr, blocks.tail, out, nullptr,
                                    &settle);
}

int velm_linear::filter_pass(const kf_inputs* in, const FilterBlocks& b, LowRankBlocks* lr,
                             const TailBlocks& tail, kf_outputs* out, ForwardRecorder* recorder,
                             i64* settle) {
    const int status = kf_filter(in, b, lr, tail, out, recorder, true, settle);
    if (status != kRouteFailed) return status;
    if (recorder) recorder->rewind();
    return kf_filter(in, b, lr, tail, out, recorder, false, settle);
}

namespace {

// When to try to carry the route's change at a lower rank (velm_chandrasekhar::low_rank_deflate).
// A route taken up from a later change begins at the rank that change had, often the capacity,
// and its trailing directions fall to rounding within a few periods; a try costs about two steps
// at that rank. From a stationary start the rank is m and its directions last: no tries. Only
// the cost depends on this.
class DeflateSchedule {
  public:
    void begin() { wait_ = kEvery; }
    bool due() { return wait_ > 0 && --wait_ == 0; }
    void tried(velm_chandrasekhar::Deflation outcome) {
        wait_ = outcome == velm_chandrasekhar::Deflation::missed ? 2 * kEvery : kEvery;
    }

  private:
    static constexpr int kEvery = 8;
    int wait_ = 0;  // 0: no tries
};

// One rank-r step to the next period's S, L, K (and P_pred when kept); the route turns settled
// when the settle rule says so, with P_filt (when kept) of the period that stands for the rest.
// False when the step failed.
bool kf_low_rank_step(const FilterModel& model, const f64* C, const FilterBlocks& b,
                      LowRankBlocks* lr, bool keep_P, bool keep_P_filt, SettleWatch* watch,
                      DeflateSchedule* deflate, Route* route) {
    bool arrived = false;
    if (!velm_chandrasekhar::low_rank_advance(model, C, b, lr, keep_P, watch, &arrived)) {
        return false;
    }
    if (arrived) {
        *route = Route::settled;
        if (keep_P_filt) velm_chandrasekhar::low_rank_filtered_cov(model, C, b);
    } else if (deflate->due()) {
        deflate->tried(velm_chandrasekhar::low_rank_deflate(model, b, lr, *watch));
    }
    return true;
}

// What a pass keeps of a period after its update: eps_hat and the history rows when stored, and
// the recorder's copy. The settled tail hands its periods here too.
class PeriodKeeper final : public velm_tail::TailPeriods {
  public:
    PeriodKeeper(const kf_inputs* in, const FilterBlocks& b, kf_outputs* out,
                 ForwardRecorder* recorder, const i64* settle)
        : in_(in), b_(b), out_(out), recorder_(recorder), settle_(settle),
          store_(in->store_history != 0), shocks_(store_ && in->return_shocks != 0) {}

    bool keeps() const { return store_ || recorder_ != nullptr; }

    void period(i64 t) override {
        const i64 n = in_->n, m = in_->m, k = in_->k;
        // eps_hat[t] = M S^-1 v  (k)
        if (shocks_) velm_matvec(b_.M, b_.S_inv_v, out_->eps_hat + t * k, k, m);
        if (store_) {
            // y_filt = C x_filt + d  (m)
            velm_matvec_plus_vec(in_->C, b_.x_filt_buf, in_->d, b_.y_filt_buf, m, n);
            kf_store_state_rows(out_, b_, t, n, m);
            kf_copy(out_->y_filt + t * m, b_.y_filt_buf, m);
            kf_store_innovation_rows(out_, b_, t, m);
        }
        if (recorder_) {
            recorder_->period(t, Selection{m, true, in_->C, in_->d, in_->R, in_->y, t}, b_,
                              t > *settle_);
        }
    }

  private:
    const kf_inputs* in_;
    const FilterBlocks& b_;
    kf_outputs* out_;
    ForwardRecorder* recorder_;
    const i64* settle_;
    bool store_, shocks_;
};

// The settled periods t .. T - 1, from x_pred of period t, with the gain and factor in b.
f64 kf_tail(const kf_inputs* in, const FilterBlocks& b, const TailBlocks& tail, i64 t,
            f64 loglik, PeriodKeeper* keeper) {
    const velm_tail::SettledModel model{in->n, in->m, in->A, in->C, in->d, in->y, b.K, b.L};
    return velm_tail::settled_tail(model, tail, b, t, in->T, loglik,
                                   keeper->keeps() ? keeper : nullptr);
}

// 1. Set-up: B Q B', the shock projection, the prior.
// 2. Each period: the update (in full, or with the current S, L, K on the low-rank route), the
//    log-likelihood, the histories and the recorder; then the covariance recursion of the route:
//    the full prediction or the rank-m step.
// 3. The route starts in full. Where the rank-r steps carry the model's covariance recursion
//    (velm_chandrasekhar::low_rank_carries), at the end of period 0 it turns low-rank when the
//    first change of P_pred has rank m to rounding (a stationary start) and rank-m steps pay; at
//    the end of a later full period, when the change has fallen to a rank that pays (tried every
//    few periods). It settles when the settle rule says so, on either route.
// 4. The settled periods run in the settled tail (velm_tail), histories and recorder included.
// *settle is the last period with covariances of its own: a full period that settles stands for
// the later ones; a rank-m step that arrives has formed those of the next period, which then
// stands for the rest.
int kf_filter(const kf_inputs* in, const FilterBlocks& b, LowRankBlocks* lr,
              const TailBlocks& tail, kf_outputs* out, ForwardRecorder* recorder,
              bool allow_low_rank, i64* settle) {
    const i64 n = in->n;
    const i64 m = in->m;
    const i64 k = in->k;
    const FilterModel model = kf_model_of(in);
    const bool store = in->store_history != 0;
    // P_pred of every period, for the histories or the recorder; P_filt for the histories (the
    // recorder does not read it on the low-rank route)
    const bool keep_P = store || recorder != nullptr;
    const bool keep_P_filt = store;

    kf_begin(in, b);
    // M = Q B' C'  (k x m), once per call since C is constant
    if (store && in->return_shocks) {
        kf_build_shock_projection(in->B, in->C, in->Q, b.temp_km, b.M, n, k, m);
    }
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    f64 loglik = 0.0;
    // P0 is taken as given; every later P_pred is exactly symmetric when symmetrised
    bool P_pred_symmetric = model.symmetrize && kf_is_symmetric(b.P_pred_buf, n);
    // The Joseph form works through C P_pred, which leaves the KC block free to hold the
    // previous P_pred; the settle test's scratch lies in blocks that are free between an update
    // and the next prediction.
    SettleWatch watch(n, m);
    Route route = Route::full;
    f64* const P_pred_prev = b.KC;
    const bool try_low_rank = allow_low_rank && in->T > 2 &&
                              velm_chandrasekhar::low_rank_pays(n, m) &&
                              velm_chandrasekhar::low_rank_carries(model);
    RetrySchedule retry(n, m);  // tries of the low-rank route from a later change
    DeflateSchedule deflate;
    *settle = in->T;
    PeriodKeeper keeper(in, b, out, recorder, settle);

    for (i64 t = 0; t < in->T; ++t) {
        if (route == Route::settled) {
            loglik = kf_tail(in, b, tail, t, loglik, &keeper);
            break;
        }
        // y_pred = C x_pred + d  (m)
        velm_matvec_plus_vec(in->C, b.x_pred_buf, in->d, b.y_pred_buf, m, n);
        if (route == Route::low_rank) {
            kf_update_settled(model, t, b);
            if (keep_P_filt) velm_chandrasekhar::low_rank_filtered_cov(model, in->C, b);
        } else if (!kf_update(model, in->C, t, P_pred_symmetric, b)) {
            *out->loglik = loglik;
            return KF_ERR_CHOLESKY;
        }
        loglik = kf_add_loglik(loglik, const_term, b, m);
        keeper.period(t);
        if (route == Route::low_rank) {
            // S, L, K (and P_pred) of the next period; they stand for all later ones once settled
            if (!kf_low_rank_step(model, in->C, b, lr, keep_P, keep_P_filt, &watch, &deflate,
                                  &route)) {
                return kRouteFailed;
            }
            if (route == Route::settled) *settle = t + 1;
        }
        // this period's S, L, K and P_filt serve every later period once they have settled
        if (route == Route::full && t > 0 &&
            watch.settled(SettlePeriods{n, m, in->C, P_pred_prev, b.P_pred_buf, b.K_prev, b.K,
                                        b.S_buf, b.I_minus_KC, b.temp_nn, b.temp_mn})) {
            route = Route::settled;
            *settle = t;
        }
        if (route != Route::full) {
            // x_pred = A x_filt  (n)
            velm_matvec(in->A, b.x_filt_buf, b.x_pred_buf, n, n);
            continue;
        }
        kf_copy(P_pred_prev, b.P_pred_buf, n * n);
        kf_copy(b.K_prev, b.K, n * m);
        kf_predict(model, b);
        P_pred_symmetric = model.symmetrize;
        if (t == 0 && try_low_rank &&
            velm_chandrasekhar::low_rank_start(model, P_pred_prev, b, lr, watch)) {
            // period 1 from period 0 by the first rank-m step, P_pred (when kept) from P0
            route = Route::low_rank;
            if (keep_P) kf_copy(b.P_pred_buf, P_pred_prev, n * n);
            if (!kf_low_rank_step(model, in->C, b, lr, keep_P, keep_P_filt, &watch, &deflate,
                                  &route)) {
                return kRouteFailed;
            }
            if (route == Route::settled) *settle = t + 1;
        } else if (try_low_rank && retry.due(t) && in->T - t > kLowRankLeast) {
            f64 left_over = 0.0;
            if (velm_chandrasekhar::low_rank_restart(model, P_pred_prev, b, lr, watch,
                                                     &left_over)) {
                // period t + 1 from period t by the first rank-r step, as from a stationary start
                route = Route::low_rank;
                deflate.begin();
                if (keep_P) kf_copy(b.P_pred_buf, P_pred_prev, n * n);
                if (!kf_low_rank_step(model, in->C, b, lr, keep_P, keep_P_filt, &watch, &deflate,
                                      &route)) {
                    return kRouteFailed;
                }
                if (route == Route::settled) *settle = t + 1;
            } else {
                retry.failed(t, left_over);
            }
        }
    }
    *out->loglik = loglik;
    return KF_OK;
}

}  // namespace
