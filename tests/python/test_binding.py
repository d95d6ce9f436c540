"""The binding's calling convention: module frame, function objects, argument binding, scalar
conversion, coercion, the shape checks of each entry, and what repeated calls leave behind."""

import copy
import ctypes
import gc
import importlib
import inspect
import pickle
import pydoc
import re
import sys
import tracemalloc

import numpy as np
import pytest

from signatures import addresses, defaults, in_call_order, names, parameters, required_count

from Velmora._ckernels.kalman import _kalman

NAME = "Velmora._ckernels.kalman._kalman"
# The entries' parameter lists come from their signatures (signatures.py); test_typing holds the
# stubs to the same lists.
ENTRIES = ("kalman_hot_loop", "stationary_covariance", "ekf_hot_loop", "ukf_hot_loop",
           "kalman_loglik_grad", "stationary_covariance_grad", "kalman_filter_missing",
           "kalman_smoother", "kalman_simulation_smoother", "kalman_loglik_grad_stationary")
# ekf_hot_loop reads these arguments' shapes before it coerces them
EKF_SHAPE_READ = ("A", "B", "y", "calib_params")
DOC_LINES = {
    "kalman_hot_loop": [
        "Run the linear Kalman filter.", "",
        "Array inputs are coerced to contiguous float64 here. Returns",
        "``(status, out)`` where ``status`` is a ``kalman.errors`` code (KF_OK on",
        "success) and ``out`` is the history tuple + loglik; the caller maps a nonzero",
        "status to the matching in-house exception."],
    "ekf_hot_loop": [
        "Run the native extended Kalman filter (linear transition, nonlinear",
        "measurement via the ``meas``/``jac`` @cfunc addresses).", "",
        "``meas_addr``/``jac_addr`` are real-valued @cfunc addresses with signature",
        "``void(double* x, double* params, double* out)``: ``meas`` writes",
        "``out[m]``, ``jac`` writes the (m, n) row-major jacobian. Array inputs are",
        "coerced to contiguous float64 here. Returns ``(status, out)`` with the",
        "history tuple + loglik; the caller maps a nonzero status to the matching",
        "in-house exception."],
}

UKF_DOC_LINES = [
    "Run the native second-order UKF hot loop.", "",
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature",
    "    ``void(double* vars, double* params, double* out)``. Array inputs are coerced",
    "    to contiguous float64 here. Returns ``(status, out)``; the caller maps a",
    "    nonzero status to the matching in-house exception.", "",
    "    ``bu`` spans every variable rather than the state block: a control responds",
    "    to an innovation contemporaneously. ``hxu``/``gxu`` and ``huu``/``guu`` are",
    "    the quadratic blocks the shocks earn once they are no longer states."]


def assert_same(got, expected):
    """Two (status, out) results agree exactly, array by array."""
    flatten = lambda r: [r[0], *(r[1] if isinstance(r[1], tuple) else (r[1],))]  # noqa: E731
    for a, b in zip(flatten(got), flatten(expected), strict=True):
        np.testing.assert_array_equal(a, b)


def indented(lines):
    return "\n".join(lines[:1] + [("    " + s) if s else s for s in lines[1:]]) + "\n    "


@pytest.fixture
def kwargs_of(kf_kwargs, ekf_kwargs, ukf_kwargs):
    """Well-formed arguments of an entry by name."""
    stationary = in_call_order("stationary_covariance", A=np.array([[0.5]]), B=np.array([[1.0]]),
                               Q=np.array([[1.0]]))
    stationary_grad = in_call_order("stationary_covariance_grad", **stationary,
                                    P_bar=np.array([[1.0]]))
    rng = np.random.default_rng(5)
    variates = in_call_order("kalman_simulation_smoother", **dict(kf_kwargs, P0=2.0 * np.eye(2)),
                             z_x0=rng.standard_normal(2), z_eps=rng.standard_normal((6, 1)),
                             z_eta=rng.standard_normal((6, 1)))
    return {"kalman_hot_loop": kf_kwargs, "stationary_covariance": stationary,
            "ekf_hot_loop": ekf_kwargs, "ukf_hot_loop": ukf_kwargs,
            "kalman_loglik_grad": kf_kwargs, "stationary_covariance_grad": stationary_grad,
            "kalman_filter_missing": kf_kwargs, "kalman_smoother": kf_kwargs,
            "kalman_simulation_smoother": variates,
            "kalman_loglik_grad_stationary": in_call_order("kalman_loglik_grad_stationary",
                                                           **kf_kwargs)}.__getitem__


