"""ekf_hot_loop against the linear filter and a NumPy extended Kalman filter, and the traffic
through its measurement callbacks."""


import ctypes

import numpy as np
import pytest

import reference
from callbacks import CALLBACK_TYPE, CallLog, RecordingCallback, numba_callback
from models import (EKF_PARAMS, LINEAR_FIELDS, ExtendedModel, as_function,
                    assert_outputs_close, ekf_jac, ekf_meas, linear_jac, linear_meas,
                    random_ekf_model, random_linear_model)

from Velmora._ckernels.kalman import _kalman

PLAIN = dict(symmetrize=False, joseph_cov=False, jitter=0.0)
STRICT = dict(symmetrize=True, joseph_cov=True, jitter=1e-4)
FLAGS = [pytest.param(PLAIN, id="plain"), pytest.param(STRICT, id="sym-joseph-jitter")]
FLAVOURS = ["numba", "ctypes"]


def callbacks_for(flavour, meas_kernel, jac_kernel, n, n_par, m):
    """(meas, jac, log): two callbacks with `.address`; log records the ctypes calls."""
    if flavour == "numba":
        return (numba_callback(meas_kernel, n, n_par, m),
                numba_callback(jac_kernel, n, n_par, m * n), None)
    log = CallLog()
    return (RecordingCallback(meas_kernel, n, n_par, m, "meas", log),
            RecordingCallback(jac_kernel, n, n_par, m * n, "jac", log), log)


def run(meas, jac, model, flags, **kw):
    status, out = _kalman.ekf_hot_loop(meas.address, jac.address, *model.ekf_args(), **flags,
                                       **kw)
    for callback in (meas, jac):
        assert not getattr(callback, "errors", [])
    return status, out


def linear_callbacks(flavour, model):
    n, m = model.A.shape[0], model.R.shape[0]
    return callbacks_for(flavour, linear_meas, linear_jac, n, model.calib_params.size, m)


