"""kalman_loglik_grad against central finite differences of kalman_hot_loop's log-likelihood,
its failure status, and the argument checks it shares with kalman_hot_loop."""

import ctypes
import re

import numpy as np
import pytest

from models import LinearModel, random_linear_model
from signatures import names
from test_kalman_hot_loop import shrinking_variance_model

from Velmora._ckernels.kalman import _kalman


class ArenaSize(ctypes.Structure):
    _fields_ = [("n_float", ctypes.c_int64), ("n_int", ctypes.c_int64)]

# the gradient's arrays, in the order of their parameters: every model matrix but the data y
INPUTS = [name for name in names("kalman_loglik_grad", "A", "P0") if name != "y"]
FLAGS = [
    pytest.param(dict(symmetrize=False, joseph_cov=False, jitter=0.0), False, id="plain"),
    pytest.param(dict(symmetrize=True, joseph_cov=True, jitter=0.0), False, id="sym-joseph"),
    pytest.param(dict(symmetrize=True, joseph_cov=False, jitter=0.2), True, id="sym-jitter-asym"),
    pytest.param(dict(symmetrize=False, joseph_cov=True, jitter=1e-2), True,
                 id="joseph-jitter-asym"),
]


def loglik(model, flags):
    args = model.kalman_args()
    return _kalman.kalman_hot_loop(*args, **flags, store_history=False)[1][10]


def central_differences(model, flags, name):
    """d loglik / d(name) cell by cell, steps relative to each cell's size."""
    X = getattr(model, name)
    grad = np.empty_like(X)
    for index in np.ndindex(X.shape):
        x = X[index]
        h = 1e-5 * max(1.0, abs(x))
        X[index] = x + h
        up = loglik(model, flags)
        X[index] = x - h
        down = loglik(model, flags)
        X[index] = x
        grad[index] = (up - down) / (2 * h)
    return grad


@pytest.mark.parametrize("flags, asymmetric", FLAGS)
@pytest.mark.parametrize("nmk, T, radius", [((1, 1, 1), 12, 0.9), ((4, 3, 2), 12, 0.9),
                                            ((3, 5, 4), 12, 0.9), ((4, 3, 2), 150, 0.5)], ids=str)
def test_gradient_matches_central_differences(nmk, T, radius, flags, asymmetric):
    # T = 150 settles early: its settled periods run back a chunk at a time, the last one ragged
    model = random_linear_model(7 + sum(nmk), *nmk, T=T, radius=radius)
    if asymmetric:  # the gradient is that of the function computed, whatever the symmetry
        rng = np.random.default_rng(3)
        for name in ("Q", "R", "P0"):
            X = getattr(model, name)
            X += 0.1 * np.triu(rng.standard_normal(X.shape), 1)
    status, value, grads = _kalman.kalman_loglik_grad(*model.kalman_args(), **flags)
    assert status == 0
    assert value == pytest.approx(loglik(model, flags), rel=1e-12)
    assert len(grads) == len(INPUTS)
    for name, grad in zip(INPUTS, grads):
        assert grad.shape == getattr(model, name).shape and grad.dtype == np.float64, name
        np.testing.assert_allclose(grad, central_differences(model, flags, name), rtol=1e-6,
                                   atol=1e-6, err_msg=name)


def test_failed_factorisation_gives_partial_loglik_and_zero_gradients():
    model = shrinking_variance_model()
    flags = dict(symmetrize=False, joseph_cov=True, jitter=0.0)
    status, value, grads = _kalman.kalman_loglik_grad(*model.kalman_args(), **flags)
    assert status == -1102
    assert value == loglik(model, flags)
    assert all(not np.any(grad) for grad in grads)


@pytest.mark.parametrize("change", [dict(A=np.zeros((2, 3))), dict(nmk=(2, -1, 1)),
                                    dict(y=np.zeros((5, 1))), dict(P0=np.zeros(2))], ids=str)
def test_refusals_are_those_of_kalman_hot_loop(kf_kwargs, change):
    with pytest.raises(ValueError) as expected:
        _kalman.kalman_hot_loop(**{**kf_kwargs, **change})
    with pytest.raises(ValueError, match="^" + re.escape(str(expected.value)) + "$"):
        _kalman.kalman_loglik_grad(**{**kf_kwargs, **change})


