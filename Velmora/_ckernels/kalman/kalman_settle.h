// The settle test of the linear filter's covariance recursion, shared by the filter loop and its
// score so that both stop the recursion by the same rule. Internal: not part of the exported
// interface.
#ifndef VELM_KALMAN_SETTLE_H
#define VELM_KALMAN_SETTLE_H

#include <cmath>
#include <limits>

#include "_common/velm_common.h"
#include "_common/velm_linalg.h"

namespace velm_settle {

// In a time-invariant model the covariance recursion converges to the fixed point of its Riccati
// map (Durbin and Koopman, 2012, sec. 4.3.4; Anderson and Moore, 1979, ch. 4), and once it is
// there S, its factor, the gain and P_filt repeat every period: only the states are left to
// filter. The test has to tell "arrived" from "moving slowly", on states of any scale:
//
// 1. Units. Every change is measured in the entry's own scale: P_pred(i, j) against
//    sqrt(P_ii P_jj), S(i, j) against sqrt(S_ii S_jj), K(i, j) against sqrt(P_ii / S_jj). A change
//    of the states' or the observables' units changes none of these numbers. A state of zero (or
//    negative) variance has no scale: its entries must repeat exactly.
// 2. Rounding. A period's change counts as rounding when it is at most settle_allowance(n, m),
//    a few ulps per term of the inner products that form the covariances.
// 3. Slow convergence. Near the fixed point the changes shrink geometrically, by the contraction
//    r of the closed-loop map (r = rho(A (I - K C))^2), so the recursion still has
//    delta r / (1 - r) to travel after a change delta. When r is close to 1 the changes fall
//    below rounding long before the recursion has arrived. The contraction is measured while the
//    changes stand clear of rounding, as the geometric mean of the last few ratios, and the
//    distance still to travel is extrapolated from the last such change; the recursion settles
//    only when that too is within rounding. A start already within rounding of the fixed point
//    (no change ever stood clear) settles at once.
// 4. S and K. Once P_pred qualifies, S and the gain must have stopped changing too, in their own
//    units: S = C P C' + R can be far smaller than C P C' is in the states' units (an observable
//    that differences two correlated states), and K carries S^-1.
//
// A NaN never settles.

constexpr f64 unit_roundoff = std::numeric_limits<f64>::epsilon();
constexpr int contraction_window = 8;  // ratios in the geometric mean of the contraction

inline f64 settle_allowance(i64 n, i64 m) {
    return 4.0 * (16.0 + static_cast<f64>(n) + static_cast<f64>(m)) * unit_roundoff;
}

// inv_scale[i] = 1 / sqrt(P_ii), or +inf for a state without a positive variance (n).
inline void settle_inverse_scales(const f64* P, i64 n, f64* inv_scale) {
    for (i64 i = 0; i < n; ++i) {
        const f64 variance = P[i * n + i];
        inv_scale[i] = variance > 0.0 ? 1.0 / std::sqrt(variance)
                                      : std::numeric_limits<f64>::infinity();
    }
}

// Folds one scaled change into a running maximum; a NaN sticks.
inline f64 settle_fold(f64 largest, f64 change) {
    // a NaN largest is kept; a NaN change is not <= anything, so it is taken
    return change <= largest || std::isnan(largest) ? largest : change;
}

// |difference| row_scale col_scale, where an infinite scale (no variance) admits only an exact
// repeat.
inline f64 settle_scaled(f64 difference, f64 row_scale, f64 col_scale) {
    if (difference == 0.0) return 0.0;
    return std::fabs(difference) * row_scale * col_scale;
}

// Largest change of P_pred in correlation units: |P - P_prev|(i, j) / sqrt(P_ii P_jj).
inline f64 settle_cov_change(const f64* P_prev, const f64* P, const f64* inv_scale, i64 n) {
    return velm_max_scaled_change(P_prev, P, inv_scale, n);
}

// Largest change of the gain in its own units: |K - K_prev|(i, j) sqrt(S_jj) / sqrt(P_ii).
inline f64 settle_gain_change(const f64* K_prev, const f64* K, const f64* inv_scale,
                              const f64* S, i64 n, i64 m) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64 change = settle_scaled(K[i * m + j] - K_prev[i * m + j], inv_scale[i],
                                             std::sqrt(S[j * m + j]));
            largest = settle_fold(largest, change);
        }
    }
    return largest;
}

// Largest change of S = C P C' + R in its own units, (C dP C')(i, j) / sqrt(S_ii S_jj), with
// dP = P - P_prev formed in delta_P (n x n) and C dP in C_delta_P (m x n).
inline f64 settle_innovation_change(const f64* C, const f64* P_prev, const f64* P,
                                    const f64* S, f64* delta_P, f64* C_delta_P, i64 n, i64 m) {
    // delta_P = P - P_prev  (n x n),  C_delta_P = C delta_P  (m x n)
    velm_vsub(P, P_prev, delta_P, n * n);
    velm_matmul(C, delta_P, C_delta_P, m, n, n);
    f64 largest = 0.0;
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            // (C dP C')(i, j) = row i of C dP . row j of C
            const f64 change = velm_dot(C_delta_P + i * n, C + j * n, n);
            const f64 scale = 1.0 / std::sqrt(S[i * m + i] * S[j * m + j]);
            largest = settle_fold(largest, settle_scaled(change, scale, 1.0));
        }
    }
    return largest;
}

