"""Missing observations, the state and disturbance smoother and the simulation smoother: against
dense Gaussian conditioning of the whole sample, statsmodels' KalmanSmoother and
SimulationSmoother, and central differences of the log-likelihood with gaps."""

import numpy as np
import pytest
from scipy.linalg import solve_discrete_are, solve_discrete_lyapunov
from scipy.stats import multivariate_normal
from statsmodels.tsa.statespace.kalman_smoother import KalmanSmoother
from statsmodels.tsa.statespace.simulation_smoother import SimulationSmoother

from models import LinearModel, random_linear_model, random_spd
import reference
from reference import CHOLESKY_FAILED
from test_settled_tail import UNITS, in_units

from Velmora._ckernels.kalman import _kalman
from Velmora.kalman import KalmanFilter, SmootherResult
from Velmora.kalman.errors import CholeskyFailedError

FLAGS = [(False, False), (True, False), (False, True), (True, True)]
FLAG_IDS = ["plain", "symmetrize", "joseph", "sym-joseph"]
GAPS = ["complete", "partial", "whole"]


def with_gaps(y, gaps, seed=1):
    """y with 15% of its entries missing ("partial") and, for "whole", three whole periods."""
    y = y.copy()
    if gaps == "complete":
        return y
    y[np.random.default_rng(seed).random(y.shape) < 0.15] = np.nan
    if gaps == "whole":
        y[[0, 5, len(y) - 1]] = np.nan
    return y


def prior_carrying_shock(model, seed=4):
    """The model with P0 = B Q B' + an SPD matrix, so that the prior carries the shock of period 0
    with a valid joint distribution."""
    rng = np.random.default_rng(seed)
    P0 = model.B @ model.Q @ model.B.T + random_spd(rng, model.A.shape[0], 0.5)
    return LinearModel(**{**vars(model), "P0": P0})


def filter_of(model, symmetrize=True, joseph_cov=False):
    m = model
    return KalmanFilter(m.A, m.B, m.C, m.d, m.Q, m.R, m.x0, m.P0, symmetrize=symmetrize,
                        joseph_cov=joseph_cov)


def diagonal_noise(model, variances):
    return LinearModel(**{**vars(model), "R": np.diag(variances)})


def missing_loglik(model, y, symmetrize, joseph, jitter, store):
    args = LinearModel(**{**vars(model), "y": y}).kalman_args()
    status, out = _kalman.kalman_filter_missing(*args, symmetrize, joseph, jitter, False, store)
    return status, out[-1]


def dense_posterior(model, y):
    """Moments of (x, eps, eta) given the observed entries of y, and their log-density, from the
    joint Gaussian of the whole sample: x(0) = x0 + w + B eps(0), w ~ N(0, P0 - B Q B'),
    x(t) = A x(t-1) + B eps(t), y(t) = C x(t) + d + eta(t)."""
    A, B, C, d, Q, R = model.A, model.B, model.C, model.d, model.Q, model.R
    (n, m, k), T = model.nmk, len(y)
    dim = n + T * k + T * m
    cov = np.zeros((dim, dim))
    cov[:n, :n] = model.P0 - B @ Q @ B.T
    for t in range(T):
        e, h = n + t * k, n + T * k + t * m
        cov[e:e + k, e:e + k], cov[h:h + m, h:h + m] = Q, R
    Mx, Me, Mh = np.zeros((T * n, dim)), np.zeros((T * k, dim)), np.zeros((T * m, dim))
    mx = np.zeros(T * n)
    for t in range(T):
        Me[t * k:(t + 1) * k, n + t * k:n + (t + 1) * k] = np.eye(k)
        Mh[t * m:(t + 1) * m, n + T * k + t * m:n + T * k + (t + 1) * m] = np.eye(m)
        prev = np.eye(n, dim) if t == 0 else A @ Mx[(t - 1) * n:t * n]
        Mx[t * n:(t + 1) * n] = prev + B @ Me[t * k:(t + 1) * k]
        mx[t * n:(t + 1) * n] = model.x0 if t == 0 else A @ mx[(t - 1) * n:t * n]
    My = np.kron(np.eye(T), C) @ Mx + Mh
    my = np.kron(np.eye(T), C) @ mx + np.tile(d, T)
    obs = ~np.isnan(y.ravel())
    Syy = My[obs] @ cov @ My[obs].T
    gain = lambda M: np.linalg.solve(Syy, My[obs] @ cov @ M.T).T  # noqa: E731
    innovation = y.ravel()[obs] - my[obs]
    Gx, Ge, Gh = gain(Mx), gain(Me), gain(Mh)
    Vx = Mx @ cov @ Mx.T - Gx @ My[obs] @ cov @ Mx.T
    Ve = Me @ cov @ Me.T - Ge @ My[obs] @ cov @ Me.T
    return {"x": (mx + Gx @ innovation).reshape(T, n),
            "P": np.array([Vx[t * n:(t + 1) * n, t * n:(t + 1) * n] for t in range(T)]),
            "eps": (Ge @ innovation).reshape(T, k), "eps_var": np.diag(Ve).reshape(T, k),
            "eta": (Gh @ innovation).reshape(T, m),
            "loglik": multivariate_normal(my[obs], Syy).logpdf(y.ravel()[obs])}


