"""kalman_hot_loop against a NumPy Kalman filter and statsmodels, with its flags, edge cases and
its behaviour on several threads."""

import functools
import operator
import threading

import numpy as np
import pytest

import reference
from models import (LINEAR_FIELDS, LinearModel, assert_outputs_close,
                    random_linear_model)

from Velmora._ckernels.kalman import _kalman

FLAGS = [
    pytest.param(dict(symmetrize=False, joseph_cov=False, jitter=0.0), id="plain"),
    pytest.param(dict(symmetrize=True, joseph_cov=False, jitter=0.0), id="symmetrize"),
    pytest.param(dict(symmetrize=False, joseph_cov=True, jitter=1e-3), id="joseph-jitter"),
    pytest.param(dict(symmetrize=True, joseph_cov=True, jitter=1e-6), id="all"),
]
SHAPES = [(1, 1, 1), (3, 2, 2), (6, 3, 4), (23, 9, 5)]  # the last: blocked kernels, ragged tiles


def run(model, flags, **kw):
    return _kalman.kalman_hot_loop(*model.kalman_args(), **flags, **kw)


def reference_of(model, flags, **kw):
    m = model
    return reference.kalman_filter(m.A, m.B, m.C, m.d, m.Q, m.R, m.y, m.x0, m.P0, **flags, **kw)


@pytest.mark.parametrize("flags", FLAGS)
@pytest.mark.parametrize("nmk", SHAPES, ids=str)
def test_every_history_matches_numpy_filter(nmk, flags):
    model = random_linear_model(sum(nmk), *nmk, T=40)
    status, out = run(model, flags, return_shocks=True, store_history=True)
    assert status == 0
    assert len(out) == 11 and isinstance(out[10], float)
    assert_outputs_close(out, reference_of(model, flags), LINEAR_FIELDS)


@pytest.mark.parametrize("asymmetric", ["P0", "P0 and R"])
@pytest.mark.parametrize("joseph_cov", [False, True])
@pytest.mark.parametrize("symmetrize", [False, True])
def test_asymmetric_prior_is_used_unchanged(symmetrize, joseph_cov, asymmetric):
    # an asymmetric R makes the Joseph form asymmetric too: symmetrising it is not its lower half
    model = random_linear_model(3, 3, 2, 2, T=15)
    model.P0 = model.P0 + 0.2 * np.triu(np.ones((3, 3)), 1)
    if asymmetric == "P0 and R":
        model.R = model.R + 0.3 * np.triu(np.ones((2, 2)), 1)
    flags = dict(symmetrize=symmetrize, joseph_cov=joseph_cov, jitter=0.0)
    status, out = run(model, flags, return_shocks=True)
    assert status == 0
    np.testing.assert_array_equal(out[0][0], model.x0)
    np.testing.assert_array_equal(out[2][0], model.P0)
    assert_outputs_close(out, reference_of(model, flags), LINEAR_FIELDS)
    if symmetrize:
        for name in ("P_filt", "S"):
            stored = out[LINEAR_FIELDS.index(name)]
            np.testing.assert_array_equal(stored, stored.transpose(0, 2, 1))
        np.testing.assert_array_equal(out[2][1:], out[2][1:].transpose(0, 2, 1))


@pytest.mark.parametrize("store_history", [True, False])
@pytest.mark.parametrize("return_shocks", [True, False])
def test_history_flags_select_outputs_not_loglik(store_history, return_shocks):
    n, m, k, T = 3, 2, 2, 25
    model = random_linear_model(11, n, m, k, T)
    flags = dict(symmetrize=True, joseph_cov=False, jitter=0.0)
    status, out = run(model, flags, return_shocks=return_shocks, store_history=store_history)
    assert status == 0
    hist_T = T if store_history else 0
    shock_T = T if (store_history and return_shocks) else 0
    shapes = [(hist_T, n)] * 2 + [(hist_T, n, n)] * 2 + [(hist_T, m)] * 4 + [(hist_T, m, m),
                                                                              (shock_T, k)]
    assert [a.shape for a in out[:10]] == shapes
    assert all(a.dtype == np.float64 for a in out[:10])
    full = reference_of(model, flags)
    expected = {name: full[name][:shape[0]] for name, shape in zip(LINEAR_FIELDS, shapes)}
    assert_outputs_close(out, dict(expected, loglik=full["loglik"]), LINEAR_FIELDS)


