"""kalman_loglik_grad_stationary: the log-likelihood from the stationary start and its total
gradient, against directional central differences of stationary_covariance + kalman_hot_loop and
against the partial score carried through stationary_covariance_grad; the routes it may not take,
its failure statuses, and KalmanFilter.stationary(...).loglik_grad."""

import dataclasses

import numpy as np
import pytest

from models import random_linear_model

from Velmora._ckernels.kalman import _kalman
from Velmora.kalman import KalmanFilter, LoglikGradient
from Velmora.kalman.errors import KF_CHOLESKY_FAILED, KF_NOT_CONVERGED, NotConvergedError

FLAGS = [(True, True), (True, False), (False, False), (False, True)]
FLAG_IDS = ["sym-joseph", "sym-standard", "standard", "joseph-unsymmetrised"]
NAMES = ("A", "B", "C", "d", "Q", "R", "x0")
TOL, MAX_ITER = 1e-14, 80


def stationary_start(model):
    status, P0 = _kalman.stationary_covariance(model.A, model.B, model.Q, TOL, MAX_ITER)
    assert status == 0
    return P0


def args_with(model, y=None, **changed):
    """kalman_hot_loop's model arguments with the stationary start of the (changed) model."""
    model = dataclasses.replace(model, **changed, y=model.y if y is None else y)
    return model.kalman_args()[:10] + (stationary_start(model),)


def composite_loglik(model, flags, **changed):
    args = args_with(model, **changed)
    return _kalman.kalman_hot_loop(*args, *flags, 0.0, store_history=False)[1][10]


def chained_partials(model, flags, y=None):
    """The total gradient as kalman_loglik_grad's partials plus P0_bar through the solver."""
    args = args_with(model, y)
    status, loglik, g = _kalman.kalman_loglik_grad(*args, *flags, 0.0)
    assert status == 0
    _, A_bar, B_bar, Q_bar = _kalman.stationary_covariance_grad(model.A, model.B, model.Q, g[7],
                                                                TOL, MAX_ITER)
    return loglik, (g[0] + A_bar, g[1] + B_bar, g[2], g[3], g[4] + Q_bar, g[5], g[6])


def total(model, flags, y=None):
    status, loglik, grads = _kalman.kalman_loglik_grad_stationary(*args_with(model, y), *flags,
                                                                  0.0, TOL, MAX_ITER)
    assert status == 0
    return loglik, grads


# (seed, n, m, k, T, radius): the last two are slow enough to settle only after many periods,
# m >= n runs the rank-m recursions where they do not pay in the filter
MODELS = [(1, 1, 1, 1, 40, 0.7), (2, 3, 1, 2, 60, 0.9), (3, 6, 2, 3, 80, 0.8),
          (4, 2, 3, 2, 50, 0.6), (5, 4, 2, 2, 400, 0.97), (6, 10, 3, 3, 300, 0.95)]


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("case", MODELS, ids=lambda c: "n{1}-m{2}-T{4}".format(*c))
def test_total_gradient_matches_the_chained_partials(case, flags):
    seed, n, m, k, T, radius = case
    model = random_linear_model(seed, n, m, k, T=T, radius=radius)
    loglik, grads = total(model, flags)
    want_loglik, want = chained_partials(model, flags)
    assert loglik == pytest.approx(composite_loglik(model, flags), rel=1e-12, abs=1e-10)
    assert loglik == pytest.approx(want_loglik, rel=1e-12, abs=1e-10)
    for name, got, expected in zip(NAMES, grads, want, strict=True):
        scale = max(np.abs(expected).max(), 1.0)
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9 * scale, err_msg=name)


@pytest.mark.parametrize("flags", FLAGS[:3], ids=FLAG_IDS[:3])
@pytest.mark.parametrize("case", [MODELS[2], MODELS[4]], ids=["n6", "n4-slow"])
def test_total_gradient_matches_central_differences(case, flags):
    # one random direction per input, the stationary start moving with A, B and Q
    seed, n, m, k, T, radius = case
    model = random_linear_model(seed, n, m, k, T=T, radius=radius)
    _, grads = total(model, flags)
    rng, h = np.random.default_rng(seed), 1e-6
    for name, grad in zip(NAMES, grads, strict=True):
        X = getattr(model, name)
        direction = rng.standard_normal(X.shape)
        up = composite_loglik(model, flags, **{name: X + h * direction})
        down = composite_loglik(model, flags, **{name: X - h * direction})
        want = (up - down) / (2 * h)
        assert np.sum(grad * direction) == pytest.approx(want, rel=2e-6, abs=1e-6), name