# ---- module frame and function objects --------------------------------------------------------

def test_module_namespace():
    assert sys.modules[NAME] is _kalman and _kalman.np is np
    public = [k for k in vars(_kalman) if not k.startswith("__")]
    assert public == ["np", *ENTRIES]
    assert "kf_hot_loop" in _kalman.__doc__ and "_kalman_hot_loop" in _kalman.__doc__


def test_repeated_import_yields_the_same_module():
    functions = [getattr(_kalman, name) for name in ENTRIES]
    defaults_before = [f.__defaults__ for f in functions]
    assert importlib.reload(_kalman) is _kalman
    del sys.modules[NAME]
    try:
        assert importlib.import_module(NAME) is _kalman
    finally:
        sys.modules[NAME] = _kalman
    assert [getattr(_kalman, name) for name in ENTRIES] == functions
    assert [f.__defaults__ for f in functions] == defaults_before


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, f"""
try:
    import {NAME}
except ImportError as error:
    assert str(error) == ("Interpreter change detected - this module can only be loaded into "
                          "one interpreter per process."), error
else:
    raise AssertionError("imported")
""")
    finally:
        interpreters.destroy(interpreter)


@pytest.mark.parametrize("name", ENTRIES)
def test_function_attributes_and_signature(name):
    f = getattr(_kalman, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, NAME)
    assert name in repr(f)
    params = parameters(name)
    assert {p.kind for p in params.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    # __defaults__, which binding fills from, are the signature's defaults, all at the end
    assert f.__defaults__ == defaults(name)
    got = [p.default for p in params.values()]
    assert got == [inspect.Parameter.empty] * required_count(name) + list(f.__defaults__)


@pytest.mark.parametrize("name", ENTRIES)
def test_functions_pickle_and_copy_by_reference(name):
    f = getattr(_kalman, name)
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy({"f": [f]})["f"][0] is f

    class Holder:  # stored on a class, an entry does not bind (as a built-in function)
        entry = f
    assert Holder().entry is f
    assert pydoc.render_doc(f, renderer=pydoc.plaintext).splitlines()[2].startswith(
        f"{name}({names(name)[0]}, ")


def test_docstrings():
    for name, lines in DOC_LINES.items():
        assert getattr(_kalman, name).__doc__ == indented(lines)
    assert _kalman.ukf_hot_loop.__doc__ == "\n".join(UKF_DOC_LINES) + "\n    "
    assert _kalman.stationary_covariance.__doc__ == (
        "Solve ``P = A P A.T + B Q B.T`` and return ``(status, P)``.")


# ---- stage 1: binding --------------------------------------------------------------------------

def message(name, bound, count, given):
    return re.escape(f"{name}() takes {bound} {count} positional arguments ({given} given)")


@pytest.mark.parametrize("name", ENTRIES)
def test_positional_counts(name, kwargs_of):
    f, args = getattr(_kalman, name), list(kwargs_of(name).values())
    total, required = len(names(name)), required_count(name)
    full = args + list(defaults(name))[len(args) - required:]
    with pytest.raises(TypeError, match=message(name, "at most", total, total + 1)):
        f(*full, None)
    with pytest.raises(TypeError, match=message(name, "at most", total, total + 1)):
        f(*full, None, bogus=1)  # too many positionals wins over keyword errors
    with pytest.raises(TypeError, match=message(name, "at least", required, required - 1)):
        f(*args[:-1])
    with pytest.raises(TypeError, match=message(name, "at least", required, 0)):
        f()


@pytest.mark.parametrize("name", ENTRIES)
def test_keyword_matching(name, kwargs_of):
    f, kw = getattr(_kalman, name), kwargs_of(name)
    first, second, *_ = kw
    required = required_count(name)
    assert_same(f(**kw), f(*kw.values()))
    # the given count of a missing required parameter is its position, whatever else is wrong
    value_of_second = kw.pop(second)
    with pytest.raises(TypeError, match=message(name, "at least", required, 1)):
        f(**kw, bogus=1)
    kw[second] = value_of_second
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'bogus'"):
        f(**kw, bogus=1)
    rest = {k: v for k, v in kw.items() if k != first}
    twice = rf"^{name}\(\) got multiple values for keyword argument '{first}'$"
    with pytest.raises(TypeError, match=twice):
        f(kw[first], **kw)
    with pytest.raises(TypeError, match=rf"^{name}\(\) keywords must be strings$"):
        f(kw[first], **rest, **{7: None})
    # leftover keywords are reported in dict order
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        f(kw[first], **rest, zz=1, **{first: None})
    with pytest.raises(TypeError, match=twice):
        f(kw[first], **{first: None}, **rest, zz=1)


class HashedName(str):
    """A keyword name whose hash differs from the interned name's: found only by comparison."""

    def __hash__(self):
        return 7


@pytest.mark.parametrize("name", ENTRIES)
def test_keyword_names_are_compared_not_hashed(name, kwargs_of):
    f, kw = getattr(_kalman, name), kwargs_of(name)
    assert_same(f(**{HashedName(k): v for k, v in kw.items()}), f(**kw))
    first = next(iter(kw))
    with pytest.raises(TypeError, match=f"multiple values for keyword argument '{first}'"):
        f(**kw, **{HashedName(first): kw[first]})


# ---- stage 2: scalar conversion ---------------------------------------------------------------

class IntOnly:
    def __int__(self):
        return 6


class IndexOnly:
    def __index__(self):
        return 6


@pytest.mark.parametrize("T", [6, 6.9, np.int64(6), np.float64(6.5), IntOnly(), True * 6])
def test_counts_take_integers_and_truncate(kf_kwargs, T):
    status, out = _kalman.kalman_hot_loop(**{**kf_kwargs, "T": T})
    assert status == 0 and out[0].shape == (6, 2)


@pytest.mark.parametrize("T, error, text", [
    ("6", TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (2 ** 63, OverflowError, "too big"), (-2 ** 63 - 1, OverflowError, "too big"),
    (float("nan"), ValueError, "NaN"),
])
def test_count_refusals(kf_kwargs, T, error, text):
    with pytest.raises(error, match=text):
        _kalman.kalman_hot_loop(**{**kf_kwargs, "T": T})


@pytest.mark.parametrize("address, error, text", [
    (-1, OverflowError, "^can't convert negative value to size_t$"),
    (-2 ** 70, OverflowError, "^can't convert negative value to size_t$"),
    (2 ** 64, OverflowError, "too big"), ("1", TypeError, "an integer is required"),
    (0.9, ValueError, "nonzero measurement"),  # truncated to 0
])
def test_address_conversion(ekf_kwargs, address, error, text):
    with pytest.raises(error, match=text):
        _kalman.ekf_hot_loop(**{**ekf_kwargs, "jac_addr": address})


def test_largest_address_is_accepted(ukf_kwargs):
    bad_hx = np.zeros((1, 2))  # the shape check after conversion shows the address passed
    with pytest.raises(ValueError, match="hx must have shape"):
        _kalman.ukf_hot_loop(**{**ukf_kwargs, "meas_addr": np.uint64(2 ** 64 - 1), "hx": bad_hx})


@pytest.mark.parametrize("changes", [
    dict(jitter=0), dict(jitter=np.float32(0.0)), dict(jitter=False), dict(symmetrize=None),
    dict(joseph_cov=np.bool_(False)), dict(symmetrize=[1]), dict(return_shocks=""),
])
def test_reals_and_flags_accept_host_values(kf_kwargs, changes):
    plain = {k: float(v) if k == "jitter" else bool(v) for k, v in changes.items()}
    assert_same(_kalman.kalman_hot_loop(**{**kf_kwargs, **changes}),
                _kalman.kalman_hot_loop(**{**kf_kwargs, **plain}))


def test_scalars_convert_in_parameter_order_before_arrays(kf_kwargs):
    bad = {**kf_kwargs, "A": np.zeros(3), "jitter": "x", "store_history": np.ones(2)}
    with pytest.raises(TypeError, match="must be real number"):
        _kalman.kalman_hot_loop(**bad)
    with pytest.raises(ValueError, match="truth value of an array"):
        _kalman.kalman_hot_loop(**{**bad, "jitter": 0.0})


@pytest.mark.parametrize("nmk", [(2, 1, 1), [2, 1, 1], np.array([2, 1, 1]), (2.0, 1.0, 1.9),
                                 {0: 2, 1: 1, 2: 1}, (2, 1, 1, "ignored")])
def test_nmk_items_are_read_as_counts(kf_kwargs, nmk):
    assert_same(_kalman.kalman_hot_loop(**{**kf_kwargs, "nmk": nmk}),
                _kalman.kalman_hot_loop(**kf_kwargs))


@pytest.mark.parametrize("nmk, error, text", [
    ((2, 1), IndexError, "tuple index"), ([2, 1], IndexError, "list index"),
    (5, TypeError, "not subscriptable"), ((2, "1", 1), TypeError, "an integer is required"),
])
def test_nmk_refusals_come_before_coercion(kf_kwargs, nmk, error, text):
    with pytest.raises(error, match=text):
        _kalman.kalman_hot_loop(**{**kf_kwargs, "nmk": nmk, "A": np.zeros(3)})


@pytest.mark.parametrize("nmk", [(-1, 1, 1), (2, -1, 1), (2, 1, -3)])
@pytest.mark.parametrize("store_history", [True, False])
def test_negative_dimensions_are_refused_by_numpy_after_coercion(kf_kwargs, nmk, store_history):
    call = {**kf_kwargs, "nmk": nmk, "store_history": store_history}
    with pytest.raises(ValueError, match="negative dimensions are not allowed"):
        _kalman.kalman_hot_loop(**call)
    wrong_rank = re.escape("Buffer has wrong number of dimensions (expected 2, got 1)")
    with pytest.raises(ValueError, match=wrong_rank):
        _kalman.kalman_hot_loop(**{**call, "A": np.zeros(3)})


# ---- stage 4: coercion ------------------------------------------------------------------------

def spread(a):
    """a with every cell repeated along both axes, so that [::2, ::2] is a strided view of a."""
    return np.repeat(np.repeat(a, 2, 0), 2, 1)


def read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


class Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(), np.asfortranarray, lambda a: spread(a)[::2, ::2],
    lambda a: read_only(np.asfortranarray(a)),  # the converted copy is writable
    lambda a: a.astype(">f8"), lambda a: np.array(a).view(Subclass),
])
def test_arrays_needing_conversion_are_accepted(kf_kwargs, convert):
    kf_kwargs["A"] = np.array([[0.5, 0.1], [0.2, 0.3]])
    expected = _kalman.kalman_hot_loop(**kf_kwargs)
    for name in ("A", "P0", "y"):
        assert_same(_kalman.kalman_hot_loop(**{**kf_kwargs, name: convert(kf_kwargs[name])}),
                    expected)


