"""The shortcuts of kalman_hot_loop (the settled tail, the low-rank route from a stationary start)
and kalman_loglik_grad on badly scaled and slowly converging models: every history and the
log-likelihood against the NumPy full recursion, the settle period against a change of units,
and the score against the filter it differentiates."""

import numpy as np
import pytest

import reference
from models import LINEAR_FIELDS, LinearModel

from Velmora._ckernels.kalman import _kalman

FLAGS = [(s, j) for s in (False, True) for j in (False, True)]
FLAG_IDS = ["plain", "joseph", "symmetrize", "sym-joseph"]
# (state scales, observable scales): units up to 1e12 apart
UNITS = {
    "unit": ([1.0, 1.0, 1.0], [1.0, 1.0]),
    "split-1e9": ([1e6, 1.0, 1e-3], [1e3, 1e-2]),
    "split-1e10": ([1e-5, 1e5, 1e5], [1.0, 1e6]),
}


def ar_model(seed, rates, T, coupling=0.3):
    """Well-conditioned states with rates from fast to a near unit root, coupled by a
    near-identity change of basis (or not at all) and seen through noise; data simulated from
    the model."""
    rng = np.random.default_rng(seed)
    n, m = len(rates), 2
    V = np.eye(n) + coupling * np.linalg.qr(rng.standard_normal((n, n)))[0]
    A = V @ np.diag(rates) @ np.linalg.inv(V)
    B, Q = np.eye(n), np.diag(rng.uniform(0.005, 0.015, n))
    C, d = rng.standard_normal((m, n)), rng.standard_normal(m)
    R = np.diag(rng.uniform(0.2, 1.0, m))
    x, y = np.zeros(n), np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + d + rng.multivariate_normal(np.zeros(m), R)
        x = A @ x + B @ rng.multivariate_normal(np.zeros(n), Q)
    return LinearModel(A, B, C, d, Q, R, y, np.zeros(n), 10.0 * np.eye(n))


def local_level(q, T, seed=2):
    """A random walk with signal-to-noise ratio q: its gain is about sqrt(q), so its covariance
    creeps towards the fixed point at a rate near 1."""
    rng = np.random.default_rng(seed)
    y = np.cumsum(np.sqrt(q) * rng.standard_normal(T)) + rng.standard_normal(T)
    one = np.eye(1)
    return LinearModel(one, one, one, np.zeros(1), q * one, one, y[:, None], np.zeros(1), 1e3 * one)


def stationary_start(model):
    status, P0 = _kalman.stationary_covariance(model.A, model.B, model.Q)
    assert status == 0
    return LinearModel(**{**vars(model), "P0": P0})


def in_units(model, D, E):
    """The same model with x in units D and y in units E: x' = D x, y' = E y."""
    D, E = np.asarray(D, float), np.asarray(E, float)
    return LinearModel(model.A * D[:, None] / D[None, :], model.B * D[:, None],
                       model.C * E[:, None] / D[None, :], model.d * E, model.Q,
                       model.R * np.outer(E, E), model.y * E, model.x0 * D,
                       model.P0 * np.outer(D, D))


def filter_out(model, symmetrize, joseph_cov):
    status, out = _kalman.kalman_hot_loop(*model.kalman_args(), symmetrize, joseph_cov, 0.0,
                                          return_shocks=True)
    assert status == 0
    return dict(zip(LINEAR_FIELDS + ("loglik",), out))


def settle_period(P_pred):
    """First period from which every stored P_pred repeats the last one; None if it never did."""
    t = len(P_pred) - 1
    while t > 0 and np.array_equal(P_pred[t - 1], P_pred[-1]):
        t -= 1
    return t if t < len(P_pred) - 1 else None


def back_in_base_units(out, D, E, T):
    """Histories of a run in units (D, E) expressed in the base units; the log-likelihood loses
    the Jacobian T sum ln|E| of the change of observation units."""
    D, E = np.asarray(D, float), np.asarray(E, float)
    state, obs = {"x_pred", "x_filt"}, {"y_pred", "y_filt", "innov"}
    base = {name: out[name] / D for name in state}
    base.update({name: out[name] / E for name in obs})
    base.update({name: out[name] / np.outer(D, D) for name in ("P_pred", "P_filt")})
    base.update(S=out["S"] / np.outer(E, E), std_innov=out["std_innov"], eps_hat=out["eps_hat"])
    base["loglik"] = out["loglik"] + T * np.sum(np.log(np.abs(E)))
    return base


def assert_matches_full_recursion(got, want, Q):
    """States in units of their standard deviation (1e-7), covariances in correlation units
    (1e-9), observations in units of the innovation's standard deviation, shocks in units of
    theirs, the log-likelihood to 1e-10 relative."""
    def sd(name):
        return np.sqrt(np.einsum("tii->ti", want[name]))
    sd_pred, sd_filt, sd_innov = sd("P_pred"), sd("P_filt"), sd("S")
    scaled = {
        "x_pred": sd_pred, "x_filt": sd_filt, "y_pred": sd_innov, "y_filt": sd_innov,
        "innov": sd_innov, "std_innov": 1.0, "eps_hat": np.sqrt(np.diag(Q)),
        "P_pred": sd_pred[:, :, None] * sd_pred[:, None, :],
        "P_filt": sd_filt[:, :, None] * sd_filt[:, None, :],
        "S": sd_innov[:, :, None] * sd_innov[:, None, :],
    }
    for name, unit in scaled.items():
        tolerance = 1e-7 if name in ("x_pred", "x_filt", "y_pred", "y_filt", "eps_hat") else 1e-9
        error = np.max(np.abs(got[name] - want[name]) / unit)
        assert error <= tolerance, f"{name}: {error:.2e} of its own scale"
    assert got["loglik"] == pytest.approx(want["loglik"], rel=1e-10, abs=0)