@pytest.mark.parametrize("T, y_rows", [(0, 0), (0, 6), (7, 12)])
def test_period_count_comes_from_T_not_from_y(T, y_rows):
    model = random_linear_model(5, 2, 1, 1, T=y_rows)
    flags = dict(symmetrize=False, joseph_cov=False, jitter=0.0)
    status, out = _kalman.kalman_hot_loop(**dict(model.kalman_kwargs(), T=T), **flags,
                                          return_shocks=True, store_history=True)
    assert status == 0
    assert all(a.shape[0] == T for a in out[:10])
    expected = reference_of(model, flags, T=T)
    assert_outputs_close(out, expected, LINEAR_FIELDS)
    if T == 0:
        assert out[10] == 0.0


def shrinking_variance_model(T=8):
    """A scalar model whose negative process variance drives S = P_pred + R below zero in a
    later period (Q is not checked, only the factorisation of S is)."""
    one = np.ones((1, 1))
    y = np.linspace(-1.0, 1.0, T)[:, None]
    return LinearModel(one, one, one, np.zeros(1), -0.4 * one, one, y, np.zeros(1), 3.0 * one)


@pytest.mark.parametrize("store_history", [True, False])
def test_failed_factorisation_keeps_earlier_periods(store_history):
    model = shrinking_variance_model()
    flags = dict(symmetrize=False, joseph_cov=True, jitter=0.0)
    expected = reference_of(model, flags)
    failed_at = len(expected["terms"])
    assert expected["status"] == -1102 and failed_at == 4  # the model does what it should
    status, out = run(model, flags, return_shocks=True, store_history=store_history)
    assert status == -1102
    assert out[10] == pytest.approx(sum(expected["terms"]), rel=1e-12)
    if store_history:
        for array in out[:10]:
            assert not np.any(array[failed_at:])
        assert_outputs_close(out, expected, LINEAR_FIELDS, rtol=1e-12)


@pytest.mark.parametrize("T, at", [(10, 4), (300, 250)], ids=["recursion", "settled-tail"])
def test_nan_observation_propagates_with_success_status(T, at):
    model = random_linear_model(8, 2, 2, 1, T=T)
    model.y[at, 1] = np.nan
    status, out = run(model, dict(symmetrize=True, joseph_cov=False, jitter=0.0))
    assert status == 0 and np.isnan(out[10])
    x_filt, S = out[1], out[8]
    assert np.all(np.isfinite(x_filt[:at])) and np.all(np.isnan(x_filt[at:]))
    assert np.all(np.isfinite(S))
    if T > 100:  # settled long before the gap: the states alone carry the NaN on
        assert np.array_equal(S[100], S[-1])


@pytest.mark.parametrize("nmk", [(2, 1, 1), [2, 1, 1], np.array([2, 1, 1]),
                                 np.array([2, 1, 1], dtype=np.int32), (2.0, 1.0, 1.0),
                                 (2.9, 1.5, 1.99)], ids=repr)
def test_nmk_forms_give_identical_results(nmk):
    model = random_linear_model(21, 2, 1, 1, T=12)
    kw = dict(model.kalman_kwargs(), symmetrize=True, joseph_cov=True, jitter=0.0,
              return_shocks=True)
    base = _kalman.kalman_hot_loop(**kw)
    status, out = _kalman.kalman_hot_loop(**{**kw, "nmk": nmk})
    assert status == base[0] == 0
    for got, want in zip(out, base[1]):
        np.testing.assert_array_equal(got, want)


# ---- statsmodels --------------------------------------------------------------------------

def statsmodels_filter(model):
    """statsmodels' conventional Kalman filter with the same matrices and a known prior."""
    from statsmodels.tsa.statespace.mlemodel import MLEModel

    n, _, k = model.nmk
    mod = MLEModel(model.y, k_states=n, k_posdef=k, initialization="known",
                   initial_state=model.x0, initial_state_cov=model.P0)
    for name, value in (("design", model.C), ("obs_intercept", model.d), ("obs_cov", model.R),
                        ("transition", model.A), ("selection", model.B),
                        ("state_cov", model.Q)):
        mod[name] = value
    mod.ssm.tolerance = 0.0  # no switch to the steady-state gain
    return mod.ssm.filter()