def statsmodels_smoother(model, y, kind=KalmanSmoother):
    """statsmodels' smoother of the same model, without its steady-state shortcut."""
    n, m, k = model.nmk
    ks = kind(k_endog=m, k_states=n, k_posdef=k, tolerance=0)
    ks.bind(y)
    for name, value in (("design", model.C), ("obs_intercept", model.d), ("obs_cov", model.R),
                        ("transition", model.A), ("selection", model.B),
                        ("state_cov", model.Q)):
        ks[name] = value
    ks.initialize_known(model.x0, model.P0)
    return ks, ks.smooth()


def assert_smoothed(got, x, P, eps, eta, loglik, eps_scale, atol=1e-8):
    """States in units of their smoothed sd, covariances in correlation units, shocks in units of
    their sd; the log-likelihood to 1e-10 relative."""
    sd = np.sqrt(np.einsum("tii->ti", P))
    assert np.max(np.abs(got.x_smooth - x) / sd) <= atol
    assert np.max(np.abs(got.P_smooth - P) / (sd[:, :, None] * sd[:, None, :])) <= atol
    assert np.max(np.abs(got.eps_smooth[-len(eps):] - eps) / eps_scale) <= atol
    assert np.max(np.abs(np.nan_to_num(got.eta_smooth - eta))) <= atol * 10
    assert got.loglik == pytest.approx(loglik, rel=1e-10, abs=0)


@pytest.mark.parametrize("noise", ["correlated", "diagonal"])
@pytest.mark.parametrize("gaps", GAPS)
@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
def test_smoother_is_the_dense_conditional_expectation(gaps, flags, noise):
    # correlated R: eta_smooth of a missing row is its regression on the observed rows; diagonal
    # R with gaps: the forward pass takes the observed rows one at a time
    model = prior_carrying_shock(random_linear_model(7, 3, 3, 2, 14))
    if noise == "diagonal":
        model = diagonal_noise(model, [0.4, 1.5, 0.8])
    y = with_gaps(model.y, gaps)
    got = filter_of(model, *flags).smooth(y)
    want = dense_posterior(model, y)
    assert_smoothed(got, want["x"], want["P"], want["eps"], want["eta"], want["loglik"],
                    np.sqrt(np.diag(model.Q)))


@pytest.mark.parametrize("gaps", GAPS)
@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
def test_smoother_matches_statsmodels(gaps, flags):
    model = random_linear_model(3, 4, 3, 2, 200)  # settles when complete
    y = with_gaps(model.y, gaps)
    got = filter_of(model, *flags).smooth(y)
    _, sm = statsmodels_smoother(model, y)
    # statsmodels' state disturbance at t moves its state t to t + 1: our shock of period t + 1;
    # its measurement disturbance is zero where y is missing
    eta = np.where(np.isnan(y), got.eta_smooth, sm.smoothed_measurement_disturbance.T)
    assert_smoothed(got, sm.smoothed_state.T, sm.smoothed_state_cov.transpose(2, 0, 1),
                    sm.smoothed_state_disturbance.T[:-1], eta, sm.llf_obs.sum(),
                    np.sqrt(np.diag(model.Q)), atol=1e-7)


@pytest.mark.parametrize("D, E", [([1.0] * 4, [1.0] * 3),
                                  ([1e6, 1.0, 1e-3, 1e2], [1e3, 1e-2, 1.0]),
                                  ([1e-5, 1e5, 1.0, 1e5], [1.0, 1e5, 1e-1])],
                         ids=["unit", "split-1e9", "split-1e10"])
