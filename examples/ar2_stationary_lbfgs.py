"""Maximum likelihood for an AR(2) seen through noise, from its stationary start, by L-BFGS-B with
the total native gradient.

Run ``python examples/ar2_stationary_lbfgs.py``. The model, in companion form:

    x(t+1) = [[phi1, phi2], [1, 0]] x(t) + [1, 0]' eps(t+1),   eps ~ N(0, sigma^2)
    y(t)   = [1, 0] x(t) + eta(t),                             eta ~ N(0, tau^2)

The filter starts from the stationary covariance P0 = stationary_covariance(A, B, Q), which
depends on phi1, phi2 and sigma^2: ``KalmanFilter.stationary`` builds it, and its
``loglik_grad`` returns the total gradient, the derivative through P0 included (natively,
``kalman_loglik_grad_stationary``; the same as kalman_loglik_grad's partials with P0_bar pushed
through stationary_covariance_grad, at a fraction of the cost).

The coefficients are reached through the partial autocorrelations, so that every trial point
of the optimiser is stationary.
"""

import numpy as np
from scipy.optimize import minimize

from Velmora.kalman import KalmanFilter

B = np.array([[1.0], [0.0]])
C = np.array([[1.0, 0.0]])
TRUE = dict(phi1=1.2, phi2=-0.5, sigma2=1.0, tau2=0.5)


def simulate(T, seed=0, phi1=TRUE["phi1"], phi2=TRUE["phi2"], sigma2=TRUE["sigma2"],
             tau2=TRUE["tau2"]):
    rng = np.random.default_rng(seed)
    x, y = np.zeros(2), np.empty(T)
    for t in range(T):
        y[t] = x[0] + np.sqrt(tau2) * rng.standard_normal()
        x = np.array([phi1 * x[0] + phi2 * x[1] + np.sqrt(sigma2) * rng.standard_normal(), x[0]])
    return y


def coefficients(a1, a2):
    """(phi1, phi2) and their Jacobian in (a1, a2) from the partial autocorrelations tanh(a1),
    tanh(a2) (Monahan, 1984), which keeps every step of the optimiser stationary."""
    r1, r2 = np.tanh(a1), np.tanh(a2)
    phi = np.array([r1 * (1.0 - r2), r2])
    jacobian = np.array([[(1.0 - r1 * r1) * (1.0 - r2), -r1 * (1.0 - r2 * r2)],
                         [0.0, 1.0 - r2 * r2]])
    return phi, jacobian


def loglik_and_grad(theta, y):
    """Log-likelihood and its total gradient in (a1, a2, log sigma^2, log tau^2)."""
    (phi1, phi2), jacobian = coefficients(theta[0], theta[1])
    A = np.array([[phi1, phi2], [1.0, 0.0]])
    Q, R = np.exp([[theta[2]]]), np.exp([[theta[3]]])
    kf = KalmanFilter.stationary(A, B, C, np.zeros(1), Q, R, np.zeros(2), joseph_cov=True)
    result = kf.loglik_grad(y)
    phi_grad = jacobian.T @ result.A_bar[0]
    return result.loglik, np.array([phi_grad[0], phi_grad[1], Q[0, 0] * result.Q_bar[0, 0],
                                    R[0, 0] * result.R_bar[0, 0]])


def fit(y):
    """(phi1, phi2, sigma^2, tau^2, loglik, scipy result) at the maximum of the likelihood."""
    def objective(theta):
        loglik, grad = loglik_and_grad(theta, y)
        return -loglik, -grad

    start = np.array([0.5, 0.0, np.log(np.var(y) / 2), np.log(np.var(y) / 2)])
    result = minimize(objective, start, jac=True, method="L-BFGS-B",
                      options={"ftol": 1e-12, "gtol": 1e-7})
    (phi1, phi2), _ = coefficients(result.x[0], result.x[1])
    return phi1, phi2, np.exp(result.x[2]), np.exp(result.x[3]), -result.fun, result


def main():
    y = simulate(2000)
    phi1, phi2, sigma2, tau2, loglik, result = fit(y)
    estimates = dict(phi1=phi1, phi2=phi2, sigma2=sigma2, tau2=tau2)
    print(f"{'':10s}{'estimate':>10s}{'true':>10s}")
    for name, value in estimates.items():
        print(f"{name:10s}{value:10.3f}{TRUE[name]:10.3f}")
    print(f"log-likelihood {loglik:.3f}; L-BFGS-B: {result.nit} iterations, {result.nfev} "
          f"evaluations of the likelihood and its total gradient")


if __name__ == "__main__":
    main()
