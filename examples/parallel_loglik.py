"""Many log-likelihoods of the Nile local-level model, evaluated in parallel processes with joblib.

Two workloads over a grid of variances:

1. the linear filter: the native entry itself is sent to the workers (it pickles by reference,
   as a built-in function does) and called there with each grid point's arguments;
2. the extended filter on the model observed in logs, log y(t) = log mu(t) + eps(t): its
   measurement callbacks are compiled with numba inside each worker, because a callback address
   is valid only in the process that compiled it. Each task takes a whole chunk of the grid, so
   a worker compiles once per chunk, not once per point.

Each workload is evaluated serially too; the script fails unless both ways agree exactly.

    python examples/parallel_loglik.py [--n-jobs N] [--grid G]
"""

import argparse
import sys

import numpy as np
from joblib import Parallel, delayed

from Velmora._ckernels.kalman._kalman import ekf_hot_loop, kalman_hot_loop
from Velmora.demo import load_nile

ONE = np.ones((1, 1))


def linear_args(flow, obs_var, level_var):
    """kalman_hot_loop arguments with the exact diffuse start of Velmora.demo (histories off)."""
    return ((len(flow) - 1, (1, 1, 1), ONE, ONE, ONE, np.zeros(1), [[level_var]], [[obs_var]],
             flow[1:].reshape(-1, 1), flow[:1], [[obs_var + level_var]], True, False, 0.0),
            {"store_history": False})


def compile_log_callbacks():
    """numba cfuncs of h(x) = log x[0] and its Jacobian; their addresses serve this process only."""
    from numba import cfunc, types

    signature = types.void(types.CPointer(types.float64), types.CPointer(types.float64),
                           types.CPointer(types.float64))

    @cfunc(signature)
    def meas(x, params, out):
        out[0] = np.log(x[0])

    @cfunc(signature)
    def jac(x, params, out):
        out[0] = 1.0 / x[0]

    return meas, jac


def log_level_logliks(flow, points):
    """Extended-filter log-likelihoods of (log-scale obs_var, level_var) points, in one process.

    The prior is the first year's level with a variance that makes it nearly uninformative.
    """
    meas, jac = compile_log_callbacks()  # keep them alive while their addresses are in use
    y = np.log(flow).reshape(-1, 1)
    logliks = []
    for obs_var, level_var in points:
        status, out = ekf_hot_loop(meas.address, jac.address, ONE, ONE, np.zeros(0),
                                   [[level_var]], [[obs_var]], y, flow[:1], [[1e7]], True, False,
                                   0.0, store_history=False)
        logliks.append(out[-1] if status == 0 else np.nan)
    return logliks


def linear_grid(flow, grid, n_jobs):
    calls = [linear_args(flow, *point) for point in grid]
    parallel = Parallel(n_jobs=n_jobs)(delayed(kalman_hot_loop)(*a, **kw) for a, kw in calls)
    serial = [kalman_hot_loop(*a, **kw) for a, kw in calls]
    return [out[-1] for _, out in parallel], [out[-1] for _, out in serial]


def log_level_grid(flow, grid, n_jobs):
    chunks = np.array_split(grid, n_jobs)
    parallel = Parallel(n_jobs=n_jobs)(delayed(log_level_logliks)(flow, c) for c in chunks)
    return np.concatenate(parallel), log_level_logliks(flow, grid)


def report(name, grid, parallel, serial, n_jobs):
    best = int(np.nanargmax(parallel))
    same = np.array_equal(parallel, serial, equal_nan=True)
    print(f"{name}: {len(grid)} log-likelihoods on {n_jobs} processes, maximum "
          f"{parallel[best]:.3f} at obs_var = {grid[best][0]:.5g}, level_var = "
          f"{grid[best][1]:.5g}; {'same as' if same else 'DIFFERENT from'} the serial run")
    return same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n-jobs", type=int, default=2, help="worker processes (default: 2)")
    parser.add_argument("--grid", type=int, default=20, help="points per axis (default: 20)")
    args = parser.parse_args(argv)

    _, flow = load_nile()
    axes = lambda centre: centre * np.logspace(-0.5, 0.5, args.grid)  # noqa: E731
    linear = [(o, v) for o in axes(15099.0) for v in axes(1469.1)]
    in_logs = [(o, v) for o in axes(0.02) for v in axes(1469.1)]
    same = report("linear filter", linear, *linear_grid(flow, linear, args.n_jobs), args.n_jobs)
    same &= report("extended filter, logs", in_logs,
                   *log_level_grid(flow, np.array(in_logs), args.n_jobs), args.n_jobs)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
