// The doubling iteration for the discrete Lyapunov equation P = A P A' + W with W symmetric,
// shared by the stationary covariance (W = B Q B') and its adjoint (A', W = sym(P_bar)).
// Internal: not part of the exported interface.
#ifndef VELM_KALMAN_DOUBLING_H
#define VELM_KALMAN_DOUBLING_H

#include "_common/velm_common.h"
#include "kalman/kalman_arena.h"

namespace velm_stationary {

struct DoublingBlocks {
    f64* W;         // the noise term, kept for the residual check (n x n)
    f64* A_power;   // the current power A^(2^j) (n x n)
    f64* temp_nn;   // product scratch (n x n)
    f64* residual;  // the current correction, later A P A' (n x n)
};

DoublingBlocks doubling_carve(velm_arena::ArenaCarver& carver, i64 n);

// What the convergence test measures an entry against. A covariance: each entry in the
// correlation units of P, so that states in any units converge alike. The adjoint's X, which is
// indefinite: its largest entry, or 1 if that is smaller (its right-hand side is scaled to a
// largest entry near 1).
enum class DoublingTest { covariance, largest };

// P = A P A' + W, W in d.W (symmetrised here; left as used), into out with row stride
// ld_out >= n: the status and convergence rule of kf_stationary_covariance.
int doubling(const f64* A, const DoublingBlocks& d, f64 tol, i64 max_iter, f64* out, i64 n,
             i64 ld_out, DoublingTest test);

}  // namespace velm_stationary

#endif
