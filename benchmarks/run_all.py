"""Every benchmark of this folder in one run, BLAS pinned to one thread: the linear filter (with
the dense-product throughput next to OpenBLAS), the linear filter against statsmodels' best
method, the per-call overhead, the extended and the
unscented filters, the stationary covariance and the score.

    python benchmarks/run_all.py
"""

from _timing import cpu_summary  # first: pins BLAS threads before NumPy loads

import importlib
import time

SCRIPTS = ("bench_linear", "bench_best_method", "bench_overhead", "bench_ekf", "bench_ukf",
           "bench_stationary", "bench_score", "bench_smoother")


def main():
    print(cpu_summary())
    for name in SCRIPTS:
        start = time.perf_counter()
        print(f"\n==== {name} ====")
        importlib.import_module(name).main()
        print(f"({name}: {time.perf_counter() - start:.0f} s)")


if __name__ == "__main__":
    main()