@pytest.mark.parametrize("flags", FLAGS)
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_linear_measurement_reproduces_linear_filter(flavour, flags):
    linear = random_linear_model(31, 3, 2, 2, T=30)
    model = linear.as_extended()
    meas, jac, _ = linear_callbacks(flavour, model)
    status, out = run(meas, jac, model, flags, compute_y_filt=True, return_shocks=True)
    kf_status, kf_out = _kalman.kalman_hot_loop(*linear.kalman_args(), **flags,
                                                return_shocks=True)
    assert status == kf_status == 0
    expected = dict(zip(LINEAR_FIELDS, kf_out[:10]), loglik=kf_out[10])
    assert_outputs_close(out, expected, LINEAR_FIELDS, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("flags", FLAGS + [
    pytest.param(dict(symmetrize=True, joseph_cov=False, jitter=0.0), id="symmetrize")])
@pytest.mark.parametrize("flavour", FLAVOURS)
def test_nonlinear_measurement_matches_numpy_ekf(flavour, flags):
    model = random_ekf_model(41, T=40)
    meas, jac, _ = callbacks_for(flavour, ekf_meas, ekf_jac, 3, 2, 3)
    status, out = run(meas, jac, model, flags, return_shocks=True)
    expected = reference.extended_kalman_filter(
        model.A, model.B, model.Q, model.R, model.y, model.x0, model.P0,
        as_function(ekf_meas, 3, EKF_PARAMS),
        lambda x: as_function(ekf_jac, 9, EKF_PARAMS)(x).reshape(3, 3), **flags)
    assert status == 0
    assert_outputs_close(out, expected, LINEAR_FIELDS)


@pytest.mark.parametrize("store_history, compute_y_filt, return_shocks",
                         [(True, True, True), (True, False, False), (False, True, True),
                          (False, False, False)])
def test_callback_order_and_arguments_per_period(store_history, compute_y_filt, return_shocks):
    T = 6
    model = random_ekf_model(43, T)
    meas, jac, log = callbacks_for("ctypes", ekf_meas, ekf_jac, 3, 2, 3)
    flags = dict(symmetrize=True, joseph_cov=False, jitter=0.0)
    status, out = run(meas, jac, model, flags, compute_y_filt=compute_y_filt,
                      return_shocks=return_shocks, store_history=store_history)
    assert status == 0
    filt_call = store_history and compute_y_filt
    assert log.names() == (["meas", "jac"] + ["meas"] * filt_call) * T
    expected = reference.extended_kalman_filter(
        model.A, model.B, model.Q, model.R, model.y, model.x0, model.P0,
        as_function(ekf_meas, 3, EKF_PARAMS),
        lambda x: as_function(ekf_jac, 9, EKF_PARAMS)(x).reshape(3, 3), **flags)
    per_period = 2 + filt_call
    for t in range(T):
        calls = log[t * per_period:(t + 1) * per_period]
        for call in calls[:2]:
            np.testing.assert_allclose(call.x, expected["x_pred"][t], rtol=1e-10, atol=1e-12)
        if filt_call:
            np.testing.assert_allclose(calls[2].x, expected["x_filt"][t], rtol=1e-10,
                                       atol=1e-12)
    assert all(not c.params_null and np.array_equal(c.params, EKF_PARAMS) for c in log)
    y_filt = out[5]
    if store_history and not compute_y_filt:
        assert y_filt.shape == (T, 3) and not np.any(y_filt)
    assert out[10] == pytest.approx(expected["loglik"], rel=1e-10)


def test_no_periods_no_calls():
    model = random_ekf_model(44, T=0)
    meas, jac, log = callbacks_for("ctypes", ekf_meas, ekf_jac, 3, 2, 3)
    status, out = run(meas, jac, model, PLAIN)
    assert status == 0 and out[10] == 0.0
    assert len(log) == 0
    assert all(array.shape[0] == 0 for array in out[:10])


def test_failure_after_the_periods_callbacks_ran():
    # Scalar model with a negative process variance: S = P_pred + R falls below zero in
    # period 4 (the linear filter test shows the same model failing there).
    one = np.ones((1, 1))
    model = ExtendedModel(one, one, np.array([1.0, 0.0]), -0.4 * one, one,
                          np.linspace(-1.0, 1.0, 8)[:, None], np.zeros(1), 3.0 * one)
    meas, jac, log = linear_callbacks("ctypes", model)
    flags = dict(symmetrize=False, joseph_cov=True, jitter=0.0)
    status, out = run(meas, jac, model, flags, return_shocks=True)
    expected = reference.extended_kalman_filter(
        one, one, model.Q, model.R, model.y, model.x0, model.P0, lambda x: x, lambda x: one,
        **flags)
    failed_at = len(expected["terms"])
    assert expected["status"] == status == -1102 and failed_at == 4
    assert log.names() == ["meas", "jac", "meas"] * failed_at + ["meas", "jac"]
    assert out[10] == pytest.approx(sum(expected["terms"]), rel=1e-12)
    for array in out[:10]:
        assert not np.any(array[failed_at:])
    assert_outputs_close(out, expected, LINEAR_FIELDS, rtol=1e-12)


@pytest.mark.parametrize("silent", ["meas", "jac"])
def test_a_callback_that_writes_nothing_fails_the_period(silent):
    # a ctypes callback whose body raised returns without writing: its cells read as NaN, not as
    # whatever the scratch held, so the filter fails the way a NaN does, every time
    model = random_ekf_model(45, T=6)
    meas, jac, _ = callbacks_for("ctypes", ekf_meas, ekf_jac, 3, 2, 3)
    nothing = CALLBACK_TYPE(lambda x, params, out: None)
    address = ctypes.cast(nothing, ctypes.c_void_p).value
    addresses = (address, jac.address) if silent == "meas" else (meas.address, address)
    for _ in range(2):
        status, out = _kalman.ekf_hot_loop(*addresses, *model.ekf_args(), **PLAIN)
        assert status == -1102 or np.isnan(out[10])


@pytest.mark.parametrize("symmetrize", [True, False])
def test_prior_covariance_is_symmetrised_first(symmetrize):
    model = random_ekf_model(45, T=12)
    model.P0 = model.P0 + 0.05 * np.triu(np.ones((3, 3)), 1)
    meas, jac, _ = callbacks_for("numba", ekf_meas, ekf_jac, 3, 2, 3)
    flags = dict(symmetrize=symmetrize, joseph_cov=False, jitter=0.0)
    status, out = run(meas, jac, model, flags, return_shocks=True)
    assert status == 0
    first = 0.5 * (model.P0 + model.P0.T) if symmetrize else model.P0
    np.testing.assert_array_equal(out[2][0], first)
    expected = reference.extended_kalman_filter(
        model.A, model.B, model.Q, model.R, model.y, model.x0, model.P0,
        as_function(ekf_meas, 3, EKF_PARAMS),
        lambda x: as_function(ekf_jac, 9, EKF_PARAMS)(x).reshape(3, 3), **flags)
    assert_outputs_close(out, expected, LINEAR_FIELDS)


def test_read_only_observations_are_accepted():
    model = random_ekf_model(46, T=10)
    meas, jac, _ = callbacks_for("numba", ekf_meas, ekf_jac, 3, 2, 3)
    flags = STRICT
    writable = run(meas, jac, model, flags)
    model.y = model.y.copy()
    model.y.setflags(write=False)
    read_only = run(meas, jac, model, flags)
    assert read_only[0] == writable[0] == 0
    for got, want in zip(read_only[1], writable[1]):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("with_params", [False, True])
def test_params_pointer_is_null_exactly_when_empty(with_params):
    linear = random_linear_model(47, 2, 2, 1, T=5)
    C, d = linear.C, linear.d
    model = linear.as_extended()
    log = CallLog()
    if with_params:
        meas = RecordingCallback(linear_meas, 2, model.calib_params.size, 2, "meas", log)
        jac = RecordingCallback(linear_jac, 2, model.calib_params.size, 4, "jac", log)
    else:
        def fixed_meas(x, p, out):
            out[:] = C @ x + d

        def fixed_jac(x, p, out):
            out[:] = C.ravel()

        model.calib_params = np.empty(0)
        meas = RecordingCallback(fixed_meas, 2, 0, 2, "meas", log)
        jac = RecordingCallback(fixed_jac, 2, 0, 4, "jac", log)
    status, out = run(meas, jac, model, PLAIN)
    assert status == 0 and len(log) == 15
    assert all(call.params_null != with_params for call in log)
    kf = _kalman.kalman_hot_loop(*linear.kalman_args(), **PLAIN)
    assert out[10] == pytest.approx(kf[1][10], rel=1e-12)
