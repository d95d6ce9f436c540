"""Shared fixtures of the Python tests: small well-formed calls of each module entry.

Each `*_kwargs` fixture returns a fresh dict of arguments in the order of the entry's signature,
so a test can change one argument by name and call the entry with `**kwargs` or
`*kwargs.values()`.
"""

import ctypes

import numpy as np
import pytest

from signatures import in_call_order

CALLBACK_TYPE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_double),
                                 ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))


_KEEP_ALIVE = []  # ctypes callbacks must outlive every call that holds their address


def _address(callback):
    _KEEP_ALIVE.append(callback)
    return ctypes.cast(callback, ctypes.c_void_p).value


@pytest.fixture(scope="session")
def linear_callbacks():
    """(meas, jac) addresses of h(x) = x[0] + 0.5 x[1] (n = 2, m = 1) and its Jacobian."""
    @CALLBACK_TYPE
    def meas(x, params, out):
        out[0] = x[0] + 0.5 * x[1]

    @CALLBACK_TYPE
    def jac(x, params, out):
        out[0], out[1] = 1.0, 0.5

    return _address(meas), _address(jac)


@pytest.fixture(scope="session")
def sum_callback():
    """Address of meas(vars) = vars[0] + vars[1], for a UKF with one state and one control."""
    @CALLBACK_TYPE
    def meas(v, params, out):
        out[0] = v[0] + v[1]

    return _address(meas)


@pytest.fixture
def kf_kwargs():
    """kalman_hot_loop arguments: n = 2 states, m = 1 observable, k = 1 shock, T = 6."""
    rng = np.random.default_rng(11)
    return in_call_order(
        "kalman_hot_loop", T=6, nmk=(2, 1, 1), A=np.array([[0.5, 0.1], [0.0, 0.3]]),
        B=np.array([[1.0], [0.5]]), C=np.array([[1.0, 0.5]]), d=np.array([0.2]), Q=np.eye(1),
        R=np.array([[0.5]]), y=rng.standard_normal((6, 1)), x0=np.zeros(2), P0=np.eye(2),
        symmetrize=True, joseph_cov=False, jitter=0.0)


@pytest.fixture
def ekf_kwargs(linear_callbacks, kf_kwargs):
    """ekf_hot_loop arguments for the model of kf_kwargs, C given by linear_callbacks."""
    meas, jac = linear_callbacks
    kw = kf_kwargs
    return in_call_order(
        "ekf_hot_loop", meas_addr=meas, jac_addr=jac, A=kw["A"], B=kw["B"],
        calib_params=np.ones(1), Q=kw["Q"], R=kw["R"], y=kw["y"], x0=kw["x0"], P0=kw["P0"],
        symmetrize=True, joseph_cov=False, jitter=0.0)


@pytest.fixture
def ukf_kwargs(sum_callback):
    """ukf_hot_loop arguments: one state, one control, one shock, one observable, T = 4."""
    rng = np.random.default_rng(12)
    cube = np.full((1, 1, 1), 0.05)
    return in_call_order(
        "ukf_hot_loop", meas_addr=sum_callback, hx=np.array([[0.6]]), gx=np.array([[0.3]]),
        bu=np.array([[1.0], [0.4]]), hxx=cube, gxx=cube, hxu=cube, gxu=cube, huu=cube, guu=cube,
        hss=np.array([0.01]), gss=np.array([0.02]), steady_state=np.array([1.0, 2.0]),
        params=np.zeros(0), Q=np.eye(1), R=np.array([[0.1]]),
        obs=3.0 + rng.standard_normal((4, 1)), z0=np.zeros(2), P0=0.1 * np.eye(2), alpha=1.0,
        beta=2.0, kappa=0.0, jitter=1e-9)