def test_integer_arrays_are_accepted():
    status, P = _kalman.stationary_covariance(np.zeros((2, 2), int), np.eye(2, dtype=np.int8),
                                              [[1, 0], [0, 2]])
    assert status == 0 and P.dtype == np.float64 and P.flags.c_contiguous
    np.testing.assert_array_equal(P, np.diag([1.0, 2.0]))


@pytest.mark.parametrize("name, obs", [("kalman_hot_loop", "y"), ("ekf_hot_loop", "y"),
                                       ("ukf_hot_loop", "obs")])
def test_read_only_buffers(name, obs, kwargs_of):
    f, kw = getattr(_kalman, name), kwargs_of(name)
    assert f(**{**kw, obs: read_only(kw[obs])})[0] == 0
    victim = next(k for k, v in kw.items() if isinstance(v, np.ndarray) and k != obs)
    with pytest.raises(ValueError, match="read-only"):
        f(**{**kw, victim: read_only(kw[victim])})


class SpyNumPy:
    """Stands in for the module attribute np, recording the attributes looked up on it."""

    def __init__(self):
        self.looked_up = []

    def __getattr__(self, name):
        self.looked_up.append(name)
        return getattr(np, name)


def test_numpy_is_reached_through_the_module_attribute(monkeypatch):
    spy = SpyNumPy()
    monkeypatch.setattr(_kalman, "np", spy)
    assert _kalman.stationary_covariance([[0.5]], [[1.0]], [[1.0]])[0] == 0
    # np and each of its members are read once per call, when first needed.
    assert spy.looked_up == ["ascontiguousarray", "float64", "empty"]

    class IntegerNumPy(SpyNumPy):
        def ascontiguousarray(self, x, dtype):
            return np.ascontiguousarray(x, dtype=np.int64)

    monkeypatch.setattr(_kalman, "np", IntegerNumPy())
    with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double'"):
        _kalman.stationary_covariance([[0.5]], [[1.0]], [[1.0]])


