// The stationary covariance's adjoint for a covariance already at hand, shared by
// kf_stationary_covariance_grad and the score from the stationary start. Internal: not part of
// the exported interface.
#ifndef VELM_KALMAN_STATIONARY_GRAD_H
#define VELM_KALMAN_STATIONARY_GRAD_H

#include "_common/velm_common.h"

namespace velm_stationary {

// Arena of adjoint_given (that of kf_stationary_covariance_grad).
arena_size adjoint_arena_size(i64 n, i64 k);

// kf_stationary_covariance_grad with P = kf_stationary_covariance(A, B, Q, tol, max_iter) given
// rather than solved for: only the adjoint equation X = A' X A + sym(P_bar) is solved. P may lie
// in the arena's first n x n cells, which are left as they are.
int adjoint_given(const f64* A, const f64* B, const f64* Q, const f64* P, const f64* P_bar,
                  f64 tol, i64 max_iter, f64* arena, f64* A_bar, f64* B_bar, f64* Q_bar, i64 n,
                  i64 k);

}  // namespace velm_stationary

#endif
