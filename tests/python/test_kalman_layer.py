"""The Python layer: KalmanFilter.run on the native entry or a twin, its named result, and the
mapping of every status code onto its exception."""

import numpy as np
import pytest

import reference
from models import LINEAR_FIELDS, random_linear_model
from signatures import names

from Velmora._ckernels.kalman import _kalman
from Velmora.kalman import FilterResult, KalmanFilter, errors

CODES = {-101: errors.NotPositiveDefiniteError, -102: errors.LUArgumentError,
         -103: errors.SingularMatrixError, -1101: errors.InvalidInputError,
         -1102: errors.CholeskyFailedError, -1105: errors.NotConvergedError}


def filter_of(model, **kw):
    return KalmanFilter(model.A, model.B, model.C, model.d, model.Q, model.R, model.x0,
                        model.P0, **kw)


def test_run_returns_the_raw_entry_result_by_name():
    model = random_linear_model(31, 3, 2, 2, 40)
    result = filter_of(model, joseph_cov=True).run(model.y, return_shocks=True)
    assert isinstance(result, FilterResult)
    assert FilterResult._fields == LINEAR_FIELDS + ("loglik",)
    status, raw = _kalman.kalman_hot_loop(*model.kalman_args(), symmetrize=True,
                                          joseph_cov=True, jitter=0.0, return_shocks=True)
    assert status == 0
    for got, expected in zip(result, raw, strict=True):
        np.testing.assert_array_equal(got, expected)
    expected = reference.kalman_filter(model.A, model.B, model.C, model.d, model.Q, model.R,
                                       model.y, model.x0, model.P0, symmetrize=True,
                                       joseph_cov=True)
    np.testing.assert_allclose(result.x_filt, expected["x_filt"], rtol=1e-9, atol=1e-9)
    assert result.loglik == pytest.approx(expected["loglik"], rel=1e-10)


def test_a_vector_of_observations_and_a_twin_hot_loop():
    model = random_linear_model(32, 2, 1, 1, 25)
    calls = []

    def twin(*args):
        calls.append(args)
        return _kalman.kalman_hot_loop(*args)

    result = filter_of(model, hot_loop=twin).run(model.y[:, 0], store_history=False)
    assert len(calls) == 1 and len(calls[0]) == len(names("kalman_hot_loop"))
    call = dict(zip(names("kalman_hot_loop"), calls[0]))
    assert (call["T"], call["nmk"], call["return_shocks"], call["store_history"]) == (
        25, (2, 1, 1), False, False)
    assert result.x_pred.shape == (0, 2)
    assert result.loglik == pytest.approx(filter_of(model).run(model.y).loglik, rel=1e-12)


def test_a_failed_run_raises_with_the_partial_histories():
    model = random_linear_model(33, 2, 1, 1, 10)
    # R = 0 and a C that sees no state after period 0: S = 0 from period 1 on.
    kf = KalmanFilter(np.zeros((2, 2)), np.zeros((2, 1)), [[1.0, 0.0]], [0.0], [[1.0]],
                      [[0.0]], np.zeros(2), np.eye(2))
    with pytest.raises(errors.CholeskyFailedError, match=r"KalmanFilter.run: .*status -1102") as e:
        kf.run(model.y)
    assert e.value.status == errors.KF_CHOLESKY_FAILED and e.value.result.S[0, 0, 0] == 1.0


def filter_raising(code):
    """The exception KalmanFilter.run raises when its hot loop returns `code`."""
    model = random_linear_model(34, 1, 1, 1, 3)
    _, out = _kalman.kalman_hot_loop(*model.kalman_args(), symmetrize=True, joseph_cov=False,
                                     jitter=0.0)
    kf = filter_of(model, hot_loop=lambda *args: (code, out))
    with pytest.raises(errors.KalmanError) as caught:
        kf.run(model.y)
    return type(caught.value)


@pytest.mark.parametrize("code", CODES)
def test_each_status_raises_its_exception(code):
    exception = CODES[code]
    assert issubclass(exception, errors.KalmanError) and exception.status == code
    with pytest.raises(exception) as caught:
        errors.raise_for_status(np.int64(code), "entry")
    assert caught.value.status == code and str(caught.value).startswith("entry: ")
    assert filter_raising(code) is exception


def test_ok_and_unknown_statuses():
    assert errors.KF_OK == 0 and errors.raise_for_status(0) is None
    with pytest.raises(errors.KalmanError, match=r"^unknown status \(status -7\)$") as caught:
        errors.raise_for_status(-7)
    assert type(caught.value) is errors.KalmanError and caught.value.status == -7


@pytest.mark.parametrize("stationary", [False, True], ids=["given", "stationary"])
@pytest.mark.parametrize("name, value", [("A", 0.5), ("B", [1.0]), ("C", [1.0])])
def test_the_matrices_that_give_the_orders_must_be_two_dimensional(name, value, stationary):
    model = dict(A=[[0.5]], B=[[1.0]], C=[[1.0]], d=[0.0], Q=[[1.0]], R=[[1.0]], x0=[0.0],
                 P0=[[1.0]])
    model[name] = value
    with pytest.raises(ValueError, match=rf"{name} must be a 2-D array of shape .*got shape"):
        if stationary:
            del model["P0"]
            KalmanFilter.stationary(**model)
        else:
            KalmanFilter(**model)


@pytest.mark.parametrize("start", ["given", "stationary"])
def test_the_model_is_a_copy_of_the_arrays_it_was_built_from(start):
    model = random_linear_model(36, 3, 2, 2, 40)
    arrays = {name: getattr(model, name).copy() for name in ("A", "B", "C", "d", "Q", "R", "x0",
                                                              "P0")}

    def build(a):
        if start == "stationary":
            return KalmanFilter.stationary(a["A"], a["B"], a["C"], a["d"], a["Q"], a["R"], a["x0"])
        return KalmanFilter(**a)
    kf = build(arrays)

    def read_only(value):
        value = value.copy()
        value.flags.writeable = False
        return value
    want = build({name: read_only(value) for name, value in arrays.items()}).loglik_grad(model.y)
    for value in arrays.values():
        value *= 0.5  # the caller changes its arrays in place after building the filter
    got = kf.loglik_grad(model.y)
    for name in got._fields:
        ours, fresh = getattr(got, name), getattr(want, name)
        assert (ours is None and fresh is None) or np.array_equal(ours, fresh), name


def test_shapes_are_checked_against_the_model():
    model = random_linear_model(35, 2, 1, 1, 5)
    with pytest.raises(ValueError, match=r"x0 must have shape \(2,\), got \(3,\)"):
        KalmanFilter(model.A, model.B, model.C, model.d, model.Q, model.R, np.zeros(3), model.P0)
    with pytest.raises(ValueError, match=r"y must have shape \(T, 1\)"):
        filter_of(model).run(np.zeros((5, 2)))