class CoercionSpy:
    """np whose ascontiguousarray records every argument it is handed."""

    def __init__(self):
        self.handed = []

    def __getattr__(self, name):
        return getattr(np, name)

    def ascontiguousarray(self, x, dtype):
        self.handed.append(x)
        return np.ascontiguousarray(x, dtype=dtype)


@pytest.mark.parametrize("name", ENTRIES)
def test_a_replaced_ascontiguousarray_is_handed_every_array(name, kwargs_of, monkeypatch):
    # arrays that NumPy's own function would hand back as they are skip the call; one that
    # replaces it must still see each of them
    f, kw = getattr(_kalman, name), kwargs_of(name)
    expected = f(**kw)
    spy = CoercionSpy()
    monkeypatch.setattr(_kalman, "np", spy)
    assert_same(f(**kw), expected)
    arrays = [v for v in kw.values() if isinstance(v, np.ndarray)]
    assert sorted(map(id, spy.handed)) == sorted(map(id, arrays))


def misaligned(a):
    """A writable C-contiguous float64 copy of a at an odd address."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    out = np.frombuffer(bytearray(1 + a.nbytes), offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("name", ENTRIES)
def test_misaligned_arrays_give_the_aligned_result(name, kwargs_of):
    # the kernels read f64 through aligned pointers, so a misaligned buffer must reach them as a
    # copy; a misaligned load passes unnoticed on x86 but aborts the sanitizer build (.ci/run)
    f, kw = getattr(_kalman, name), kwargs_of(name)
    moved = {k: misaligned(v) if isinstance(v, np.ndarray) and v.size else v for k, v in kw.items()}
    assert_same(f(**moved), f(**kw))


@pytest.mark.parametrize("name", ENTRIES)
def test_none_is_refused_by_name(name, kwargs_of):
    f, kw = getattr(_kalman, name), kwargs_of(name)
    shape_read = EKF_SHAPE_READ if name == "ekf_hot_loop" else ()
    for arg in kw:
        if isinstance(kw[arg], np.ndarray) and arg not in shape_read:
            with pytest.raises(TypeError, match=rf"^{name}\(\) argument '{arg}' must be an array, "
                                                "not None$"):
                f(**{**kw, arg: None})


class ShortNumPy:
    """np whose `function` hands back arrays one row short, or of the right shape misaligned."""

    def __init__(self, function, fault):
        self.function, self.fault = function, fault

    def __getattr__(self, attr):
        if attr != self.function:
            return getattr(np, attr)

        def allocate(shape, dtype):
            if self.fault == "misaligned":
                return misaligned(np.zeros(shape))
            return np.zeros((max(shape[0] - 1, 0),) + tuple(shape[1:]), dtype)
        return allocate


@pytest.mark.parametrize("fault", ["short", "misaligned"])
@pytest.mark.parametrize("function", ["zeros", "empty"])
@pytest.mark.parametrize("name", ENTRIES)
def test_allocations_are_checked_before_the_kernel_writes(name, function, fault, kwargs_of,
                                                          monkeypatch):
    f, kw = getattr(_kalman, name), kwargs_of(name)
    monkeypatch.setattr(_kalman, "np", ShortNumPy(function, fault))
    if name in ("stationary_covariance", "kalman_loglik_grad",
                "kalman_loglik_grad_stationary", "kalman_smoother") and function == "zeros":
        assert f(**kw)[0] == 0  # allocates nothing with zeros
        return
    text = {"short": "returned an array of shape",
            "misaligned": "returned a misaligned float64 buffer"}[fault]
    with pytest.raises(ValueError, match=rf"^np\.{function} {text}"):
        f(**kw)


def test_unconvertible_and_wrong_rank_arrays(ekf_kwargs):
    with pytest.raises(ValueError, match="could not convert string to float"):
        _kalman.stationary_covariance([["a"]], [[1.0]], [[1.0]])
    wrong_rank = "Buffer has wrong number of dimensions (expected {}, got {})"
    with pytest.raises(ValueError, match=re.escape(wrong_rank.format(2, 1))):
        _kalman.stationary_covariance(np.ones(2), "not an array", None)
    # ekf coerces calib_params last: P0's rank error comes first
    with pytest.raises(ValueError, match=re.escape(wrong_rank.format(2, 1))):
        _kalman.ekf_hot_loop(**{**ekf_kwargs, "P0": np.ones(2), "calib_params": FakeShape((1,), 2)})


# ---- shape checks -----------------------------------------------------------------------------

class FakeShape:
    """An array-like whose `shape` attribute disagrees with its data."""

    def __init__(self, shape, rank):
        self.shape, self._data = shape, np.zeros((2,) * rank)

    def __array__(self, dtype=None, copy=None):
        return self._data


@pytest.mark.parametrize("name, shape, text", [
    ("A", (2, 3), "A must have shape (n, n) = (2, 2), got (2, 3)."),
    ("B", (2, 2), "B must have shape (n, k) = (2, 1), got (2, 2)."),
    ("C", (1, 3), "C must have shape (m, n) = (1, 2), got (1, 3)."),
    ("d", (2,), "d must have shape (m,) = (1,), got (2,)."),
    ("Q", (1, 2), "Q must have shape (k, k) = (1, 1), got (1, 2)."),
    ("R", (2, 1), "R must have shape (m, m) = (1, 1), got (2, 1)."),
    ("y", (5, 1), "y must have m = 1 columns and at least T = 6 rows, got (5, 1)."),
    ("y", (6, 2), "y must have m = 1 columns and at least T = 6 rows, got (6, 2)."),
    ("x0", (3,), "x0 must have shape (n,) = (2,), got (3,)."),
    ("P0", (0, 0), "P0 must have shape (n, n) = (2, 2), got (0, 0)."),
])
def test_kalman_shape_checks(kf_kwargs, name, shape, text):
    with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
        _kalman.kalman_hot_loop(**{**kf_kwargs, name: np.zeros(shape)})


def test_kalman_well_formed_edge_calls(kf_kwargs):
    status, out = _kalman.kalman_hot_loop(**kf_kwargs)
    extra_rows = np.vstack([kf_kwargs["y"], np.full((3, 1), np.nan)])
    assert_same(_kalman.kalman_hot_loop(**{**kf_kwargs, "y": extra_rows}), (status, out))
    status, out = _kalman.kalman_hot_loop(**{**kf_kwargs, "T": 0, "y": np.zeros((0, 7))})
    assert status == 0 and out[-1] == 0.0 and [a.shape[0] for a in out[:-1]] == [0] * 10
    status, out = _kalman.kalman_hot_loop(**{**kf_kwargs, "T": -3}, store_history=False)
    assert status == 0 and out[-1] == 0.0 and out[0].shape == (0, 2) and out[9].shape == (0, 1)
    with pytest.raises(ValueError, match="negative dimensions"):
        _kalman.kalman_hot_loop(**{**kf_kwargs, "T": -3})


@pytest.mark.parametrize("store_history, return_shocks, rows, shock_rows", [
    (True, False, 6, 0), (True, True, 6, 6), (False, True, 0, 0), (False, False, 0, 0)])
def test_history_shapes(kf_kwargs, ekf_kwargs, store_history, return_shocks, rows, shock_rows):
    expected = [(rows, 2), (rows, 2), (rows, 2, 2), (rows, 2, 2)] + [(rows, 1)] * 4 + [
        (rows, 1, 1), (shock_rows, 1)]
    for f, kw in ((_kalman.kalman_hot_loop, kf_kwargs), (_kalman.ekf_hot_loop, ekf_kwargs)):
        status, out = f(**kw, return_shocks=return_shocks, store_history=store_history)
        assert status == 0 and len(out) == 11 and isinstance(out[-1], float)
        assert [a.shape for a in out[:-1]] == expected


@pytest.mark.parametrize("name, value, text", [
    ("B", np.zeros(2), "B must be two-dimensional (its shape has 1 entries)."),
    ("y", np.zeros(6), "y must be two-dimensional (its shape has 1 entries)."),
    ("A", np.float64(1.0), "A must be two-dimensional (its shape has 0 entries)."),
    ("calib_params", np.array(1.0), "calib_params must be one-dimensional (its shape has 0 "
                                    "entries)."),
])
def test_ekf_low_rank_shapes_before_address_and_coercion(ekf_kwargs, name, value, text):
    bad = {**ekf_kwargs, name: value, "meas_addr": 0, "Q": read_only(ekf_kwargs["Q"])}
    with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
        _kalman.ekf_hot_loop(**bad)


class IndexOnlyShape:
    """A shape that can be indexed but has no length."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class IndexOnlyArray(FakeShape):
    def __init__(self, data, shape):
        self.shape, self._data = shape, data