def test_settled_tail_smoother_in_any_units(D, E):
    # a complete sample that settles early: the tail's backward steps (rank m, from the settled
    # gain) must give the full recursion in whatever units the states and observables have
    base = random_linear_model(3, 4, 3, 2, 200)
    model = in_units(base, D, E)
    status, out = _kalman.kalman_filter_missing(*model.kalman_args(), True, False, 0.0)
    assert status == 0
    assert np.array_equal(out[2][100], out[2][-1])  # settled long before the end
    got = filter_of(model).smooth(model.y)
    _, sm = statsmodels_smoother(model, model.y)
    P = sm.smoothed_state_cov.transpose(2, 0, 1)
    sd = np.sqrt(np.einsum("tii->ti", P))
    assert np.max(np.abs(got.x_smooth - sm.smoothed_state.T) / sd) <= 1e-7
    assert np.max(np.abs(got.P_smooth - P) / (sd[:, :, None] * sd[:, None, :])) <= 1e-7
    assert np.max(np.abs(got.eps_smooth[1:] - sm.smoothed_state_disturbance.T[:-1])
                  / np.sqrt(np.diag(model.Q))) <= 1e-7
    assert np.max(np.abs(got.eta_smooth - sm.smoothed_measurement_disturbance.T)
                  / np.sqrt(np.diag(model.R))) <= 1e-7


@pytest.mark.parametrize("units", list(UNITS))
@pytest.mark.parametrize("flags", FLAGS[:2], ids=FLAG_IDS[:2])
def test_rows_one_at_a_time_in_any_units(flags, units):
    # R diagonal with gaps, a slowly converging model, states and observables up to 1e10 apart:
    # the filter and the smoother by rows give statsmodels' full recursion in the base units
    base = diagonal_noise(random_linear_model(8, 3, 2, 2, 120, radius=0.995), [0.3, 2.0])
    base = LinearModel(**{**vars(base), "y": with_gaps(base.y, "whole")})
    D, E = (np.asarray(u) for u in UNITS[units])
    kf = filter_of(in_units(base, D, E), *flags)
    y = base.y * E
    res, got = kf.run(y), kf.smooth(y)
    ks, sm = statsmodels_smoother(base, base.y)
    x_filt, P_filt = res.x_filt / D, res.P_filt / np.outer(D, D)
    sd = np.sqrt(np.einsum("tii->ti", sm.filtered_state_cov.transpose(2, 0, 1)))
    assert np.max(np.abs(x_filt - sm.filtered_state.T) / sd) <= 1e-8
    assert np.max(np.abs(P_filt - sm.filtered_state_cov.transpose(2, 0, 1))
                  / (sd[:, :, None] * sd[:, None, :])) <= 1e-8
    jacobian = np.sum(np.log(E) * ~np.isnan(base.y))  # y' = E y
    assert kf.loglik(y) == res.loglik == got.loglik
    assert res.loglik + jacobian == pytest.approx(sm.llf_obs.sum(), rel=1e-10)
    got = SmootherResult(got.x_smooth / D, got.P_smooth / np.outer(D, D), got.eps_smooth,
                         got.eta_smooth / E, got.loglik + jacobian)
    eta = np.where(np.isnan(base.y), got.eta_smooth, sm.smoothed_measurement_disturbance.T)
    assert_smoothed(got, sm.smoothed_state.T, sm.smoothed_state_cov.transpose(2, 0, 1),
                    sm.smoothed_state_disturbance.T[:-1], eta, sm.llf_obs.sum(),
                    np.sqrt(np.diag(base.Q)), atol=1e-7)