@pytest.mark.parametrize("flags", FLAGS[:3], ids=FLAG_IDS[:3])
def test_gradient_in_any_units(flags):
    # states in units 1e8 apart: x' = D x gives A' = D A D^-1, B' = D B, C' = C D^-1, x0' = D x0,
    # the same log-likelihood, and gradients that map back cell by cell (the route's tests are
    # in correlation units, so it is taken alike)
    model = random_linear_model(12, 5, 2, 2, T=300, radius=0.97)
    D = np.logspace(-4, 4, 5)
    scaled = dataclasses.replace(model, A=D[:, None] * model.A / D, B=D[:, None] * model.B,
                                 C=model.C / D, x0=D * model.x0)
    loglik, grads = total(model, flags)
    scaled_loglik, g = total(scaled, flags)
    assert scaled_loglik == pytest.approx(loglik, rel=1e-10)
    mapped = (D[:, None] * g[0] / D, D[:, None] * g[1], g[2] / D, g[3], g[4], g[5], D * g[6])
    for name, got, want in zip(NAMES, mapped, grads, strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-9 * np.abs(want).max(),
                                   err_msg=name)


@pytest.mark.parametrize("flags", FLAGS[:3], ids=FLAG_IDS[:3])
def test_missing_observations_take_the_full_score(flags):
    model = random_linear_model(7, 4, 3, 2, T=60, radius=0.85)
    y = model.y.copy()
    y[5, 1] = y[17] = y[40, 0] = np.nan
    loglik, grads = total(model, flags, y)
    want_loglik, want = chained_partials(model, flags, y)
    assert np.isfinite(loglik) and loglik == pytest.approx(want_loglik, rel=1e-12)
    for name, got, expected in zip(NAMES, grads, want, strict=True):
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9 * np.abs(expected).max(),
                                   err_msg=name)


def test_failures_come_back_as_the_status_with_zero_gradients():
    model = random_linear_model(8, 3, 2, 2, T=20, radius=0.8)
    # an innovation covariance that cannot be factorised
    status, loglik, grads = _kalman.kalman_loglik_grad_stationary(
        *args_with(model, R=-10.0 * np.eye(2)), True, False, 0.0)
    assert status == KF_CHOLESKY_FAILED and all(not g.any() for g in grads)
    # a start that is not stationary for A: the adjoint solve cannot converge
    args = list(args_with(model))
    args[2] = 1.2 * np.eye(3)
    status, _, grads = _kalman.kalman_loglik_grad_stationary(*args, True, True, 0.0)
    assert status == KF_NOT_CONVERGED and all(not g.any() for g in grads)


@pytest.mark.parametrize("flags", FLAGS[:3], ids=FLAG_IDS[:3])
def test_kalman_filter_gradients(flags):
    model = random_linear_model(9, 5, 2, 3, T=50, radius=0.9)
    options = dict(symmetrize=flags[0], joseph_cov=flags[1])
    stationary = KalmanFilter.stationary(model.A, model.B, model.C, model.d, model.Q, model.R,
                                         model.x0, tolerance=TOL, max_iterations=MAX_ITER,
                                         **options)
    result = stationary.loglik_grad(model.y)
    assert isinstance(result, LoglikGradient) and result.P0_bar is None
    loglik, grads = total(model, flags)
    assert result.loglik == loglik and result.loglik == pytest.approx(stationary.loglik(model.y))
    for got, expected in zip(result[1:8], grads, strict=True):
        np.testing.assert_array_equal(got, expected)
    given = KalmanFilter(model.A, model.B, model.C, model.d, model.Q, model.R, model.x0,
                         model.P0, **options).loglik_grad(model.y)
    status, want_loglik, want = _kalman.kalman_loglik_grad(*model.kalman_args()[:10], model.P0,
                                                           *flags, 0.0)
    assert given.loglik == want_loglik
    for got, expected in zip(given[1:], want, strict=True):
        np.testing.assert_array_equal(got, expected)


def test_kalman_filter_refuses_a_start_that_is_not_stationary():
    with pytest.raises(NotConvergedError, match="KalmanFilter.stationary"):
        KalmanFilter.stationary(1.5 * np.eye(1), np.eye(1), np.eye(1), np.zeros(1), np.eye(1),
                                np.eye(1), np.zeros(1))
