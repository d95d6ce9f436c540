"""kalman_hot_loop from a prior far from the fixed point (10 I), where the change of P_pred starts
at full rank, turns indefinite and falls in rank until the low-rank route takes over mid-sample:
every history and the log-likelihood against the NumPy full recursion, in any units, the same
log-likelihood without histories, the route carried at falling rank, a factorisation that fails
after the route has been taken, and the Joseph form with a jittered gain, which the route does
not carry."""

import numpy as np
import pytest

import reference
from models import LINEAR_FIELDS, LinearModel, random_linear_model
from test_settled_tail import (FLAG_IDS, FLAGS, UNITS, assert_matches_full_recursion,
                               back_in_base_units, in_units, reference_of)

from Velmora._ckernels.kalman import _kalman


def far_prior(seed, n, m, k, T=150):
    """A stable model with correlated observation noise (R not diagonal), from P0 = 10 I."""
    model = random_linear_model(seed, n, m, k, T)
    return LinearModel(**{**vars(model), "P0": 10.0 * np.eye(n)})


MODELS = {
    # the route takes over at periods 19, 29 and 85 (rank 4, 10 and 3)
    "twelve-states": lambda: far_prior(3, 12, 3, 3),
    "thirty-states": lambda: far_prior(5, 30, 8, 8),
    "nine-states-late": lambda: far_prior(6, 9, 2, 2),
}


def run(model, flags, store_history):
    return _kalman.kalman_hot_loop(*model.kalman_args(), *flags, 0.0, return_shocks=True,
                                   store_history=store_history)


@pytest.mark.parametrize("units", ["unit", "split-1e9"])
@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("name", MODELS)
def test_route_taken_mid_sample_matches_full_recursion(name, flags, units):
    base = MODELS[name]()
    want = reference_of(base, *flags)
    D, E = (np.resize(u, size) for u, size in zip(UNITS[units], (base.A.shape[0], base.C.shape[0])))
    model = in_units(base, D, E)
    status, out = run(model, flags, True)
    assert status == 0
    got = dict(zip(LINEAR_FIELDS + ("loglik",), out))
    assert_matches_full_recursion(back_in_base_units(got, D, E, base.T), want, base.Q)
    # without histories the same periods run the same steps
    status, bare = run(model, flags, False)
    assert status == 0 and bare[10] == got["loglik"]


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("seed", [1, 2])
def test_route_at_falling_rank_stays_within_rounding(seed, flags):
    """Forty states from 10 I: the route is taken up at rank 12 to 14 and carries the change at
    lower ranks as its directions fall to rounding, down to one. P_pred stays within 5e-12 of
    the NumPy full recursion in correlation units (directions dropped at 1e3 times rounding leave
    2e-10 to 9e-10) and the log-likelihood within 1e-13."""
    model = far_prior(seed, 40, 4, 4, T=200)
    want = reference_of(model, *flags)
    status, out = run(model, flags, True)
    assert status == 0
    sd = np.sqrt(np.einsum("tii->ti", want["P_pred"]))
    error = np.abs(out[2] - want["P_pred"]) / (sd[:, :, None] * sd[:, None, :])
    assert error.max() <= 5e-12
    assert out[10] == pytest.approx(want["loglik"], rel=1e-13, abs=0)


def failing_later():
    """The twelve-state model with one direction of R made negative: S = C P C' + R is positive
    definite while P_pred is large and loses that as P_pred shrinks, after the route has been
    taken (period 19)."""
    model = far_prior(3, 12, 3, 3)
    S_last = reference_of(model, True, True)["S"][-1]
    w, V = np.linalg.eigh(S_last)
    R = model.R - 0.4 * w[0] * np.outer(V[:, 0], V[:, 0])
    return LinearModel(**{**vars(model), "R": R})


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
def test_failure_after_the_route_is_that_of_the_full_recursion(flags):
    model = failing_later()
    want = reference_of(model, *flags)
    failed_at = len(want["terms"])
    assert want["status"] == -1102 and 30 < failed_at < 100  # the model does what it should
    status, out = run(model, flags, True)
    assert status == -1102
    assert out[10] == pytest.approx(want["loglik"], rel=1e-12)
    for name, array in zip(LINEAR_FIELDS, out[:10]):
        assert not np.any(array[failed_at:]), name
        np.testing.assert_allclose(array[:failed_at], want[name][:failed_at], rtol=1e-6,
                                   atol=1e-8, err_msg=name)
    status, bare = run(model, flags, False)
    assert status == -1102 and bare[10] == out[10]