def test_ekf_shape_needs_only_indexing(ekf_kwargs):
    kw = {k: IndexOnlyArray(v, IndexOnlyShape(*v.shape)) if k in EKF_SHAPE_READ else v
          for k, v in ekf_kwargs.items()}
    assert_same(_kalman.ekf_hot_loop(**kw), _kalman.ekf_hot_loop(**ekf_kwargs))
    kw["y"] = IndexOnlyArray(ekf_kwargs["y"], IndexOnlyShape(6))
    with pytest.raises(ValueError, match=re.escape("y must be two-dimensional (its shape has no "
                                                   "item 1).")):
        _kalman.ekf_hot_loop(**kw)


def test_ekf_error_order(ekf_kwargs):
    listed_y = {**ekf_kwargs, "y": ekf_kwargs["y"].tolist()}
    with pytest.raises(OverflowError, match="negative value"):
        _kalman.ekf_hot_loop(**{**listed_y, "meas_addr": -1})
    with pytest.raises(AttributeError, match="shape"):
        _kalman.ekf_hot_loop(**{**listed_y, "meas_addr": 0})
    for zero in addresses("ekf_hot_loop"):
        with pytest.raises(ValueError, match="^ekf_hot_loop requires nonzero measurement and "
                                             "jacobian function addresses.$"):
            _kalman.ekf_hot_loop(**{**ekf_kwargs, zero: 0, "A": read_only(ekf_kwargs["A"])})
    listed = {k: (v.tolist() if k in ("Q", "R", "x0", "P0") else v) for k, v in ekf_kwargs.items()}
    assert_same(_kalman.ekf_hot_loop(**listed), _kalman.ekf_hot_loop(**ekf_kwargs))


