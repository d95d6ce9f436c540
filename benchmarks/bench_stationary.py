"""stationary_covariance against scipy.linalg.solve_discrete_lyapunov on stable random systems."""

from _timing import best_time, fmt_time, print_table  # first: pins BLAS threads

import numpy as np
from scipy.linalg import solve_discrete_lyapunov

from Velmora._ckernels.kalman._kalman import stationary_covariance

SIZES = (5, 20, 50, 100)
SPECTRAL_RADIUS = 0.9


def stable_system(n, k, rng):
    A = rng.standard_normal((n, n))
    A *= SPECTRAL_RADIUS / np.max(np.abs(np.linalg.eigvals(A)))
    B = rng.standard_normal((n, k))
    G = rng.standard_normal((k, k))
    Q = G @ G.T / k + np.eye(k)
    return A, B, Q


def lyapunov_residual(A, BQBT, P):
    return np.max(np.abs(A @ P @ A.T + BQBT - P))


def main():
    rng = np.random.default_rng(20240611)
    rows = []
    for n in SIZES:
        k = n // 2
        A, B, Q = stable_system(n, k, rng)
        BQBT = B @ Q @ B.T

        def ours():
            return stationary_covariance(A, B, Q)

        def scipy_direct_or_bilinear():
            # SciPy's own choice: Kronecker solve below n = 10, bilinear transform above.
            return solve_discrete_lyapunov(A, B @ Q @ B.T)

        status, P_ours = ours()
        assert status == 0, status
        P_scipy = scipy_direct_or_bilinear()
        t_ours, t_scipy = best_time(ours), best_time(scipy_direct_or_bilinear)
        scale = np.max(np.abs(P_scipy))
        rows.append([n, k, fmt_time(t_ours), fmt_time(t_scipy), f"{t_scipy / t_ours:.2f}",
                     f"{np.max(np.abs(P_ours - P_scipy)):.2e}", f"{scale:.1f}",
                     f"{lyapunov_residual(A, BQBT, P_ours):.1e}",
                     f"{lyapunov_residual(A, BQBT, P_scipy):.1e}"])
    print_table("stationary_covariance vs scipy.linalg.solve_discrete_lyapunov "
                f"(spectral radius {SPECTRAL_RADIUS}, tolerance 1e-12)",
                ["n", "k", "ours", "scipy", "scipy/ours", "max|dP|", "max|P|",
                 "resid ours", "resid scipy"], rows)


if __name__ == "__main__":
    main()
