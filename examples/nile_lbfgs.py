"""Maximum likelihood for the Nile local-level model by L-BFGS-B with the native score.

Run ``python examples/nile_lbfgs.py``. The model (Durbin and Koopman, 2012, ch. 2) is

    y(t) = mu(t) + eps(t),    eps ~ N(0, sigma_eps^2)
    mu(t+1) = mu(t) + eta(t), eta ~ N(0, sigma_eta^2)

With a diffuse prior on mu(1), filtering starts exactly after the first observation with
mu(2) ~ N(y(1), sigma_eps^2 + sigma_eta^2) (Durbin and Koopman, 2012, sec. 2.9), so the prior
variance depends on both parameters and its gradient P0_bar enters the chain rule. The
parameters are the log-variances, which keeps them positive without bounds:

    d loglik / d log sigma_eps^2 = sigma_eps^2 (R_bar + P0_bar)
    d loglik / d log sigma_eta^2 = sigma_eta^2 (Q_bar + P0_bar)
"""

import numpy as np
from scipy.optimize import minimize

from Velmora._ckernels.kalman._kalman import kalman_loglik_grad
from Velmora.demo import PUBLISHED, load_nile

ONE = np.ones((1, 1))


def loglik_and_grad(log_vars, flow):
    """Exact diffuse log-likelihood and its gradient with respect to the two log-variances."""
    obs_var, level_var = np.exp(log_vars)
    status, loglik, grads = kalman_loglik_grad(
        len(flow) - 1, (1, 1, 1), ONE, ONE, ONE, np.zeros(1), [[level_var]], [[obs_var]],
        flow[1:, None], flow[:1], [[obs_var + level_var]], False, False, 0.0)
    if status != 0:
        raise RuntimeError(f"kalman_loglik_grad failed with status {status}")
    Q_bar, R_bar, P0_bar = grads[4][0, 0], grads[5][0, 0], grads[7][0, 0]
    return loglik, np.array([obs_var * (R_bar + P0_bar), level_var * (Q_bar + P0_bar)])


def fit(flow):
    """(obs_var, level_var, loglik, scipy result) at the maximum of the likelihood."""
    def objective(log_vars):
        loglik, grad = loglik_and_grad(log_vars, flow)
        return -loglik, -grad

    start = np.log(np.full(2, np.var(np.diff(flow)) / 2))
    result = minimize(objective, start, jac=True, method="L-BFGS-B",
                      options={"ftol": 1e-12, "gtol": 1e-8})
    obs_var, level_var = np.exp(result.x)
    return obs_var, level_var, -result.fun, result


def main():
    flow = load_nile()[1]
    obs_var, level_var, loglik, result = fit(flow)
    print(f"{'':28s}{'estimate':>12s}{'published':>12s}")
    print(f"{'observation variance':28s}{obs_var:12.1f}{PUBLISHED['obs_var']:12.1f}")
    print(f"{'level variance':28s}{level_var:12.1f}{PUBLISHED['level_var']:12.1f}")
    print(f"{'log-likelihood (diffuse)':28s}{loglik:12.3f}{PUBLISHED['loglik']:12.2f}")
    print(f"L-BFGS-B: {result.nit} iterations, {result.nfev} evaluations of the likelihood "
          f"and its gradient, |gradient| = {np.max(np.abs(result.jac)):.1e}")


if __name__ == "__main__":
    main()