def test_a_tape_beyond_memory_is_refused_not_wrapped():
    # 2**59 periods of 2 n (n + 1) = 480 tape cells wrap to 0 cells in 64 bits, and the empty y
    # does not bound T
    n, m, k, T = 15, 0, 1, 2 ** 59
    model = LinearModel(np.eye(n), np.ones((n, k)), np.zeros((m, n)), np.zeros(m), np.eye(k),
                        np.eye(m), np.zeros((T, m)), np.zeros(n), np.eye(n))
    with pytest.raises(MemoryError, match="arena"):
        _kalman.kalman_loglik_grad(*model.kalman_args(), symmetrize=False, joseph_cov=False,
                                   jitter=0.0)


@pytest.mark.parametrize("flags, asymmetric", FLAGS[:2])
def test_gradient_from_a_stationary_start(flags, asymmetric):
    # the forward pass takes the filter's rank-m route there; the partial derivatives, P0's
    # included, are still those of the full recursion
    model = random_linear_model(11, 6, 2, 2, T=40, radius=0.9)
    status, P0 = _kalman.stationary_covariance(model.A, model.B, model.Q, 1e-15, 80)
    model.P0[...] = P0
    status, value, grads = _kalman.kalman_loglik_grad(*model.kalman_args(), **flags)
    assert status == 0 and value == pytest.approx(loglik(model, flags), rel=1e-12)
    for name, grad in zip(INPUTS, grads):
        np.testing.assert_allclose(grad, central_differences(model, flags, name), rtol=1e-6,
                                   atol=1e-6, err_msg=name)


def directional_difference(model, flags, name, direction, loglik_of):
    """d loglik along `direction` in the cells of one input, by central differences."""
    X = getattr(model, name)
    base, h = X.copy(), 1e-6 * max(1.0, np.abs(X).max())
    values = []
    for step in (h, -h):
        X[...] = base + step * direction
        values.append(loglik_of(model, flags))
    X[...] = base
    return (values[0] - values[1]) / (2 * h)


@pytest.mark.parametrize("prior, gaps, flags", [
    ("asymmetric", True, dict(symmetrize=False, joseph_cov=False, jitter=0.0)),
    ("ten", False, dict(symmetrize=True, joseph_cov=True, jitter=0.2)),
    ("stationary", False, dict(symmetrize=True, joseph_cov=False, jitter=0.0)),
], ids=["as-computed-with-gaps", "joseph-jitter", "stationary-route"])
def test_a_tape_without_filtered_covariances_forms_them_again(prior, gaps, flags):
    # so long a sample that its tape leaves P_filt out (beyond 32 MiB with it) and the reverse
    # sweep forms each again: the gradient along a random direction of every input
    n, m, k, T = 100, 3, 3, 220
    library = ctypes.CDLL(_kalman.__file__)
    library.kf_loglik_grad_arena_size.restype = ArenaSize
    cells = library.kf_loglik_grad_arena_size(*(ctypes.c_int64(v) for v in (n, m, k, T))).n_float
    assert cells < 2 * n * n * T
    model = random_linear_model(17, n, m, k, T=T, radius=0.95)
    rng = np.random.default_rng(5)
    if prior == "asymmetric":
        model.P0 += 0.01 * np.triu(rng.standard_normal((n, n)), 1)
    elif prior == "ten":
        model.P0[...] = 10.0 * np.eye(n)
    else:
        model.P0[...] = _kalman.stationary_covariance(model.A, model.B, model.Q)[1]
    if gaps:
        model.y[rng.random(model.y.shape) < 0.1] = np.nan
        model.y[7] = np.nan

    def loglik_of(model, flags):
        return _kalman.kalman_filter_missing(*model.kalman_args(), **flags,
                                             store_history=False)[1][10]

    status, value, grads = _kalman.kalman_loglik_grad(*model.kalman_args(), **flags)
    assert status == 0 and value == pytest.approx(loglik_of(model, flags), rel=1e-12)
    for name, grad in zip(INPUTS, grads):
        direction = rng.standard_normal(grad.shape)
        want = directional_difference(model, flags, name, direction, loglik_of)
        assert np.sum(grad * direction) == pytest.approx(want, rel=1e-5, abs=1e-6), name
