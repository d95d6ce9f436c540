"""Timing and table helpers shared by the benchmark scripts (import before NumPy)."""

import os
import time

# The native kernels run on one thread; so shall the BLAS under NumPy, SciPy and statsmodels.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

REPEATS = 7
TARGET_SECONDS = 0.05  # each repeat loops the call until it has run at least this long


def calls_per_repeat(fn):
    """How many calls of ``fn()`` (after one warm-up call: first-call costs such as caches,
    lazy imports and JIT compilation are not what is measured) take TARGET_SECONDS."""
    fn()
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= TARGET_SECONDS or number >= 1 << 20:
            return number
        number *= max(2, int(TARGET_SECONDS / max(elapsed, 1e-9)))


def best_times(fns, repeats=REPEATS):
    """Best time per call of each of ``fns`` (a dict of name -> callable), their repeats taken
    in turn, so that a spell of load on a shared machine weighs on all of them alike."""
    numbers = {name: calls_per_repeat(fn) for name, fn in fns.items()}
    best = {name: float("inf") for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            number = numbers[name]
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (time.perf_counter() - start) / number)
    return best


def best_time(fn, repeats=REPEATS):
    """Best time per call of ``fn()`` over ``repeats`` repeats (time.perf_counter)."""
    return best_times({"fn": fn}, repeats)["fn"]


def fmt_time(seconds):
    """Seconds in the unit that keeps three to four significant digits."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def print_table(title, headers, rows):
    """Plain text table, columns right-aligned, header underlined."""
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, h in enumerate(headers)]
    line = "  ".join(h.rjust(w) for h, w in zip(headers, widths))
    print(f"\n{title}\n{line}\n{'-' * len(line)}")
    for row in cells:
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))