@pytest.mark.parametrize("name, value, text", [
    ("A", np.zeros((2, 3)), "A must have shape (n, n) = (2, 2), got (2, 3)."),
    ("B", np.zeros((3, 1)), "B must have shape (n, k) = (2, 1), got (3, 1)."),
    ("Q", np.zeros((2, 2)), "Q must have shape (k, k) = (1, 1), got (2, 2)."),
    ("R", np.zeros((1, 2)), "R must have shape (m, m) = (1, 1), got (1, 2)."),
    ("y", FakeShape((6, 1), 2), "y must have shape (T, m) = (6, 1), got (2, 2)."),
    ("x0", np.zeros(1), "x0 must have shape (n,) = (2,), got (1,)."),
    ("P0", np.zeros((2, 1)), "P0 must have shape (n, n) = (2, 2), got (2, 1)."),
    ("calib_params", FakeShape((5,), 1), "calib_params must have shape (n_par,) = (5,), got (2,)."),
])
def test_ekf_shape_checks(ekf_kwargs, name, value, text):
    with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
        _kalman.ekf_hot_loop(**{**ekf_kwargs, name: value})


UKF_CHECKS = [  # (argument, replacement shape, message)
    ("meas_addr", None, "ukf_hot_loop requires a nonzero measurement function address."),
    ("hx", (0, 0), "hx must have at least one state."),
    ("obs", (4, 0), "obs must have at least one observable column."),
    ("hx", (1, 2), "hx must have shape (n_state, n_state)."),
    ("bu", (3, 1), "bu must have shape (n_state + n_ctrl, n_exog)."),
    ("gx", (1, 2), "gx must have shape (n_ctrl, n_state)."),
    ("hxx", (1, 1, 2), "hxx must have shape (n_state, n_state, n_state)."),
    ("gxx", (1, 2, 1), "gxx must have shape (n_ctrl, n_state, n_state)."),
    ("hxu", (2, 1, 1), "hxu must have shape (n_state, n_state, n_exog)."),
    ("gxu", (1, 1, 2), "gxu must have shape (n_ctrl, n_state, n_exog)."),
    ("huu", (1, 2, 1), "huu must have shape (n_state, n_exog, n_exog)."),
    ("guu", (2, 1, 1), "guu must have shape (n_ctrl, n_exog, n_exog)."),
    ("hss", (2,), "hss must have shape (n_state,)."),
    ("gss", (0,), "gss must have shape (n_ctrl,)."),
    ("steady_state", (1,), "steady_state must have shape (n_state + n_ctrl,)."),
    ("Q", (2, 2), "Q must have shape (n_exog, n_exog)."),
    ("R", (1, 2), "R must have shape (n_obs, n_obs)."),
    ("z0", (1,), "z0 must have shape (2 * n_state,)."),
    ("P0", (2, 1), "P0 must have shape (2 * n_state, 2 * n_state)."),
]


