"""Seeded fuzz smoke of the module entries: malformed calls, each in a forked child.

The parent imports the module once and derives every call from a seeded generator; each call runs
in a child made by fork, so a crash ends only that child. A child that dies by a signal, exits
non-zero (a sanitizer report ends the process with an error code) or outlives its alarm fails the
run. Exceptions raised by the entries are the expected outcome of malformed calls and are counted.

    python .ci/fuzz_entries.py [--calls N] [--seed S]
"""

import argparse
import collections
import ctypes
import inspect
import itertools
import os
import signal
import sys
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no BLAS threads in the forking parent

import numpy as np  # noqa: E402

from Velmora._ckernels.kalman import _kalman  # noqa: E402

ALARM_SECONDS = 20  # far beyond any call below: only a call that never ends reaches it

CALLBACK = ctypes.CFUNCTYPE(None, *[ctypes.POINTER(ctypes.c_double)] * 3)


@CALLBACK
def no_op(x, params, out):
    """A callback that touches nothing: any size the fuzzer makes up keeps its contract."""


NO_OP = ctypes.cast(no_op, ctypes.c_void_p).value

# Every entry's parameter names in call order, as its signature gives them.
PARAMETERS = {name: list(inspect.signature(entry).parameters)
              for name, entry in vars(_kalman).items() if callable(entry)}


def in_call_order(name, kwargs):
    """kwargs in the entry's parameter order; they must fill its leading parameters."""
    leading = PARAMETERS[name][:len(kwargs)]
    assert sorted(kwargs) == sorted(leading), f"{name}: {list(kwargs)} do not lead {leading}"
    return {key: kwargs[key] for key in leading}


def well_formed(rng):
    """One well-formed call of each entry on random small dimensions: {name: kwargs}."""
    n, m, k, T = (int(v) for v in rng.integers(1, 4, size=4))
    mat = lambda *shape: rng.standard_normal(shape)  # noqa: E731
    spd = lambda d: np.eye(d) * (1.0 + rng.random())  # noqa: E731
    kf = dict(T=T, nmk=(n, m, k), A=0.5 * np.eye(n), B=mat(n, k), C=mat(m, n), d=mat(m),
              Q=spd(k), R=spd(m), y=mat(T, m), x0=mat(n), P0=spd(n), symmetrize=True,
              joseph_cov=bool(rng.integers(2)), jitter=0.0)
    sc = dict(A=0.5 * np.eye(n), B=mat(n, k), Q=spd(k))
    ekf = dict(meas_addr=NO_OP, jac_addr=NO_OP, A=kf["A"], B=kf["B"], calib_params=mat(2),
               Q=kf["Q"], R=kf["R"], y=kf["y"], x0=kf["x0"], P0=kf["P0"], symmetrize=True,
               joseph_cov=False, jitter=0.0)
    ns, nc, ne = n, int(rng.integers(0, 3)), k
    ukf = dict(meas_addr=NO_OP, hx=0.5 * np.eye(ns), gx=mat(nc, ns), bu=mat(ns + nc, ne),
               hxx=mat(ns, ns, ns), gxx=mat(nc, ns, ns), hxu=mat(ns, ns, ne),
               gxu=mat(nc, ns, ne), huu=mat(ns, ne, ne), guu=mat(nc, ne, ne), hss=mat(ns),
               gss=mat(nc), steady_state=mat(ns + nc), params=mat(1), Q=spd(ne), R=spd(m),
               obs=mat(T, m), z0=np.zeros(2 * ns), P0=spd(2 * ns), alpha=1.0, beta=2.0,
               kappa=0.0, jitter=1e-9)
    calls = {"kalman_hot_loop": kf, "stationary_covariance": sc, "ekf_hot_loop": ekf,
             "ukf_hot_loop": ukf, "kalman_loglik_grad": dict(kf),
             "stationary_covariance_grad": dict(sc, P_bar=mat(n, n)),
             "kalman_filter_missing": dict(kf), "kalman_smoother": dict(kf),
             "kalman_simulation_smoother": dict(kf, z_x0=mat(n), z_eps=mat(T, k),
                                                z_eta=mat(T, m)),
             "kalman_loglik_grad_stationary": dict(kf)}
    return {name: in_call_order(name, kwargs) for name, kwargs in calls.items()}


class FakeShape:
    """Array-like whose `shape` attribute disagrees with its data."""

    def __init__(self, shape, data):
        self.shape, self._data = shape, data

    def __array__(self, dtype=None, copy=None):
        return self._data


class HashedName(str):
    def __hash__(self):
        return 7


class ShortNumPy:
    """np whose zeros or empty hand back arrays that are too small or misaligned."""

    def __init__(self, function, rng):
        self.function, self.rng = function, rng

    def __getattr__(self, attr):
        if attr != self.function:
            return getattr(np, attr)

        def allocate(shape, dtype):
            shape = tuple(int(s) for s in shape)
            if self.rng.integers(2):
                return misaligned(np.zeros(shape))
            return np.zeros(tuple(max(s - 1, 0) for s in shape), dtype)
        return allocate


