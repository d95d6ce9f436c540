"""Per-call overhead of kalman_hot_loop at T = 1 against the numba twin of bench_linear.py.

At (n, m, k, T) = (2, 1, 1, 1) the filter itself costs well under a microsecond, so the time is
what a call costs around it: binding, coercion, allocation of the histories and the arena, the
result tuple. The two are timed in alternating rounds on the same data (the machine may be
shared), and the best round of each is kept.
"""

from _timing import best_time, fmt_time, print_table  # first: pins BLAS threads

import inspect

import numpy as np

from bench_linear import numba_kalman_hot_loop, random_model
from Velmora._ckernels.kalman._kalman import kalman_hot_loop

ROUNDS = 5
NMK, T = (2, 1, 1), 1


def calls(model, store):
    A, B, C, d, Q, R, y, x0, P0 = model
    args = (T, NMK, A, B, C, d, Q, R, y, x0, P0, True, False, 0.0, False, store)
    kwargs = dict(zip(inspect.signature(kalman_hot_loop).parameters, args, strict=True))
    return {
        "ours": lambda: kalman_hot_loop(*args),
        "ours, keywords": lambda: kalman_hot_loop(**kwargs),
        "numba": lambda: numba_kalman_hot_loop(*args),
    }


def main():
    model = random_model(*NMK, T, np.random.default_rng(20240611))
    rows = []
    for store in (True, False):
        timed = calls(model, store)
        ours, twin = timed["ours"](), timed["numba"]()
        assert ours[0] == twin[0] == 0 and abs(ours[1][-1] - twin[1][-1]) < 1e-12
        best = {name: float("inf") for name in timed}
        for _ in range(ROUNDS):
            for name, fn in timed.items():
                best[name] = min(best[name], best_time(fn))
        rows.append(["on" if store else "off"] + [fmt_time(t) for t in best.values()]
                    + [f"{best['numba'] / best['ours']:.2f}",
                       f"{best['numba'] / best['ours, keywords']:.2f}"])
    print_table(f"per-call overhead of kalman_hot_loop, (n,m,k,T) = {(*NMK, T)}, best of "
                f"{ROUNDS} alternating rounds",
                ["hist", "ours", "ours, keywords", "numba", "numba/ours",
                 "numba/ours, keywords"], rows)
    print("numba/ours above 1: our call costs less than the numba twin's.")


if __name__ == "__main__":
    main()