@pytest.mark.parametrize("check", range(len(UKF_CHECKS)))
def test_ukf_checks_in_order(ukf_kwargs, check):
    bad = dict(ukf_kwargs)
    for name, shape, _ in reversed(UKF_CHECKS[check:]):  # this check and every later one fail
        bad[name] = 0 if shape is None else np.zeros(shape)
    with pytest.raises(ValueError, match="^" + re.escape(UKF_CHECKS[check][2]) + "$"):
        _kalman.ukf_hot_loop(**bad)


def test_ukf_coerces_everything_before_the_address_check(ukf_kwargs):
    with pytest.raises(ValueError, match=re.escape("(expected 2, got 3)")):
        _kalman.ukf_hot_loop(**{**ukf_kwargs, "meas_addr": 0, "P0": np.zeros((2, 2, 1))})


@ctypes.CFUNCTYPE(None, *[ctypes.POINTER(ctypes.c_double)] * 3)
def first_variable(v, params, out):
    out[0] = v[0]


@pytest.mark.parametrize("ne, nc", [(1, 1), (0, 1), (1, 0), (0, 0)])
def test_ukf_empty_blocks_and_result(ukf_kwargs, ne, nc):
    block = {"xx": (1, 1), "xu": (1, ne), "uu": (ne, ne)}
    kw = dict(ukf_kwargs, meas_addr=ctypes.cast(first_variable, ctypes.c_void_p).value,
              bu=np.ones((1 + nc, ne)), Q=np.eye(ne), gx=np.full((nc, 1), 0.3), gss=np.zeros(nc),
              steady_state=np.ones(1 + nc))
    for name in ("hxx", "gxx", "hxu", "gxu", "huu", "guu"):
        kw[name] = np.full((nc if name[0] == "g" else 1,) + block[name[1:]], 0.05)
    status, out = _kalman.ukf_hot_loop(**kw)
    assert status == 0 and len(out) == 14 and isinstance(out[-1], float)
    assert [a.shape for a in out[:-1]] == [(4, 1)] * 4 + [(4, 1 + nc)] * 2 + [(4, 2, 2)] * 2 + [
        (4, 1)] * 4 + [(4, 1, 1)]
    status, out = _kalman.ukf_hot_loop(**{**kw, "obs": np.zeros((0, 1))})
    assert status == 0 and out[-1] == 0.0 and all(a.shape[0] == 0 for a in out[:-1])
    status, out = _kalman.ukf_hot_loop(**kw, store_history=False)
    assert all(a.shape[0] == 0 for a in out[:-1])


# ---- what calls leave behind ------------------------------------------------------------------

def test_calls_keep_no_references(kwargs_of):
    for name in ENTRIES:
        kw = kwargs_of(name)
        failing = dict(kw)
        failing[list(failing)[-1] if name == "stationary_covariance" else "P0"] = "bad"
        arrays = [v for v in kw.values() if isinstance(v, np.ndarray)]
        before = [sys.getrefcount(a) for a in arrays]
        for _ in range(20):
            getattr(_kalman, name)(**kw)
        for _ in range(20):
            with pytest.raises((ValueError, TypeError)):
                getattr(_kalman, name)(**failing)
        assert [sys.getrefcount(a) for a in arrays] == before, name


def test_repeated_calls_do_not_grow_memory(kwargs_of):
    calls = [(getattr(_kalman, name), kwargs_of(name)) for name in ENTRIES]
    for f, kw in calls * 20:
        f(**kw)
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for f, kw in calls * 300:
            f(**kw)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