def misaligned(a):
    a = np.ascontiguousarray(a, dtype=np.float64)
    out = np.frombuffer(bytearray(1 + a.nbytes), offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    return out


def odd_array(rng, value):
    """A replacement for an array argument."""
    shape = tuple(int(s) for s in rng.integers(0, 4, size=int(rng.integers(0, 4))))
    choice = int(rng.integers(12))
    if choice == 0:
        return None
    if choice == 1:
        return rng.standard_normal(shape)
    if choice == 2:
        return misaligned(value if isinstance(value, np.ndarray) else rng.standard_normal(shape))
    if choice == 3:
        return np.full(shape, rng.choice([np.nan, np.inf, -np.inf, 1e308, 0.0]))
    if choice == 4:
        a = np.array(value, dtype=float) if isinstance(value, np.ndarray) else np.zeros(shape)
        a.flags.writeable = False
        return a
    if choice == 5:
        fake = tuple(int(s) for s in rng.choice([-1, 0, 1, 2, 5, 2 ** 31, 2 ** 62], size=3))
        return FakeShape(fake[: int(rng.integers(0, 4))], rng.standard_normal(shape))
    if choice == 6:
        return np.asfortranarray(rng.standard_normal(shape + (2, 2))[..., 0])
    if choice == 7:
        return rng.integers(-3, 3, size=shape)
    if choice == 8:
        return "not an array"
    if choice == 9:
        return [[1.0, 2.0], [3.0]]  # ragged
    if choice == 10:
        return np.zeros(shape, dtype=np.complex128)
    return np.empty((0,) + shape)


ODD_SCALARS = [-1, 0, 1, 2 ** 31, 2 ** 62, 2 ** 63, 2 ** 64, -2 ** 63, float("nan"), float("inf"),
               2.5, "3", None, (1, 2), True, np.int64(-5), np.float64(1e300)]


# A non-zero address that is not a callback cannot be detected (the caller's contract): addresses
# only take values the entries refuse, or 0.9, which truncates to the refused 0.
ODD_ADDRESSES = [0, 0.9, -1, -2 ** 70, 2 ** 64, "1", None, np.int64(-5)]
# A list: `in` on a set would miss a key renamed to a HashedName, found by comparison only.
ADDRESSES = sorted({key for keys in PARAMETERS.values() for key in keys if key.endswith("_addr")})


def odd_scalar(rng, key):
    pool = ODD_ADDRESSES if key in ADDRESSES else ODD_SCALARS
    return pool[int(rng.integers(len(pool)))]


def mutate(rng, name, kwargs):
    """kwargs with one to three faults, and whether np is to be replaced: (args, kwargs, np)."""
    kwargs = dict(kwargs)
    args, fake_np, reordered = [], None, False
    for _ in range(int(rng.integers(1, 4))):
        if not kwargs:
            break
        key = list(kwargs)[int(rng.integers(len(kwargs)))]
        fault = int(rng.integers(9))
        if fault <= 3 and isinstance(kwargs[key], np.ndarray):
            kwargs[key] = odd_array(rng, kwargs[key])
        elif fault <= 4:
            kwargs[key] = odd_scalar(rng, key)
        elif fault == 5:
            del kwargs[key]
            reordered = True
        elif fault == 6:
            kwargs[HashedName(key)] = kwargs.pop(key)
        elif fault == 7:
            kwargs["bogus" if rng.integers(2) else key.upper()] = 1.0
        elif "nmk" in PARAMETERS[name] and rng.integers(2):
            kwargs["nmk"] = tuple(int(v) for v in rng.choice([-1, 0, 1, 2, 3, 2 ** 31], size=3))
        else:
            fake_np = ShortNumPy("zeros" if rng.integers(2) else "empty", rng)
    if not reordered and rng.integers(4) == 0:
        # positional in parameter order (a name moved by a fault must not shift the others onto
        # an address), with a stray extra argument now and then
        by_name = {str(k): v for k, v in kwargs.items()}
        given = itertools.takewhile(by_name.__contains__, PARAMETERS[name])
        args = [by_name[p] for p in given] + ([None] if rng.integers(3) == 0 else [])
        kwargs = {}
    return args, kwargs, fake_np


def describe(value):
    if isinstance(value, np.ndarray):
        flags = "" if value.flags.aligned and value.flags.writeable else " misaligned/read-only"
        return f"ndarray{value.shape} {value.dtype}{flags}"
    if isinstance(value, FakeShape):
        return f"FakeShape(shape={value.shape}, data{value._data.shape})"
    return repr(value)


def describe_call(name, args, kwargs, fake_np):
    parts = [describe(a) for a in args] + [f"{k!s}={describe(v)}" for k, v in kwargs.items()]
    replaced = f" with np.{fake_np.function} faulty" if fake_np is not None else ""
    return f"{name}({', '.join(parts)}){replaced}"


def run_child(function, args, kwargs, fake_np):
    signal.alarm(ALARM_SECONDS)
    if fake_np is not None:
        _kalman.np = fake_np
    try:
        function(*args, **kwargs)
    except Exception as error:  # malformed calls raise; the type goes back as the exit code
        os._exit(3 if isinstance(error, (TypeError, ValueError, OverflowError)) else 4)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=20240611)
    options = parser.parse_args()
    warnings.simplefilter("ignore")  # conversions of odd inputs warn; only crashes matter here
    rng = np.random.default_rng(options.seed)
    names = list(well_formed(rng))
    outcomes, failures = collections.Counter(), []
    for call in range(options.calls):
        name = names[call % len(names)]
        args, kwargs, fake_np = mutate(rng, name, well_formed(rng)[name])
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:
            run_child(getattr(_kalman, name), args, kwargs, fake_np)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            failures.append((call, f"signal {os.WTERMSIG(status)}",
                             describe_call(name, args, kwargs, fake_np)))
        elif os.WEXITSTATUS(status) not in (0, 3, 4):
            failures.append((call, f"exit status {os.WEXITSTATUS(status)}",
                             describe_call(name, args, kwargs, fake_np)))
        else:
            outcomes[{0: "returned", 3: "raised", 4: "raised another exception"}[
                os.WEXITSTATUS(status)]] += 1
    print(f"fuzz: {options.calls} malformed calls (seed {options.seed}): "
          + ", ".join(f"{count} {what}" for what, count in sorted(outcomes.items())))
    for call, how, text in failures:
        print(f"fuzz: call {call} ended by {how}: {text}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
