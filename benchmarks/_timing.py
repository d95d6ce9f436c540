"""Timing and table helpers shared by the benchmark scripts (import before NumPy): BLAS on one
thread and glibc's malloc thresholds pinned, so that runs measure the same computation."""

import ctypes
import os
import time

# The native kernels run on one thread; so shall the BLAS under NumPy, SciPy and statsmodels.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")


def pin_malloc_thresholds():
    """Under glibc a freed block above the trim threshold goes back to the system and the next
    call faults its pages in afresh; the dynamic thresholds make that depend on the process's
    earlier allocations, so the same call with histories measured 0 or 734 page faults a call
    ((30, 8, 8), T = 200: 0.34 against 1.9 ms) from one run to the next. Fixed thresholds let
    every library reuse its pages, so each run measures the computation. True where they hold."""
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3  # glibc's mallopt parameters
    return bool(libc.mallopt(m_trim_threshold, 1 << 30) and
                libc.mallopt(m_mmap_threshold, 32 << 20))  # 32 MiB: glibc's largest


MALLOC_PINNED = pin_malloc_thresholds()


def cpu_summary():
    """The CPU that gives the figures: its model name, family and model, and the vector
    extensions that decide the native kernels' table (AVX-512F is passed over on AMD family 25,
    where AVX2 measures faster)."""
    fields, flags = {}, set()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                key, value = key.strip(), value.strip()
                if key == "flags":
                    flags = set(value.split())
                    break
                fields.setdefault(key, value)
    except OSError:
        return "CPU: /proc/cpuinfo unreadable"
    extensions = [name for name in ("avx2", "fma", "avx512f") if name in flags] or ["none"]
    malloc = "malloc thresholds pinned" if MALLOC_PINNED else "malloc thresholds as they are"
    return (f"CPU: {fields.get('model name', '?')}, family {fields.get('cpu family', '?')} "
            f"model {fields.get('model', '?')}; {', '.join(extensions)}; {os.cpu_count()} cores; "
            f"{malloc}")


# The host's speed itself changes from one millisecond to the next (a shared machine: a NumPy
# matmul loop alone runs at times 1.6x slower for a few calls, at times for seconds), so each
# callable is timed in many short repeats, taken in turn with the others, and its best repeat
# counts: the time the call takes when nothing else slows the machine down.
REPEATS = 7  # at least this many repeats of each callable
REPEAT_SECONDS = 0.002  # each repeat loops the call until it has run about this long
BUDGET_SECONDS = 0.3  # and repeats go on until each callable has run about this long


def calls_per_repeat(fn):
    """How many calls of ``fn()`` (after one warm-up call: first-call costs such as caches,
    lazy imports and JIT compilation are not what is measured) take REPEAT_SECONDS, and the
    time of one call then measured."""
    fn()
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= REPEAT_SECONDS or number >= 1 << 20:
            return number, elapsed / number
        number *= max(2, int(REPEAT_SECONDS / max(elapsed, 1e-9)))


def best_times(fns, repeats=REPEATS):
    """Best time per call of each of ``fns`` (a dict of name -> callable) over at least
    ``repeats`` repeats and BUDGET_SECONDS of calls, the repeats taken in turn, so that a spell
    of load on a shared machine weighs on all of them alike."""
    numbers, rounds = {}, {}
    for name, fn in fns.items():
        number, per_call = calls_per_repeat(fn)
        numbers[name] = number
        rounds[name] = max(repeats, int(BUDGET_SECONDS / (number * per_call)))
    best = {name: float("inf") for name in fns}
    for round_ in range(max(rounds.values())):
        for name, fn in fns.items():
            if round_ >= rounds[name]:
                continue
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
