// The settle test of the linear filter's covariance recursion, shared by the filter loop and
// its score so that both stop the recursion at the same period. Internal: not part of the
// exported interface.
#ifndef VELM_KALMAN_SETTLE_H
#define VELM_KALMAN_SETTLE_H

#include <cmath>

#include "_common/velm_common.h"

namespace velm_settle {

// In a time-invariant model the covariance recursion converges to the fixed point of its Riccati
// map (Durbin and Koopman, 2012, sec. 4.3.4; Anderson and Moore, 1979, ch. 4). Once P_pred
// repeats itself to within the rounding of the products that form it, every later period would
// repeat it too, and with it S, its factor, the gain and P_filt: the recursion has nothing left
// to compute but rounding noise. The change is measured against the largest entry; the allowance
// grows with n as the rounding of an n-term inner product does. A NaN never settles.
inline bool kf_covariance_settled(const f64* P_prev, const f64* P, i64 n) {
    constexpr f64 epsilon = 2.220446049250313e-16;  // 2^-52
    const f64 allowance = (16.0 + static_cast<f64>(n)) * epsilon;
    f64 largest = 0.0;
    f64 change = 0.0;
    for (i64 i = 0; i < n * n; ++i) {
        const f64 size = std::fabs(P[i]);
        const f64 step = std::fabs(P[i] - P_prev[i]);
        if (size > largest) largest = size;
        if (!(step <= change)) change = step;  // a NaN step makes change NaN, which fails below
    }
    return change <= allowance * largest;
}

}  // namespace velm_settle

#endif
