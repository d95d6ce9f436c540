"""stationary_covariance against SciPy's discrete Lyapunov solver, its dimension checks and its
scalar arguments, and concurrent calls from several threads."""

import re
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from scipy.linalg import solve_discrete_lyapunov

from Velmora._ckernels.kalman import _kalman

stationary_covariance = _kalman.stationary_covariance


def random_system(seed, n, k, radius):
    """(A, B, Q): A of spectral radius `radius`, Q symmetric positive definite."""
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((n, n))
    A *= radius / np.abs(np.linalg.eigvals(A)).max()
    G = rng.standard_normal((k, k))
    return A, rng.standard_normal((n, k)), G @ G.T + 0.5 * np.eye(k)


@pytest.mark.parametrize("n, k, radius", [(1, 1, 0.5), (2, 1, 0.9), (3, 3, 0.7), (5, 2, 0.95),
                                          (8, 4, 0.8), (12, 3, 0.6)])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_matches_scipy_lyapunov(seed, n, k, radius):
    A, B, Q = random_system(seed, n, k, radius)
    status, P = stationary_covariance(A, B, Q)
    expected = solve_discrete_lyapunov(A, B @ Q @ B.T)
    assert status == 0 and P.shape == (n, n) and P.dtype == np.float64
    np.testing.assert_allclose(P, expected, rtol=1e-9, atol=1e-9 * np.abs(expected).max())
    np.testing.assert_allclose(P, A @ P @ A.T + B @ Q @ B.T, rtol=1e-9, atol=1e-12)


def test_scalar_ar1():
    status, P = stationary_covariance(np.array([[0.5]]), np.array([[1.0]]), np.array([[1.0]]))
    assert status == 0
    np.testing.assert_allclose(P, [[4.0 / 3.0]], rtol=1e-12)


def test_bounds_and_tolerance():
    A, B, Q = random_system(7, 3, 2, 0.9)
    status, P = stationary_covariance(A, B, Q, max_iterations=0)
    assert status == -1105
    np.testing.assert_allclose(P, B @ Q @ B.T, rtol=1e-12)
    assert stationary_covariance(A, B, Q, 1e-12, -1)[0] == -1105
    np.testing.assert_array_equal(stationary_covariance(A, B, Q, max_iterations=2.5)[1],
                                  stationary_covariance(A, B, Q, max_iterations=2)[1])
    assert stationary_covariance(A, B, Q, tolerance=1)[0] == 0  # an int tolerance is a real
    assert stationary_covariance(np.eye(1), np.eye(1), np.eye(1))[0] == -1105  # unit root
    with pytest.raises(TypeError, match="an integer is required"):
        stationary_covariance(A, B, Q, max_iterations="64")
    with pytest.raises(TypeError, match="must be real number"):
        stationary_covariance(A, B, Q, tolerance="tight")


@pytest.mark.parametrize("tolerance", [0.0, -1.0, float("nan")])
def test_unreachable_tolerance_ends_once_the_passes_change_nothing(tolerance):
    # with 2**62 passes allowed, only the stall test can end the run
    A, B, Q = random_system(5, 4, 2, 0.9)
    status, P = stationary_covariance(A, B, Q, tolerance, 2 ** 62)
    assert status == -1105
    np.testing.assert_allclose(P, solve_discrete_lyapunov(A, B @ Q @ B.T), rtol=1e-9)


@pytest.mark.parametrize("units", ["micro", "mixed", "mega"])
def test_states_in_any_units_converge_alike(units):
    # P(D A D^-1, D B, Q) = D P D: each entry converges in its own correlation units, so a slow
    # state in small units is not stopped where a large one has converged (a test relative to
    # the largest entry, or absolute below 1, stopped it after one pass)
    A, B, Q = random_system(7, 3, 2, 0.9)
    A[0, 0], A[0, 1:] = 0.9999, 0.0  # a slow state
    D = {"micro": np.full(3, 1e-6), "mixed": np.array([1e-6, 1e6, 1.0]),
         "mega": np.full(3, 1e6)}[units]
    want = D[:, None] * solve_discrete_lyapunov(A, B @ Q @ B.T) * D[None, :]
    status, P = stationary_covariance(D[:, None] * A / D[None, :], D[:, None] * B, Q)
    assert status == 0
    sd = np.sqrt(np.diag(want))
    assert np.max(np.abs(P - want) / np.outer(sd, sd)) < 1e-9


@pytest.mark.parametrize("tolerance", [-1.0, float("nan")])
def test_noise_free_permutation_ends_at_once(tolerance):
    # the powers of a permutation cycle instead of settling, while P = 0 never changes
    A = np.roll(np.eye(3), 1, axis=0)
    status, P = stationary_covariance(A, np.ones((3, 1)), np.zeros((1, 1)), tolerance, 2 ** 62)
    assert status == -1105
    assert not P.any()


@pytest.mark.parametrize("A, B, Q, text", [
    (np.zeros((0, 0)), np.zeros((0, 1)), np.zeros((1, 2)),
     "A and B must have positive state and shock dimensions."),
    (np.eye(2), np.zeros((2, 0)), np.zeros((3, 3)),
     "A and B must have positive state and shock dimensions."),
    (np.zeros((2, 3)), np.zeros((3, 1)), np.zeros((2, 2)), "A must be square."),
    (np.eye(2), np.zeros((3, 1)), np.zeros((2, 2)), "B must have the same row count as A."),
    (np.eye(2), np.eye(2), np.eye(1), "Q must be square with dimension B.shape[1]."),
    (np.eye(2), np.eye(2), np.zeros((2, 1)), "Q must be square with dimension B.shape[1]."),
    (np.eye(2), np.eye(2), np.zeros((1, 2)), "Q must be square with dimension B.shape[1]."),
])
def test_dimension_checks_in_order(A, B, Q, text):
    with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
        stationary_covariance(A, B, Q)


def test_rank_is_checked_at_coercion_before_later_arrays():
    with pytest.raises(ValueError, match=re.escape("(expected 2, got 1)")):
        stationary_covariance(np.ones(3), "B is never coerced", None)


def test_converted_and_read_only_inputs():
    A, B, Q = random_system(4, 3, 2, 0.8)
    expected = stationary_covariance(A, B, Q)[1]
    for converted in ((A.tolist(), B, Q), (np.asfortranarray(A), B.T.copy().T, Q.tolist())):
        np.testing.assert_array_equal(stationary_covariance(*converted)[1], expected)
    frozen = A.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        stationary_covariance(frozen, B, Q)
    frozen_ints = np.zeros((3, 3), dtype=np.int32)
    frozen_ints.flags.writeable = False
    np.testing.assert_allclose(stationary_covariance(frozen_ints, B, Q)[1], B @ Q @ B.T)


def test_concurrent_calls_match_sequential_ones():
    systems = [random_system(seed, 6 + seed % 5, 2, 0.97) for seed in range(24)]
    sequential = [stationary_covariance(*s) for s in systems]
    with ThreadPoolExecutor(max_workers=4) as pool:
        concurrent = list(pool.map(lambda s: stationary_covariance(*s), systems * 3))
    for (status, P), (expected_status, expected_P) in zip(concurrent, sequential * 3):
        assert status == expected_status == 0
        np.testing.assert_array_equal(P, expected_P)
