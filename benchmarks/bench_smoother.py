"""The smoothers against statsmodels, BLAS on one thread: KalmanFilter.smooth vs smooth(), with and
without 10% missing entries; KalmanFilter.loglik with 10% missing vs loglike(); one draw of the
simulation smoother vs SimulationSmoother.simulate().

    python benchmarks/bench_smoother.py
"""

from _timing import best_times, fmt_time, print_table  # first: pins BLAS threads

import warnings

import numpy as np
from statsmodels.tsa.statespace.mlemodel import MLEModel

from Velmora.kalman import KalmanFilter

SIZES = [(10, 3, 3, 200), (30, 8, 8, 200), (100, 10, 10, 200)]
MISSING = 0.10


def model_of(n, m, k, T, seed=0):
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((n, n))
    A *= 0.9 / np.abs(np.linalg.eigvals(A)).max()
    B, C = rng.standard_normal((n, k)), rng.standard_normal((m, n))
    Q, R = np.eye(k), 0.5 * np.eye(m)
    x, y = np.zeros(n), np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + rng.standard_normal(m) * np.sqrt(0.5)
        x = A @ x + B @ rng.standard_normal(k)
    P0 = B @ B.T + np.eye(n)
    kf = KalmanFilter(A, B, C, np.zeros(m), Q, R, np.zeros(n), P0)
    return kf, y


def statsmodels_of(kf, y):
    n, m, k = kf.nmk
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mod = MLEModel(y, k_states=n, k_posdef=k, initialization="known",
                       initial_state=kf.x0, initial_state_cov=kf.P0)
    for name, value in (("design", kf.C), ("obs_intercept", kf.d), ("obs_cov", kf.R),
                        ("transition", kf.A), ("selection", kf.B), ("state_cov", kf.Q)):
        mod[name] = value
    return mod


def with_missing(y, seed=1):
    y = y.copy()
    y[np.random.default_rng(seed).random(y.shape) < MISSING] = np.nan
    return y


def ratio_row(label, size, ours, theirs, target):
    times = best_times({"ours": ours, "statsmodels": theirs}, repeats=3)
    ratio = times["statsmodels"] / times["ours"]
    return [label, "x".join(map(str, size)), fmt_time(times["ours"]),
            fmt_time(times["statsmodels"]), f"{ratio:.1f}x", f">= {target}x"]


def main():
    rows = []
    for size, smooth_target, loglik_target in zip(SIZES, (5, 5, 3), (3, 3, 1.5)):
        kf, y = model_of(*size)
        for label, data in (("smooth", y), ("smooth, 10% missing", with_missing(y))):
            mod = statsmodels_of(kf, data)
            rows.append(ratio_row(label, size, lambda: kf.smooth(data),
                                  lambda: mod.ssm.smooth(), smooth_target))
        data = with_missing(y)
        mod = statsmodels_of(kf, data)
        rows.append(ratio_row("loglik, 10% missing", size, lambda: kf.loglik(data),
                              lambda: mod.ssm.loglike(), loglik_target))
    kf, y = model_of(*SIZES[0])
    data = with_missing(y)
    mod = statsmodels_of(kf, data)
    sim = mod.ssm.simulation_smoother()
    rng = np.random.default_rng(0)
    rows.append(ratio_row("simulation smoother, 1 draw", SIZES[0],
                          lambda: kf.simulate_smoother(data, rng),
                          lambda: sim.simulate(rng=rng), 5))
    print_table("smoothers vs statsmodels (n x m x k x T; ratio = statsmodels / ours)",
                ["what", "size", "ours", "statsmodels", "ratio", "target"], rows)


if __name__ == "__main__":
    main()
