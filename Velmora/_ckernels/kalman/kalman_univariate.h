// The log-likelihood of the linear model with missing observations, one observed row at a time
// (Durbin and Koopman, 2012, sec. 6.4). Internal: not part of the exported interface.
#ifndef VELM_KALMAN_UNIVARIATE_H
#define VELM_KALMAN_UNIVARIATE_H

#include "_common/velm_common.h"
#include "kalman/kalman.h"
#include "kalman/kalman_steps.h"

namespace velm_univariate {

// Whether the rows may be taken one at a time: R diagonal, so that the measurement errors of a
// period are independent, and the standard form of the covariance update (not Joseph's).
bool applies(const kf_inputs* in);

// The log-likelihood of the whole sample on the blocks of the linear loop (nothing stored);
// KF_ERR_CHOLESKY, with the sum of the periods before, where the full recursion's factor of
// S + jitter I fails.
int loglik_pass(const kf_inputs* in, const velm_steps::FilterBlocks& b, f64* loglik);

}  // namespace velm_univariate

#endif
