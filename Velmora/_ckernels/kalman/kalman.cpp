// Filter kernels: building blocks, process noise, stationary covariance and the filter loops.
// Every loop takes its scratch from one caller-supplied arena and never allocates.
#include "kalman/kalman.h"

#include <cmath>
#include <cstring>

#include "_common/velm_linalg.h"
#include "_common/velm_perturbation.h"

namespace {

// Hands out consecutive blocks of a loop's arena in carve order: no gaps, no alignment rounding.
struct ArenaCarver {
    f64* next;
    f64* take(i64 cells) {
        f64* block = next;
        next += cells;
        return block;
    }
};

}  // namespace

// ==== building blocks ==========================================================================

// ==== process noise and stationary covariance ==================================================

// ==== linear Kalman filter =====================================================================

// ==== extended Kalman filter ===================================================================

// ==== second-order unscented Kalman filter =====================================================
