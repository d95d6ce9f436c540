// The pivot rule of the jittered Cholesky factor, shared with the updates that build the same
// factor row by row, so that both fail on the same matrices. Internal: not part of the exported
// interface.
#ifndef VELM_PIVOT_H
#define VELM_PIVOT_H

#include "velm_common.h"

namespace __attribute__((visibility("hidden"))) velm_pivot {

// Double machine epsilon, 2^-52: the unit of the pivot tolerance n * eps * scale.
constexpr f64 kEpsilon = 2.220446049250313e-16;

// Whether a jitter is added at all: a jitter that is not positive (NaN included) counts as none.
inline bool adds_jitter(f64 jitter) { return jitter > 0.0; }

// A diagonal entry of S + jitter I.
inline f64 jittered(f64 diagonal, f64 jitter) {
    return adds_jitter(jitter) ? diagonal + jitter : diagonal;
}

// n * eps * scale, scale the largest jittered diagonal entry floored at 0 (a negative or NaN
// diagonal never raises it).
inline f64 tolerance(f64 scale, i64 n) { return (static_cast<f64>(n) * kEpsilon) * scale; }

// Written as !(s > tol) so that a NaN pivot fails like a non-positive one.
inline bool fails(f64 s, f64 tol) { return !(s > tol); }

}  // namespace velm_pivot

#endif
