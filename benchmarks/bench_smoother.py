"""The smoothers against statsmodels' fastest configuration that agrees with ours, BLAS on one
thread: KalmanFilter.smooth vs smooth(), with and without 10% missing entries; KalmanFilter.loglik
with 10% missing vs loglike(); one draw of the simulation smoother vs
SimulationSmoother.simulate().

    python benchmarks/bench_smoother.py
"""

from _timing import best_times, fmt_time, print_table  # first: pins BLAS threads

import warnings

import numpy as np
from statsmodels.tsa.statespace.kalman_smoother import (SMOOTH_ALTERNATIVE, SMOOTH_CLASSICAL,
                                                        SMOOTH_CONVENTIONAL, SMOOTH_UNIVARIATE,
                                                        SMOOTHER_DISTURBANCE, SMOOTHER_STATE,
                                                        SMOOTHER_STATE_COV)
from statsmodels.tsa.statespace.mlemodel import MLEModel
from statsmodels.tsa.statespace.simulation_smoother import (SIMULATION_DISTURBANCE,
                                                            SIMULATION_STATE)

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


# statsmodels' smoother outputs that ours computes: smoothed states, their covariances and the
# smoothed disturbances (not their covariances, nor the states' autocovariances of its default)
OURS = SMOOTHER_STATE | SMOOTHER_STATE_COV | SMOOTHER_DISTURBANCE
SMOOTH_METHODS = {"conventional": SMOOTH_CONVENTIONAL, "alternative": SMOOTH_ALTERNATIVE,
                  "classical": SMOOTH_CLASSICAL, "univariate": SMOOTH_UNIVARIATE}


def smooth_configurations(kf, data):
    """statsmodels' default smooth() and each smoothing method restricted to our outputs (the
    univariate one after univariate filtering, which it requires)."""
    configurations = {"default": statsmodels_of(kf, data)}
    for name, method in SMOOTH_METHODS.items():
        mod = statsmodels_of(kf, data)
        mod.ssm.smoother_output = OURS
        mod.ssm.filter_univariate = method == SMOOTH_UNIVARIATE
        mod.ssm.smooth_method = method
        configurations[name] = mod
    return {name: (lambda mod=mod: mod.ssm.smooth()) for name, mod in configurations.items()}


def loglik_configurations(kf, data):
    """statsmodels' default loglike() and its univariate filter (Chandrasekhar recursions refuse
    missing observations)."""
    default, univariate = statsmodels_of(kf, data), statsmodels_of(kf, data)
    univariate.ssm.filter_univariate = True
    return {name: (lambda mod=mod: mod.ssm.loglike())
            for name, mod in (("default", default), ("univariate", univariate))}


def smooth_agrees(ours, theirs):
    """Whether a statsmodels smoother result is ours, up to the rounding of either recursion."""
    def close(a, b):
        return np.allclose(a, b, rtol=1e-7, atol=1e-9 * max(1.0, np.abs(b).max()))
    return (close(theirs.smoothed_state.T, ours.x_smooth)
            and close(np.moveaxis(theirs.smoothed_state_cov, 2, 0), ours.P_smooth)
            and close(theirs.smoothed_state_disturbance.T[:-1], ours.eps_smooth[1:]))


def best_agreeing(candidates, agrees):
    """The candidates whose result agrees with ours, by name; the others are left out."""
    return {name: call for name, call in candidates.items() if agrees(call())}


def ratio_row(label, size, ours, theirs, target):
    """ours against the fastest of theirs (name -> call), timed in the same run."""
    times = best_times({"ours": ours, **{f"sm {name}": call for name, call in theirs.items()}},
                       repeats=3)
    best = min((name for name in times if name != "ours"), key=times.get)
    ratio = times[best] / times["ours"]
    return [label, "x".join(map(str, size)), fmt_time(times["ours"]), best[3:],
            fmt_time(times[best]), f"{ratio:.1f}x", f">= {target}x"]


def main():
    rows = []
    for size, smooth_target, loglik_target in zip(SIZES, (5, 5, 3), (3, 3, 1.5)):
        kf, y = model_of(*size)
        for label, data in (("smooth", y), ("smooth, 10% missing", with_missing(y))):
            ours = kf.smooth(data)
            theirs = best_agreeing(smooth_configurations(kf, data),
                                   lambda result: smooth_agrees(ours, result))
            rows.append(ratio_row(label, size, lambda: kf.smooth(data), theirs, smooth_target))
        data = with_missing(y)
        loglik = kf.loglik(data)
        theirs = best_agreeing(loglik_configurations(kf, data),
                               lambda value: np.isclose(value, loglik, rtol=1e-9))
        rows.append(ratio_row("loglik, 10% missing", size, lambda: kf.loglik(data), theirs,
                              loglik_target))
    kf, y = model_of(*SIZES[0])
    data = with_missing(y)
    mod = statsmodels_of(kf, data)
    rng = np.random.default_rng(0)
    sims = {"default": mod.ssm.simulation_smoother(),
            "states and shocks": mod.ssm.simulation_smoother(
                simulation_output=SIMULATION_STATE | SIMULATION_DISTURBANCE)}
    rows.append(ratio_row("simulation smoother, 1 draw", SIZES[0],
                          lambda: kf.simulate_smoother(data, rng),
                          {name: (lambda sim=sim: sim.simulate(rng=rng))
                           for name, sim in sims.items()}, 5))
    print_table("smoothers vs statsmodels' fastest agreeing configuration (n x m x k x T; "
                "ratio = statsmodels / ours)",
                ["what", "size", "ours", "statsmodels", "its time", "ratio", "target"], rows)
    print("statsmodels' configurations: smooth() by default (every output) and with our outputs "
          "only\n(states, their covariances, disturbances) by each smoothing method; loglike() "
          "by default and\nwith univariate filtering; the simulation smoother by default and "
          "drawing states and\ndisturbances only. A configuration whose result differs from "
          "ours beyond rounding is left out.")


if __name__ == "__main__":
    main()
