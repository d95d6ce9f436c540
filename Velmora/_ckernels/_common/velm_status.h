// Status codes of every native kernel: the numerical core's (-1xx) and the filter kernels' (-11xx).
#ifndef VELM_STATUS_H
#define VELM_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// Numerical core: the Cholesky family, and the real and complex LU families.
enum {
    VELM_OK = 0,
    VELM_ERR_NOT_POSITIVE_DEFINITE = -101,  // Cholesky pivot at or below tolerance (or NaN)
    VELM_ERR_INVALID_ARGUMENT = -102,       // LU: null pointer, n <= 0, allocation failure
    VELM_ERR_SINGULAR = -103,               // LU: a column's largest pivot candidate is 0
};

// Filter kernels: the filter loops, their score and the stationary covariance solver.
enum {
    KF_OK = 0,
    KF_ERR_INVALID_INPUT = -1101,    // unscented loop: null meas, n_state <= 0 or n_obs <= 0
    KF_ERR_CHOLESKY = -1102,         // a covariance (or the sigma-point spread) is unusable
    KF_ERR_NO_CONVERGENCE = -1105,   // stationary covariance: no convergence or non-finite value
};

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