def nile_flow():
    """Annual Nile flow 1871-1970, the copy the package ships."""
    from Velmora.demo import load_nile
    return load_nile()[1]


def nile_local_level():
    y = nile_flow()[:, None]
    one = np.ones((1, 1))
    # Durbin and Koopman's (2012, sec. 2.10) estimates; a large P0 approximates the diffuse prior.
    return LinearModel(one, one, one, np.zeros(1), 1469.1 * one, 15099.0 * one, y, np.zeros(1),
                       1e7 * one)


@pytest.mark.parametrize("case", ["nile", "random-1-1-1", "random-4-2-2", "random-5-3-3"])
def test_agrees_with_statsmodels(case):
    if case == "nile":
        model = nile_local_level()
    else:
        n, m, k = map(int, case.split("-")[1:])
        model = random_linear_model(100 + n, n, m, k, T=80)
    status, out = run(model, dict(symmetrize=True, joseph_cov=False, jitter=0.0))
    assert status == 0
    res = statsmodels_filter(model)
    assert out[10] == pytest.approx(res.llf, rel=1e-9)
    np.testing.assert_allclose(out[0], res.predicted_state[:, :-1].T, rtol=1e-9, atol=1e-8)
    np.testing.assert_allclose(out[1], res.filtered_state.T, rtol=1e-9, atol=1e-8)
    np.testing.assert_allclose(out[3], res.filtered_state_cov.transpose(2, 0, 1), rtol=1e-9,
                               atol=1e-8)
    np.testing.assert_allclose(out[4], res.forecasts.T, rtol=1e-9, atol=1e-8)
    np.testing.assert_allclose(out[8], res.forecasts_error_cov.transpose(2, 0, 1), rtol=1e-9)


def test_nile_diffuse_loglik_matches_durbin_koopman():
    model = nile_local_level()
    status, out = run(model, dict(symmetrize=False, joseph_cov=False, jitter=0.0))
    innov, S = out[6][:, 0], out[8][:, 0, 0]
    terms = -0.5 * (np.log(S) + innov ** 2 / S + reference.LN_2PI)
    assert status == 0
    assert out[10] == pytest.approx(terms.sum(), rel=1e-12)
    assert terms[1:].sum() == pytest.approx(-632.54, abs=0.01)


# ---- threads --------------------------------------------------------------------------------

def test_concurrent_calls_match_sequential_ones():
    models = [random_linear_model(200 + i, 8, 3, 2, T=300) for i in range(4)]
    flags = dict(symmetrize=True, joseph_cov=True, jitter=0.0)
    sequential = [run(model, flags, return_shocks=True) for model in models]
    start = threading.Barrier(len(models))
    results = [[] for _ in models]

    def worker(i):
        start.wait()
        for _ in range(3):
            results[i].append(run(models[i], flags, return_shocks=True))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(models))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for expected, repeats in zip(sequential, results):
        assert len(repeats) == 3
        for status, out in repeats:
            assert status == expected[0] == 0
            for got, want in zip(out, expected[1]):
                np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)


def test_interpreter_lock_is_released_during_the_filter():
    # A flag is raised just before the call and lowered just after it, both from C code
    # (map, operator.call, list methods) so that no bytecode, and hence no thread switch, runs
    # between them and the call. If the entry kept the lock, the counting thread could never see
    # the flag raised; it can only do so while the kernel runs without the lock.
    model = random_linear_model(7, 60, 4, 3, T=2000)
    kw = dict(model.kalman_kwargs(), symmetrize=True, joseph_cov=False, jitter=0.0,
              return_shocks=False, store_history=False)
    in_call, seen, stop = [], [0], threading.Event()
    ready = threading.Event()

    def count():
        ready.set()
        while not stop.is_set():
            if in_call:
                seen[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        ready.wait()
        results = []
        for _ in range(3):  # a busy machine may not schedule the counter during one call
            steps = [functools.partial(in_call.append, True),
                     functools.partial(_kalman.kalman_hot_loop, **kw), in_call.clear]
            results.append(list(map(operator.call, steps))[1])
            if seen[0]:
                break
    finally:
        stop.set()
        counter.join()
    assert all(status == 0 for status, _ in results)
    assert seen[0] > 0
