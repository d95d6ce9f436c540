"""ukf_hot_loop against a NumPy second-order unscented filter, and the traffic through its
measurement callback."""


import ctypes

import numpy as np
import pytest

import reference
from callbacks import CALLBACK_TYPE, CallLog, RecordingCallback, numba_callback
from models import (UKF_FIELDS, SecondOrderModel, as_function, assert_outputs_close,
                    random_second_order_model, ukf_meas)

from Velmora._ckernels.kalman import _kalman

SETTINGS = [
    pytest.param(dict(alpha=1.0, beta=2.0, kappa=0.0, jitter=0.0, symmetrize=True),
                 id="alpha1-sym"),
    pytest.param(dict(alpha=0.7, beta=2.0, kappa=1.0, jitter=1e-9, symmetrize=False),
                 id="alpha0.7-jitter"),
]
DEFAULT = dict(alpha=1.0, beta=2.0, kappa=0.0, jitter=0.0, symmetrize=True)


def n_sigma(model):
    ns, _, ne, _ = model.dims
    return 2 * (2 * ns + ne) + 1


def callback_for(flavour, model):
    """A compiled callback of ukf_meas, or a recording one whose calls are in `.log`."""
    ns, nc, _, no = model.dims
    if flavour == "numba":
        return numba_callback(ukf_meas, ns + nc, model.params.size, no)
    return RecordingCallback(ukf_meas, ns + nc, model.params.size, no, "meas", CallLog())


def run(meas, model, settings, store_history=True):
    status, out = _kalman.ukf_hot_loop(meas.address, *model.ukf_args(), **settings,
                                       store_history=store_history)
    assert not getattr(meas, "errors", [])
    return status, out


def reference_of(model, settings):
    meas = as_function(ukf_meas, model.dims[3], model.params)
    return reference.unscented_filter(model, meas, **settings)


@pytest.mark.parametrize("ns, nc, ne", [(2, 1, 2), (7, 4, 3)], ids=["small", "medium"])
@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize("flavour", ["numba", "ctypes"])
def test_matches_numpy_unscented_filter(flavour, settings, ns, nc, ne):
    model = random_second_order_model(51, ns=ns, nc=nc, ne=ne, T=30)
    status, out = run(callback_for(flavour, model), model, settings)
    assert status == 0 and len(out) == 14
    assert_outputs_close(out, reference_of(model, settings), UKF_FIELDS, rtol=1e-8,
                         atol=1e-10)


@pytest.mark.parametrize("store_history", [True, False])
def test_callback_traffic_per_period(store_history):
    T = 5
    model = random_second_order_model(52, ns=2, nc=1, ne=2, T=T)
    meas = callback_for("ctypes", model)
    status, out = run(meas, model, DEFAULT, store_history)
    expected = reference_of(model, DEFAULT)
    assert status == 0
    per_period = n_sigma(model) + store_history
    assert len(meas.log) == T * per_period
    for t in range(T):
        calls = meas.log[t * per_period:(t + 1) * per_period]
        np.testing.assert_allclose([c.x for c in calls[:n_sigma(model)]],
                                   expected["sigma_v"][t], rtol=1e-9, atol=1e-12)
        if store_history:  # the filtered levels, as just written to row t of x_filt
            np.testing.assert_array_equal(calls[-1].x, out[5][t])
    assert all(not c.params_null and np.array_equal(c.params, model.params) for c in meas.log)
    assert all(a.shape[0] == (T if store_history else 0) for a in out[:13])
    assert out[13] == pytest.approx(expected["loglik"], rel=1e-10)