def slow_model_in_split_units(seed, n=16, m=6, k=4, T=60):
    """Modes at 0.999 to 0.99999 among fast ones, a barely observed state, states in units up to
    1e6 apart, from the stationary covariance."""
    rng = np.random.default_rng(seed)
    roots = rng.uniform(-0.9, 0.9, n)
    roots[:n // 4] = rng.choice([0.999, 0.9999, -0.9995, 0.99999], n // 4)
    V = rng.standard_normal((n, n)) * 0.3 + np.eye(n)
    A = V @ np.diag(roots) @ np.linalg.inv(V)
    B, C = rng.standard_normal((n, k)), rng.standard_normal((m, n))
    C[:, 0] *= 1e-4
    Q, R = np.diag(rng.uniform(0.1, 2, k)), np.diag(rng.uniform(0.01, 1, m))
    D = 10.0 ** rng.uniform(-3, 3, n)
    P0 = solve_discrete_lyapunov(A, B @ Q @ B.T)
    x, y = np.zeros(n), np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + rng.standard_normal(m) * np.sqrt(np.diag(R))
        x = A @ x + B @ (rng.standard_normal(k) * np.sqrt(np.diag(Q)))
    base = LinearModel(A, B, C, np.zeros(m), Q, R, y, np.zeros(n), 0.5 * (P0 + P0.T))
    return in_units(base, D, np.ones(m))


def smoothed_cov_long_double(model):
    """P_pred and P_smooth = P - P N P of the Joseph-form filter and the state smoother, every
    product whole, in long double."""
    ld = np.longdouble
    A, B, C, Q, R = (np.asarray(M, dtype=ld) for M in (model.A, model.B, model.C, model.Q,
                                                        model.R))
    (n, m, _), T = model.nmk, model.T
    I, W, P = np.eye(n, dtype=ld), B @ Q @ B.T, np.asarray(model.P0, dtype=ld)
    rows = []
    for t in range(T):
        F = C @ P @ C.T + R
        F_inv = np.linalg.inv(F.astype(float)).astype(ld)
        for _ in range(3):  # Newton steps to long double
            F_inv = F_inv + F_inv @ (np.eye(m, dtype=ld) - F @ F_inv)
        K = P @ C.T @ F_inv
        rows.append((P, K, F_inv))
        I_KC = I - K @ C
        P = A @ (I_KC @ P @ I_KC.T + K @ R @ K.T) @ A.T + W
        P = (P + P.T) / 2
    N, P_smooth = np.zeros((n, n), dtype=ld), np.empty((T, n, n))
    for t in range(T - 1, -1, -1):
        P, K, F_inv = rows[t]
        L = A @ (I - K @ C)
        N = C.T @ F_inv @ C + L.T @ N @ L
        P_smooth[t] = (P - P @ N @ P).astype(float)
    return np.array([row[0].astype(float) for row in rows]), P_smooth


@pytest.mark.parametrize("seed", [0, 6])
@pytest.mark.parametrize("flags", [FLAGS[0], FLAGS[3]], ids=[FLAG_IDS[0], FLAG_IDS[3]])
def test_smoothed_covariance_keeps_the_whole_products_accuracy(flags, seed):
    # P - P N P cancels most of P where the data are informative: N must carry no more rounding
    # than whole products leave (a lower triangle of L' N L, mirrored, left 4e-9 to 4e-8 here)
    model = slow_model_in_split_units(seed)
    P_pred, P_smooth = smoothed_cov_long_double(model)
    got = filter_of(model, *flags).smooth(model.y)
    sd = np.sqrt(np.einsum("tii->ti", P_pred))
    assert np.max(np.abs(got.P_smooth - P_smooth) / (sd[:, :, None] * sd[:, None, :])) <= 1.5e-9


def low_rank_start(start):
    """Twelve states from a prior on which a complete sample's filter takes its rank-m steps: the
    stationary covariance (from period 0) or 10 I (from period 19, at rank 4)."""
    model = random_linear_model(3, 12, 3, 3, 150)
    if start == "stationary":
        status, P0 = _kalman.stationary_covariance(model.A, model.B, model.Q)
        assert status == 0
    else:
        P0 = 10.0 * np.eye(12)
    return LinearModel(**{**vars(model), "P0": P0})


@pytest.mark.parametrize("units", ["unit", "split-1e9"])
@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("start", ["stationary", "ten-I"])
def test_smoother_over_the_low_rank_route(start, flags, units):
    # the forward pass is the hot loop's, rank-m steps and settled tail included: the same
    # log-likelihood to the bit, and, in whatever units the states and observables have, every
    # smoothed moment as statsmodels' full recursion in the base units
    base = low_rank_start(start)
    D, E = (np.resize(u, size) for u, size in zip(UNITS[units], (12, 3)))
    model = in_units(base, D, E)
    got = filter_of(model, *flags).smooth(model.y)
    status, out = _kalman.kalman_hot_loop(*model.kalman_args(), *flags, 0.0)
    assert status == 0 and got.loglik == out[-1]
    got = SmootherResult(got.x_smooth / D, got.P_smooth / np.outer(D, D), got.eps_smooth,
                         got.eta_smooth / E, got.loglik + base.T * np.sum(np.log(E)))
    _, sm = statsmodels_smoother(base, base.y)
    assert_smoothed(got, sm.smoothed_state.T, sm.smoothed_state_cov.transpose(2, 0, 1),
                    sm.smoothed_state_disturbance.T[:-1], sm.smoothed_measurement_disturbance.T,
                    sm.llf_obs.sum(), np.sqrt(np.diag(base.Q)), atol=1e-7)


@pytest.mark.parametrize("q, settles", [(1e-2, True), (1e-4, False)])
def test_settled_smoother_of_a_slow_local_level(q, settles):
    # the filter settles late and the backward covariance recursion creeps too; the settled
    # stretches must still give the full recursion
    rng = np.random.default_rng(2)
    T = 3000
    y = (np.cumsum(np.sqrt(q) * rng.standard_normal(T)) + rng.standard_normal(T))[:, None]
    one = np.eye(1)
    model = LinearModel(one, one, one, np.zeros(1), q * one, one, y, np.zeros(1), 1e3 * one)
    got = filter_of(model).smooth(y)
    _, sm = statsmodels_smoother(model, y)
    P = sm.smoothed_state_cov.transpose(2, 0, 1)
    assert_smoothed(got, sm.smoothed_state.T, P, sm.smoothed_state_disturbance.T[:-1],
                    sm.smoothed_measurement_disturbance.T, sm.llf_obs.sum(), np.sqrt(q), 1e-7)
    middle = got.P_smooth[T // 2 - 5:T // 2 + 5]
    assert np.all(middle == middle[0]) == settles  # whether the shortcut was taken


def test_settled_smoother_keeps_a_slow_mode_below_rounding():
    # a fast state beside a slow one that the data barely see: the backward change falls at the
    # fast rate below rounding while the slow mode goes on adding to N for thousands of periods
    rho, T = 0.99999, 3000
    A, C, Q = np.diag([0.2, rho]), np.array([[1.0, 1.2e-7]]), np.diag([1.0, 1.0 - rho ** 2])
    one = np.eye(1)
    P0 = solve_discrete_are(A.T, C.T, Q, one)  # the filter settles at once
    y = np.random.default_rng(0).standard_normal((T, 1))
    model = LinearModel(A, np.eye(2), C, np.zeros(1), Q, one, y, np.zeros(2), (P0 + P0.T) / 2)
    kf = filter_of(model)
    got = kf.smooth(y).P_smooth
    # the full backward recursion over the filter's own P_pred
    N, want = np.zeros((2, 2)), np.empty_like(got)
    for t, P in reversed(list(enumerate(kf.run(y).P_pred))):
        F = (C @ P @ C.T + one)[0, 0]
        L = A @ (np.eye(2) - np.outer(P @ C[0], C[0]) / F)
        N = np.outer(C[0], C[0]) / F + L.T @ N @ L
        want[t] = P - P @ N @ P
    sd = np.sqrt(np.einsum("tii->ti", want))
    assert np.abs((got - want) / (sd[:, :, None] * sd[:, None, :])).max() < 1e-12


@pytest.mark.parametrize("noise", ["correlated", "diagonal"])
@pytest.mark.parametrize("gaps", GAPS[1:])
def test_filter_with_gaps_matches_statsmodels(gaps, noise):
    model = random_linear_model(5, 3, 3, 2, 80)
    if noise == "diagonal":  # the observed rows one at a time
        model = diagonal_noise(model, [0.4, 1.5, 0.8])
    y = with_gaps(model.y, gaps)
    kf = filter_of(model, symmetrize=False)
    res = kf.run(y, return_shocks=True)
    _, sm = statsmodels_smoother(model, y)
    np.testing.assert_allclose(res.x_filt, sm.filtered_state.T, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(res.P_filt, sm.filtered_state_cov.transpose(2, 0, 1), atol=1e-9)
    assert res.loglik == pytest.approx(sm.llf_obs.sum(), rel=1e-12)
    assert kf.loglik(y) == res.loglik
    missing = np.isnan(y)
    assert np.array_equal(np.isnan(res.innov), missing)
    assert np.array_equal(np.isnan(res.std_innov), missing)
    assert np.all(res.eps_hat[missing.all(axis=1)] == 0.0)


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
@pytest.mark.parametrize("gaps", GAPS[1:])
@pytest.mark.parametrize("jitter", [0.0, 1e-3])
def test_loglik_with_diagonal_noise_is_the_same_with_and_without_histories(flags, gaps, jitter):
    # R diagonal: the observed rows one at a time (not under the Joseph form), the same
    # arithmetic whatever is kept; with jitter, the model with R + jitter I
    model = diagonal_noise(random_linear_model(21, 6, 4, 3, 60), [0.3, 1.0, 2.5, 0.05])
    y = with_gaps(model.y, gaps)
    status, alone = missing_loglik(model, y, *flags, jitter, False)
    _, full = missing_loglik(model, y, *flags, jitter, True)
    assert status == 0 and alone == full
    if not (jitter and flags[1]):  # a jittered gain's Joseph form is the covariance under R
        jittered = diagonal_noise(model, np.diag(model.R) + jitter)
        assert alone == pytest.approx(dense_posterior(jittered, y)["loglik"], rel=1e-9)


def full_updates_on_observed_rows(model, y, symmetrize):
    """The standard-form filter, each period updated in full on its observed rows."""
    BQBt = model.B @ model.Q @ model.B.T
    x, P, loglik = model.x0, model.P0, 0.0
    for row in y:
        seen = ~np.isnan(row)
        if seen.any():
            C, R = model.C[seen], model.R[np.ix_(seen, seen)]
            upd = reference._update(x, P, row[seen] - C @ x - model.d[seen], C, R, symmetrize,
                                    False, 0.0)
            x, P, loglik = upd["x_filt"], upd["P_filt"], loglik + upd["term"]
        x, P = model.A @ x, model.A @ P @ model.A.T + BQBt
        P = reference.symmetrized(P) if symmetrize else P
    return loglik


@pytest.mark.parametrize("symmetrize", [False, True])
def test_asymmetric_prior_with_diagonal_noise_is_updated_in_full(symmetrize):
    # the rows one at a time take P_pred C' as (C P_pred)': not for a prior taken as given
    model = diagonal_noise(random_linear_model(23, 4, 3, 2, 40), [0.5, 0.8, 1.2])
    model = LinearModel(**{**vars(model), "P0": model.P0 + np.triu(0.3 * np.ones((4, 4)), 1)})
    y = with_gaps(model.y, "partial")
    status, loglik = missing_loglik(model, y, symmetrize, False, 0.0, False)
    assert status == 0
    assert loglik == pytest.approx(full_updates_on_observed_rows(model, y, symmetrize), rel=1e-10)


def test_loglik_alone_fails_where_the_full_recursion_fails():
    # row 2's noise makes S indefinite in the first period that observes it, period 7
    model = diagonal_noise(random_linear_model(22, 5, 3, 2, 30), [0.5, 0.5, -1e6])
    y = model.y.copy()
    y[:7, 2] = np.nan
    y[3, 0] = np.nan
    (status, alone), (_, full) = (missing_loglik(model, y, True, False, 0.0, store)
                                  for store in (False, True))
    assert status == CHOLESKY_FAILED
    assert alone == pytest.approx(full, rel=1e-12) and alone == pytest.approx(
        dense_posterior(model, y[:7])["loglik"], rel=1e-9)


def test_complete_sample_runs_the_hot_loop_unchanged():
    model = random_linear_model(6, 3, 2, 2, 50)
    kf = filter_of(model)
    res = kf.run(model.y, return_shocks=True)
    status, out = _kalman.kalman_hot_loop(*model.kalman_args(), True, False, 0.0, True)
    assert status == 0 and all(np.array_equal(a, b) for a, b in zip(res, out))
    assert kf.loglik(model.y) == out[-1]
    # the missing-data filter on a complete sample is kf_hot_loop's full recursion
    _, miss = _kalman.kalman_filter_missing(*model.kalman_args(), True, False, 0.0, True)
    np.testing.assert_allclose(miss[-1], out[-1], rtol=1e-12)


@pytest.mark.parametrize("flags", FLAGS, ids=FLAG_IDS)
def test_score_with_gaps_matches_central_differences(flags):
    model = random_linear_model(5, 3, 3, 2, 30)
    y = with_gaps(model.y, "whole", seed=2)
    names = ("A", "B", "C", "d", "Q", "R", "x0", "P0")
    inputs = {name: getattr(model, name) for name in names}

    def loglik(values):
        status, out = _kalman.kalman_filter_missing(
            30, model.nmk, *(values[name] for name in names[:6]), y, values["x0"],
            values["P0"], *flags, 0.0, False, False)
        assert status == 0
        return out[-1]

    status, total, grads = _kalman.kalman_loglik_grad(
        30, model.nmk, *(inputs[name] for name in names[:6]), y, inputs["x0"], inputs["P0"],
        *flags, 0.0)
    assert status == 0 and total == pytest.approx(loglik(inputs), rel=1e-13)
    for name, grad in zip(names, grads):
        X = inputs[name]
        numeric = np.zeros_like(X)
        for i in np.ndindex(X.shape):
            h = 1e-6 * max(1.0, abs(X[i]))
            up, down = X.copy(), X.copy()
            up[i] += h
            down[i] -= h
            numeric[i] = (loglik({**inputs, name: up}) - loglik({**inputs, name: down})) / (2 * h)
        scale = max(1.0, np.abs(numeric).max())
        assert np.max(np.abs(grad - numeric)) <= 1e-6 * scale, name


@pytest.mark.parametrize("gaps", GAPS)
def test_simulation_smoother_reproduces_statsmodels_draw(gaps):
    # With B = I and P0 = Q the prior is the shock of period 0 alone, so the same standard
    # normals drive statsmodels' sample: its initial-state variates are our z_eps[0], its state
    # disturbance at t our z_eps[t + 1].
    base = random_linear_model(8, 3, 2, 3, 40)
    model = LinearModel(**{**vars(base), "B": np.eye(3), "P0": base.Q})
    y = with_gaps(model.y, gaps)
    rng = np.random.default_rng(9)
    z_x0, z_eps, z_eta = rng.standard_normal(3), rng.standard_normal((40, 3)), \
        rng.standard_normal((40, 2))
    status, (x_draw, eps_draw) = _kalman.kalman_simulation_smoother(
        40, model.nmk, model.A, model.B, model.C, model.d, model.Q, model.R, y, model.x0,
        model.P0, True, False, 0.0, z_x0, z_eps, z_eta)
    assert status == 0
    sim, _ = statsmodels_smoother(model, y, SimulationSmoother)
    draw = sim.simulation_smoother()
    draw.simulate(measurement_disturbance_variates=z_eta,
                  state_disturbance_variates=np.vstack([z_eps[1:], np.zeros((1, 3))]),
                  initial_state_variates=z_eps[0])
    np.testing.assert_allclose(x_draw, draw.simulated_state.T, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(eps_draw[1:], draw.simulated_state_disturbance.T[:-1],
                               rtol=1e-9, atol=1e-9)


def test_simulation_smoother_draws_have_the_posterior_moments():
    model = prior_carrying_shock(random_linear_model(10, 2, 2, 2, 10))
    y = with_gaps(model.y, "whole")
    kf = filter_of(model)
    draws = [kf.simulate_smoother(y, seed) for seed in range(4000)]
    xs, es = np.array([d[0] for d in draws]), np.array([d[1] for d in draws])
    want = dense_posterior(model, y)
    x_sd, e_sd = np.sqrt(np.einsum("tii->ti", want["P"])), np.sqrt(want["eps_var"])
    N = len(draws)
    # means within 6 standard errors, variances within 6 standard errors of a variance
    assert np.max(np.abs(xs.mean(0) - want["x"]) / x_sd) < 6 / np.sqrt(N)
    assert np.max(np.abs(es.mean(0) - want["eps"]) / e_sd) < 6 / np.sqrt(N)
    assert np.max(np.abs(xs.var(0) / x_sd ** 2 - 1)) < 6 * np.sqrt(2 / N)
    assert np.max(np.abs(es.var(0) / e_sd ** 2 - 1)) < 6 * np.sqrt(2 / N)


def shock_only_prior(seed):
    """P0 = B Q B' with k < n: the prior carries the shock of period 0 and nothing else."""
    model = random_linear_model(seed, 3, 2, 2, 10)
    return LinearModel(**{**vars(model), "P0": model.B @ model.Q @ model.B.T})


def stationary_prior_of_singular_transition(seed):
    """The stationary P0 of a rank-one A, where P0 - B Q B' = A P0 A' has rank one."""
    model = random_linear_model(seed, 3, 1, 3, 10)
    u, v = np.random.default_rng(seed).standard_normal((2, 3))
    A = 0.6 * np.outer(u, v) / abs(u @ v)  # its one eigenvalue, v . u scaled to +-0.6
    status, P0 = _kalman.stationary_covariance(A, model.B, model.Q)
    assert status == 0
    return LinearModel(**{**vars(model), "A": A, "P0": P0})


@pytest.mark.parametrize("prior", [shock_only_prior, stationary_prior_of_singular_transition])
def test_simulation_smoother_takes_a_prior_that_adds_a_singular_part(prior):
    # x(0) - x0 - B eps(0) is drawn from P0 - B Q B', singular here: a draw must lie in its range
    for seed in range(12):
        model = prior(seed)
        x_draw, eps_draw = filter_of(model).simulate_smoother(model.y, seed)
        rest = x_draw[0] - model.x0 - model.B @ eps_draw[0]
        U, sv, _ = np.linalg.svd(model.P0 - model.B @ model.Q @ model.B.T)
        outside = U[:, sv <= 1e-12 * sv.max(initial=1.0)]
        scale = np.sqrt(model.P0.diagonal().max())
        assert np.abs(outside.T @ rest).max(initial=0.0) <= 1e-6 * scale


def exact_draw_covariance(model, y):
    """The covariance of the simulation smoother's x_draw, exactly: a draw is affine in the
    variates, so it is M M' with the columns of M the draws of the unit variates less the draw
    of zero ones."""
    T, (n, m, k) = len(y), model.nmk
    sizes = np.cumsum([n, T * k])

    def draw(z):
        z_x0, z_eps, z_eta = np.split(z, sizes)
        status, (x_draw, _) = _kalman.kalman_simulation_smoother(
            T, model.nmk, model.A, model.B, model.C, model.d, model.Q, model.R, y, model.x0,
            model.P0, True, False, 0.0, z_x0, z_eps.reshape(T, k), z_eta.reshape(T, m))
        assert status == 0
        return x_draw

    variates = n + T * (k + m)
    at_zero = draw(np.zeros(variates))
    M = np.stack([draw(e) - at_zero for e in np.eye(variates)], axis=-1)
    return np.einsum("tiv,tjv->tij", M, M)


@pytest.mark.parametrize("units", [(1.0, 1.0), (1.0, 1e4), (1e-6, 1e2), (1e3, 1e-3)])
def test_simulation_smoother_draws_the_smoothed_covariance_in_any_units(units):
    # every variance is measured in its own state's, shock's or observable's units
    s = np.array(units)
    model = LinearModel(A=np.array([[0.9, 0.1], [0.0, 0.5]]) * s[:, None] / s[None, :],
                        B=np.eye(2), C=np.array([[1.0, 1.0]]) / s[None, :], d=np.zeros(1),
                        Q=np.diag(s ** 2), R=np.eye(1), y=np.array([[0.3], [np.nan], [-0.2],
                                                                     [0.1]]),
                        x0=np.zeros(2), P0=2.0 * np.diag(s ** 2))
    P_smooth = filter_of(model).smooth(model.y).P_smooth
    sd = np.sqrt(np.einsum("tii->ti", P_smooth))
    error = (exact_draw_covariance(model, model.y) - P_smooth) / (sd[:, :, None] * sd[:, None, :])
    assert np.abs(error).max() < 1e-10
    # a prior below the shock it carries, in any units, has no joint distribution with it
    tight = LinearModel(**{**vars(model), "P0": np.diag([0.5, 2.0]) * s ** 2})
    with pytest.raises(CholeskyFailedError):
        filter_of(tight).simulate_smoother(model.y, 0)


@pytest.mark.parametrize("noise", ["Q", "R"])
def test_simulation_smoother_draws_singular_noise(noise):
    # a shock or measurement covariance of rank 2 of 5 (or 4): rounding leaves its later pivots
    # on either side of zero, and the draw's covariance must still be the smoothed one
    for seed in range(48):
        rng = np.random.default_rng(seed)
        k, m = (5, 2) if noise == "Q" else (2, 4)
        V = rng.standard_normal((k if noise == "Q" else m, 2))
        Q, R = (V @ V.T, 0.5 * np.eye(m)) if noise == "Q" else (np.eye(k), V @ V.T)
        B, C = rng.standard_normal((3, k)), rng.standard_normal((m, 3))
        model = LinearModel(A=np.diag([0.8, 0.5, 0.9]), B=B, C=C, d=np.zeros(m), Q=Q, R=R,
                            y=rng.standard_normal((4, m)), x0=np.zeros(3),
                            P0=B @ Q @ B.T + np.eye(3))
        P_smooth = filter_of(model).smooth(model.y).P_smooth
        error = exact_draw_covariance(model, model.y) - P_smooth
        assert np.abs(error).max() < 1e-9 * np.abs(P_smooth).max(), seed


def test_simulation_smoother_seeding_and_refusal():
    model = prior_carrying_shock(random_linear_model(11, 2, 2, 2, 20))
    kf = filter_of(model)
    x1, e1 = kf.simulate_smoother(model.y, 3)
    x2, e2 = kf.simulate_smoother(model.y, np.random.default_rng(3))
    assert x1.shape == (20, 2) and e1.shape == (20, 2)
    assert np.array_equal(x1, x2) and np.array_equal(e1, e2)
    assert not np.array_equal(x1, kf.simulate_smoother(model.y, 4)[0])
    # a prior tighter than the shock it is taken to carry has no joint distribution with it
    tight = filter_of(LinearModel(**{**vars(model), "P0": 0.01 * np.eye(2)}))
    with pytest.raises(CholeskyFailedError):
        tight.simulate_smoother(model.y, 0)
    # a transition that is not finite makes the sample NaN where y is observed: the draw fails as
    # the smoother of y does, rather than taking those cells for missing observations
    broken = filter_of(LinearModel(**{**vars(model), "A": np.full((2, 2), np.nan)}))
    for run in (lambda: broken.smooth(model.y), lambda: broken.simulate_smoother(model.y, 0)):
        with pytest.raises(CholeskyFailedError) as failed:
            run()
        # no draw and no smoothed moments: zeros, not the sample that ignores the data
        assert not any(np.any(array) for array in failed.value.result[:2])


def test_smooth_without_covariances_and_failure():
    model = random_linear_model(12, 2, 2, 1, 30)
    kf = filter_of(model)
    full, lean = kf.smooth(model.y), kf.smooth(model.y, smoothed_cov=False)
    assert isinstance(full, SmootherResult) and lean.P_smooth.shape == (0, 2, 2)
    assert np.array_equal(full.x_smooth, lean.x_smooth) and full.loglik == lean.loglik
    bad = filter_of(LinearModel(**{**vars(model), "R": -10.0 * np.eye(2)}))
    kf.smooth(model.y)  # freed at once: its memory, values and all, may serve the next arrays
    with pytest.raises(CholeskyFailedError) as failure:
        bad.smooth(model.y)
    assert not any(np.any(a) for a in failure.value.result[:4])
