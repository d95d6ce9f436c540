"""The examples run and reproduce what they claim; parallel evaluations agree with serial ones."""

import importlib.util
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from Velmora import demo

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    module_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_parallel_loglik_agrees_with_serial_runs():
    pytest.importorskip("joblib")
    pytest.importorskip("numba")
    run = subprocess.run([sys.executable, str(EXAMPLES / "parallel_loglik.py"), "--grid", "3",
                          "--n-jobs", "2"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2 and all("same as the serial run" in line for line in lines)
    assert lines[0].startswith("linear filter: 9 log-likelihoods on 2 processes")


def test_nile_lbfgs_reaches_the_published_estimates_with_few_evaluations():
    example = load_example("nile_lbfgs")
    obs_var, level_var, loglik, result = example.fit(demo.load_nile()[1])
    assert result.success and result.nfev < 40
    assert obs_var == pytest.approx(demo.PUBLISHED["obs_var"], rel=1e-3)
    assert level_var == pytest.approx(demo.PUBLISHED["level_var"], rel=1e-3)
    assert loglik == pytest.approx(demo.PUBLISHED["loglik"], abs=0.01)


def test_nile_pymc_op_differentiates_through_the_native_score(monkeypatch):
    pytest.importorskip("pymc")
    from pytensor.gradient import verify_grad

    monkeypatch.syspath_prepend(str(EXAMPLES))  # the example imports its sibling nile_lbfgs
    op = load_example("nile_pymc").NileLoglik(demo.load_nile()[1])
    verify_grad(lambda log_vars: op(log_vars)[0], [np.log([12000.0, 2000.0])],
                rng=np.random.default_rng(0))


def test_ar2_total_gradient_through_the_stationary_start():
    example = load_example("ar2_stationary_lbfgs")
    y = example.simulate(300, seed=1)
    theta = np.array([0.8, -0.3, 0.1, -0.5])
    grad = example.loglik_and_grad(theta, y)[1]
    for i in range(4):
        step = np.zeros(4)
        step[i] = 1e-6
        difference = (example.loglik_and_grad(theta + step, y)[0]
                      - example.loglik_and_grad(theta - step, y)[0]) / 2e-6
        assert difference == pytest.approx(grad[i], rel=1e-5, abs=1e-5)
    phi1, phi2, sigma2, tau2, _, result = example.fit(example.simulate(2000))
    assert result.success and result.nfev < 60
    assert (phi1, phi2) == pytest.approx((1.2, -0.5), abs=0.1)