def test_state_levels_are_steady_state_plus_both_components():
    model = random_second_order_model(53, ns=3, nc=2, ne=1, T=20)
    status, out = run(callback_for("numba", model), model, DEFAULT)
    assert status == 0
    ns, ss = 3, model.steady_state[:3]
    x1_pred, x2_pred, x1_filt, x2_filt, x_pred, x_filt = out[:6]
    np.testing.assert_allclose(x_pred[:, :ns], ss + x1_pred + x2_pred, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(x_filt[:, :ns], ss + x1_filt + x2_filt, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("ns, nc, ne, params", [
    (2, 1, 0, "given"), (2, 0, 2, "given"), (2, 1, 2, "empty"), (1, 0, 0, "empty")],
    ids=["no-shocks", "no-controls", "no-params", "minimal"])
def test_reduced_dimensions_match_numpy(ns, nc, ne, params):
    model = random_second_order_model(54 + ns + nc + ne, ns, nc, ne, T=15,
                                      params=[0.25, 1.2] if params == "given" else [])
    meas = callback_for("ctypes", model)
    status, out = run(meas, model, DEFAULT)
    assert status == 0
    assert out[4].shape == (15, ns + nc)
    assert len(meas.log) == 15 * (n_sigma(model) + 1)
    assert all(call.params_null == (params == "empty") for call in meas.log)
    assert_outputs_close(out, reference_of(model, DEFAULT), UKF_FIELDS, rtol=1e-8, atol=1e-10)


def test_no_periods():
    model = random_second_order_model(55, ns=2, nc=1, ne=2, T=0)
    meas = callback_for("ctypes", model)
    status, out = run(meas, model, DEFAULT)
    assert status == 0 and out[13] == 0.0
    assert len(meas.log) == 0
    assert all(a.shape[0] == 0 for a in out[:13])


def test_a_callback_that_writes_nothing_fails_the_period():
    # a ctypes callback whose body raised returns without writing: its cells read as NaN, not as
    # whatever the scratch held, so the filter fails the way a NaN does, every time
    model = random_second_order_model(58, ns=2, nc=1, ne=2, T=6)
    nothing = CALLBACK_TYPE(lambda x, params, out: None)
    for _ in range(2):
        status, out = _kalman.ukf_hot_loop(ctypes.cast(nothing, ctypes.c_void_p).value,
                                           *model.ukf_args(), **DEFAULT)
        assert status == -1102 or np.isnan(out[13])


def linear_levels(v, p, out):
    """y = C v with C (no x nv) row-major in p."""
    for i in range(out.shape[0]):
        total = 0.0
        for j in range(v.shape[0]):
            total += p[i * v.shape[0] + j] * v[j]
        out[i] = total


def in_units(model, D, G):
    """The same model with the states in units D (x1 and x2 alike) and the shocks in units G:
    every block, Q, z0, P0 and the measurement's C transformed to match."""
    nc = model.gx.shape[0]
    DF, DD = np.r_[D, np.ones(nc)], np.r_[D, D]
    pair = lambda a, b: a[:, None] * b[None, :]  # noqa: E731
    return SecondOrderModel(
        hx=D[:, None] * model.hx / D, gx=model.gx / D, bu=DF[:, None] * model.bu / G,
        hxx=D[:, None, None] * model.hxx / pair(D, D), gxx=model.gxx / pair(D, D),
        hxu=D[:, None, None] * model.hxu / pair(D, G), gxu=model.gxu / pair(D, G),
        huu=D[:, None, None] * model.huu / pair(G, G), guu=model.guu / pair(G, G),
        hss=D * model.hss, gss=model.gss, steady_state=DF * model.steady_state,
        params=(model.params.reshape(-1, DF.size) / DF).ravel(), Q=pair(G, G) * model.Q,
        R=model.R, obs=model.obs, z0=DD * model.z0, P0=pair(DD, DD) * model.P0)


@pytest.mark.parametrize("prior", ["definite", "x2 known"])
@pytest.mark.parametrize("what", ["states", "shocks"])
def test_the_likelihood_is_the_same_in_any_units(what, prior):
    # the retried factor raises each variance by a share of its own, and gives a variable
    # without variance a zero row: a raise shared by all would swamp one in small units
    model = random_second_order_model(59, ns=2, nc=1, ne=2, T=40)
    model.params = np.random.default_rng(5).standard_normal((2, 3)).ravel()
    if prior == "x2 known":
        model.P0[2:, :] = model.P0[:, 2:] = 0.0
    meas = numba_callback(linear_levels, 3, 6, 2)
    want = run(meas, model, DEFAULT, store_history=False)
    assert want[0] == 0
    for spread in (1e2, 1e3, 1e4):
        D = np.array([1 / spread, spread]) if what == "states" else np.ones(2)
        G = np.array([1 / spread, spread]) if what == "shocks" else np.ones(2)
        status, out = run(meas, in_units(model, D, G), DEFAULT, store_history=False)
        assert status == 0 and out[-1] == pytest.approx(want[1][-1], rel=1e-9), spread


def indefinite_prior(model):
    model.P0 = np.eye(4)
    model.P0[:2, :2] = [[1.0, 2.0], [2.0, 1.0]]  # eigenvalue -1: no retry jitter can help


def spread_not_positive(model):
    return dict(DEFAULT, kappa=-6.0)  # alpha^2 (na + kappa) = 0 with na = 6


@pytest.mark.parametrize("break_model", [indefinite_prior, spread_not_positive])
def test_unusable_prior_or_spread_fails_before_any_callback(break_model):
    model = random_second_order_model(56, ns=2, nc=1, ne=2, T=6)
    settings = break_model(model) or DEFAULT
    meas = callback_for("ctypes", model)
    status, out = run(meas, model, settings)
    assert status == -1102
    assert len(meas.log) == 0 and out[13] == 0.0
    assert all(not np.any(a) for a in out[:13])


def test_singular_prior_is_factorised_on_the_retry():
    model = random_second_order_model(57, ns=2, nc=1, ne=2, T=10)
    model.P0[0, :] = 0.0
    model.P0[:, 0] = 0.0
    status, out = run(callback_for("ctypes", model), model, DEFAULT)
    expected = reference_of(model, DEFAULT)
    assert status == expected["status"] == 0
    assert_outputs_close(out, expected, UKF_FIELDS, rtol=1e-7, atol=1e-10)