// Largest entry of a change of S in S's own units: |delta(i, j)| / sqrt(S_ii S_jj).
inline f64 settle_innovation_delta(const f64* delta, const f64* S, i64 m) {
    f64 largest = 0.0;
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            const f64 scale = 1.0 / std::sqrt(S[i * m + i] * S[j * m + j]);
            largest = settle_fold(largest, settle_scaled(delta[i * m + j], scale, 1.0));
        }
    }
    return largest;
}

// What the test reads of two consecutive periods, and the scratch it works in.
struct SettlePeriods {
    i64 n, m;
    const f64* C;       // measurement matrix (m x n)
    const f64* P_prev;  // P_pred of the period before (n x n)
    const f64* P;       // P_pred of this period (n x n)
    const f64* K_prev;  // gain of the period before (n x m)
    const f64* K;       // gain of this period (n x m)
    const f64* S;       // innovation covariance of this period (m x m)
    f64* inv_scale;     // scratch (n)
    f64* delta_P;       // scratch (n x n)
    f64* C_delta_P;     // scratch (m x n)
};

// Follows the changes of P_pred from period to period and decides when the recursion has
// arrived at its fixed point. Fed once per period from period 1 on, in order.
class SettleWatch {
  public:
    SettleWatch(i64 n, i64 m) : allowance_(settle_allowance(n, m)) {}

    // True when period p.P's quantities may stand for every later period.
    bool settled(const SettlePeriods& p) {
        settle_inverse_scales(p.P, p.n, p.inv_scale);
        if (!covariance_arrived(settle_cov_change(p.P_prev, p.P, p.inv_scale, p.n))) return false;
        if (!within_rounding(settle_gain_change(p.K_prev, p.K, p.inv_scale, p.S, p.n, p.m))) {
            return false;
        }
        return within_rounding(settle_innovation_change(p.C, p.P_prev, p.P, p.S, p.delta_P,
                                                        p.C_delta_P, p.n, p.m));
    }

    // Feeds this period's change of P_pred (correlation units); true when it, and the distance
    // the recursion still has to travel, are within rounding (items 2 and 3 above).
    bool covariance_arrived(f64 change) {
        record(change);
        return within_rounding(change) && within_rounding(distance_left());
    }

    bool within_rounding(f64 change) const { return change <= allowance_; }

    // Whether a change of this size, falling from now on by the contraction seen so far, adds up
    // to rounding over all later periods (change / (1 - r)): what may be dropped from a change
    // still under way. False while the contraction is unknown or not below 1.
    bool sums_within_rounding(f64 change) const {
        const f64 r = contraction();
        return r < 1.0 && within_rounding(change / (1.0 - r));
    }

  private:
    // Keeps the last contraction_window + 1 changes; a change that stands clear of rounding
    // renews the contraction estimate, whose root is taken only when a distance is asked for.
    void record(f64 change) {
        for (int i = contraction_window; i > 0; --i) recent_[i] = recent_[i - 1];
        recent_[0] = change;
        if (recorded_ <= contraction_window) ++recorded_;
        ++since_clear_;
        if (!(change <= allowance_)) {
            since_clear_ = 0;
            last_clear_ = change;
            contraction_steps_ = recorded_ - 1;
            if (contraction_steps_ >= 1) {
                contraction_fall_ = recent_[0] / recent_[contraction_steps_];
            }
        }
    }

    // Geometric mean of the ratios of consecutive changes over the window (fewer at the start)
    // when the last clear change was recorded; NaN when no ratio was known then.
    f64 contraction() const {
        if (contraction_steps_ < 1) return std::numeric_limits<f64>::quiet_NaN();
        return std::pow(contraction_fall_, 1.0 / contraction_steps_);
    }

    // What the recursion still has to travel, extrapolated from the last change that stood
    // clear of rounding: last_clear r^(k+1) / (1 - r) after k more periods. 0 when no change
    // ever stood clear; +inf when the contraction is unknown or not below 1.
    f64 distance_left() const {
        if (last_clear_ == 0.0) return 0.0;
        f64 r = contraction();
        if (std::isnan(r) && recorded_ >= 2) {
            // one clear change only, then rounding: the fall itself bounds the contraction
            r = std::pow(recent_[0] / last_clear_, 1.0 / static_cast<f64>(since_clear_));
        }
        if (!(r < 1.0)) return std::numeric_limits<f64>::infinity();
        return last_clear_ * std::pow(r, static_cast<f64>(since_clear_ + 1)) / (1.0 - r);
    }

    f64 allowance_;
    f64 recent_[contraction_window + 1] = {};
    int recorded_ = 0;
    i64 since_clear_ = 0;
    f64 last_clear_ = 0.0;
    int contraction_steps_ = 0;  // ratios in the estimate of the last clear change
    f64 contraction_fall_ = 0.0;  // their product, newest change over oldest
};

}  // namespace velm_settle

#endif