def with_stationary_start(model):
    status, P0 = _kalman.stationary_covariance(model.A, model.B, model.Q)
    assert status == 0
    return LinearModel(**{**vars(model), "P0": P0})


STARTS = {"far": lambda: far_prior(3, 12, 3, 3),
          "stationary": lambda: with_stationary_start(far_prior(3, 12, 3, 3))}


@pytest.mark.parametrize("symmetrize", [False, True], ids=["joseph", "sym-joseph"])
@pytest.mark.parametrize("start", STARTS)
def test_joseph_form_with_jitter_runs_its_own_recursion(start, symmetrize):
    """A jittered gain is not the optimal one, so the Joseph form is no longer the standard form
    whose recursion the rank-m steps carry."""
    joseph, jitter = True, 0.05
    model = STARTS[start]()
    want = reference.kalman_filter(*model.kalman_args()[2:], symmetrize=symmetrize,
                                   joseph_cov=joseph, jitter=jitter)
    flags = (symmetrize, joseph, jitter)
    status, out = _kalman.kalman_hot_loop(*model.kalman_args(), *flags)
    assert status == 0
    assert out[10] == pytest.approx(want["loglik"], rel=1e-11)
    scale = np.sqrt(np.einsum("tii->ti", want["P_pred"]))
    np.testing.assert_allclose(out[2] / (scale[:, :, None] * scale[:, None, :]),
                               want["P_pred"] / (scale[:, :, None] * scale[:, None, :]),
                               rtol=0, atol=1e-9)
    # without histories, and in the score's forward pass, the same recursion
    assert _kalman.kalman_hot_loop(*model.kalman_args(), *flags, store_history=False)[1][10] \
        == pytest.approx(out[10], rel=1e-12)
    assert _kalman.kalman_loglik_grad(*model.kalman_args(), *flags)[1] \
        == pytest.approx(out[10], rel=1e-12)


def damped_rotation_from_far_above(T=3000):
    """A weakly damped rotation (radius 0.99999) seen through one noisy observable, beside four
    fast states, from P0 = 1e6 I: the change falls to rank two while P_pred is still some 1e4
    times its fixed point, and P_pred keeps shrinking to the end of the sample."""
    rng = np.random.default_rng(3)
    n, angle = 6, 0.003
    A = np.zeros((n, n))
    A[:2, :2] = 0.99999 * np.array([[np.cos(angle), -np.sin(angle)],
                                    [np.sin(angle), np.cos(angle)]])
    A[2:, 2:] = np.diag(rng.uniform(-0.9, 0.9, n - 2))
    A[2:, :2] = 0.1 * rng.standard_normal((n - 2, 2))
    C = np.zeros((1, n))
    C[0, 0], C[0, 2:] = 1.0, rng.standard_normal(n - 2)
    y = np.cumsum(0.1 * rng.standard_normal((T, 1)), axis=0) + rng.standard_normal((T, 1))
    return LinearModel(A, np.eye(n), C, np.zeros(1), 1e-8 * np.eye(n), np.eye(1), y,
                       np.zeros(n), 1e6 * np.eye(n))


@pytest.mark.parametrize("symmetrize", [False, True], ids=["joseph", "sym-joseph"])
def test_route_leaves_no_drift_on_a_covariance_that_keeps_shrinking(symmetrize):
    # the route's sums keep rounding of the size they began at: once P_pred has shrunk far below
    # it, the sample runs in full
    model = damped_rotation_from_far_above()
    want = reference.kalman_filter(*model.kalman_args()[2:], symmetrize=symmetrize,
                                   joseph_cov=True)
    status, out = _kalman.kalman_hot_loop(*model.kalman_args(), symmetrize, True, 0.0)
    assert status == 0
    assert out[10] == pytest.approx(want["loglik"], rel=1e-11)
    sd = np.sqrt(np.einsum("tii->ti", want["P_pred"]))
    assert np.max(np.abs(out[0] - want["x_pred"]) / sd) < 1e-8