def reference_of(model, symmetrize, joseph_cov):
    m = model
    return reference.kalman_filter(m.A, m.B, m.C, m.d, m.Q, m.R, m.y, m.x0, m.P0,
                                   symmetrize=symmetrize, joseph_cov=joseph_cov)


MODELS = {
    # fast and near-unit-root states side by side, apart (in units 1e6 apart, the fast large
    # state arrives while the slow small one still moves) and coupled, and a negative rate
    "fast-and-slow": lambda: ar_model(4, [0.5, 0.999, 0.9], 3000, coupling=0.0),
    "fast-and-slow-coupled": lambda: ar_model(4, [0.5, 0.999, 0.9], 3000),
    "near-unit-root": lambda: ar_model(5, [0.99, 0.3, 0.9999], 3000, coupling=0.0),
    "oscillating": lambda: ar_model(6, [0.95, -0.9, 0.999], 3000),
    # enough states for rank-2 steps to pay: a stationary start takes the low-rank route
    "six-states": lambda: ar_model(7, [0.5, 0.999, 0.9, 0.3, -0.7, 0.95], 2000),
}


@pytest.mark.parametrize("start", ["given", "stationary"])
@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("name", MODELS)
def test_settled_histories_match_full_recursion_in_any_units(name, flags, start):
    base = MODELS[name]()
    if start == "stationary":
        base = stationary_start(base)
    want = reference_of(base, *flags)
    settled_at = {}
    for units, (D, E) in UNITS.items():
        D = np.resize(D, base.A.shape[0])  # the pattern repeated over the states
        out = filter_out(in_units(base, D, E), *flags)
        settled_at[units] = settle_period(out["P_pred"])
        assert_matches_full_recursion(back_in_base_units(out, D, E, base.T), want, base.Q)
    # the units decide neither whether nor (up to rounding) when the recursion settles
    periods = list(settled_at.values())
    assert all(p is not None for p in periods), settled_at
    assert max(periods) - min(periods) <= 8 + 0.02 * min(periods), settled_at


def millions_model(T):
    """A level in millions beside rates in hundredths: the small block keeps moving long after
    the large one has arrived."""
    rng = np.random.default_rng(0)
    A = np.array([[0.99, 0.0, 0.0], [0.0, 0.9, 0.05], [0.0, 0.0, 0.8]])
    C = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 1.0]])
    Q, R = np.diag([1e8, 1e-2, 1e-6]), np.diag([1e4, 1e-4])
    x, y = np.zeros(3), np.empty((T, 2))
    for t in range(T):
        y[t] = C @ x + rng.multivariate_normal(np.zeros(2), R)
        x = A @ x + rng.multivariate_normal(np.zeros(3), Q)
    return LinearModel(A, np.eye(3), C, np.zeros(2), Q, R, y, np.zeros(3),
                       np.diag([1e9, 1.0, 1.0]))


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
def test_states_in_millions_beside_rates_in_hundredths(flags):
    model = millions_model(10_000)
    out = filter_out(model, *flags)
    assert settle_period(out["P_pred"]) is not None
    assert_matches_full_recursion(out, reference_of(model, *flags), model.Q)


@pytest.mark.parametrize("q, T", [(1e-2, 2000), (1e-4, 6000), (1e-6, 20_000)])
def test_slow_random_walk_settles_only_once_arrived(q, T):
    model = local_level(q, T)
    out = filter_out(model, True, True)
    assert_matches_full_recursion(out, reference_of(model, True, True), model.Q)
    # the gain sqrt(q) sets the pace: the recursion needs on the order of 1 / sqrt(q) periods
    settled = settle_period(out["P_pred"])
    assert settled is None or settled > 1.0 / np.sqrt(q)


SCORE_MODELS = {
    # (model, the states' units)
    "millions": lambda: (millions_model(2000), np.array([1e4, 0.1, 1e-3])),
    "fast-and-slow-split": lambda: (in_units(ar_model(4, [0.5, 0.999, 0.9], 600, coupling=0.0),
                                             *UNITS["split-1e9"]), np.array(UNITS["split-1e9"][0])),
}


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("name", SCORE_MODELS)
def test_score_is_the_gradient_of_the_filters_loglik(name, flags):
    # the score settles later than the filter, or (unsymmetrised) not at all: both must give the
    # full recursion's log-likelihood, and central differences of the filter the score
    model, D = SCORE_MODELS[name]()
    args = model.kalman_args()
    status, loglik, grads = _kalman.kalman_loglik_grad(*args, *flags, 0.0)
    assert status == 0
    assert loglik == pytest.approx(filter_out(model, *flags)["loglik"], rel=1e-12, abs=0)

    def filtered_loglik(A):
        return _kalman.kalman_hot_loop(args[0], args[1], A, *args[3:], *flags, 0.0,
                                       store_history=False)[1][10]
    A_bar = grads[0]
    scale = np.abs(A_bar * D[None, :] / D[:, None]).max()  # A_bar[i, j] is in units D_j / D_i
    for i, j in [(0, 0), (1, 1), (1, 2)]:
        h = 1e-6 * D[i] / D[j]  # A[i, j] is in units D_i / D_j
        up, down = model.A.copy(), model.A.copy()
        up[i, j] += h
        down[i, j] -= h
        difference = (filtered_loglik(up) - filtered_loglik(down)) / (2 * h)
        assert difference == pytest.approx(A_bar[i, j], rel=1e-5, abs=1e-6 * scale * D[j] / D[i])
