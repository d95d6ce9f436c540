"""The Nile demo reproduces the published local-level estimates of Durbin and Koopman (2012)."""

import os
import subprocess
import sys

import numpy as np
import pytest
from statsmodels.tsa.statespace.structural import UnobservedComponents

from Velmora import demo


@pytest.fixture(scope="module")
def flow():
    years, flow = demo.load_nile()
    assert years[0] == 1871 and years[-1] == 1970 and flow.shape == (100,)
    return flow


def exact_diffuse_loglik(flow, obs_var, level_var):
    """Scalar local-level filter started after the first observation (exact diffuse start)."""
    level, level_cov, loglik = flow[0], obs_var + level_var, 0.0
    for y in flow[1:]:
        F = level_cov + obs_var
        v = y - level
        loglik -= 0.5 * (np.log(2 * np.pi) + np.log(F) + v * v / F)
        gain = level_cov / F
        level += gain * v
        level_cov = level_cov * (1 - gain) + level_var
    return loglik


@pytest.mark.parametrize("obs_var, level_var", [(15099.0, 1469.1), (3e4, 100.0), (1e3, 5e4)])
def test_loglik_is_the_exact_diffuse_one(flow, obs_var, level_var):
    loglik = demo.run_filter(flow, obs_var, level_var)[-1]
    assert loglik == pytest.approx(exact_diffuse_loglik(flow, obs_var, level_var), rel=1e-12)
    # statsmodels keeps the first year's constant -ln(2 pi) / 2; the published value does not.
    model = UnobservedComponents(flow, "llevel", use_exact_diffuse=True)
    expected = model.loglike([obs_var, level_var]) + 0.5 * np.log(2 * np.pi)
    assert loglik == pytest.approx(expected, rel=1e-12)


def test_estimates_reproduce_published_values(flow):
    obs_var, level_var, loglik = demo.estimate(flow)
    assert obs_var == pytest.approx(demo.PUBLISHED["obs_var"], rel=2e-3)
    assert level_var == pytest.approx(demo.PUBLISHED["level_var"], rel=5e-3)
    assert loglik == pytest.approx(demo.PUBLISHED["loglik"], abs=0.01)
    # The maximum as found by BFGS on statsmodels' exact diffuse likelihood (gtol 1e-10), to
    # better than the printed digits.
    assert abs(obs_var - 15098.517) < 0.02 and abs(level_var - 1469.1767) < 0.02
    assert loglik == pytest.approx(-632.545625, abs=2e-6)


def test_main_without_plot_prints_table_and_writes_nothing(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    demo.main(["--no-plot"])
    printed = capsys.readouterr().out
    assert "15099.0" in printed and "-632.54" in printed
    assert all(f" {value} " in printed for value in ("15098.5", "1469.2", "-632.546"))
    assert list(tmp_path.iterdir()) == []


def test_smoothed_level_is_the_exact_diffuse_smoother(flow):
    level, variance = demo.smoothed_level(flow, 15099.0, 1469.1)
    res = UnobservedComponents(flow, "llevel", use_exact_diffuse=True).smooth([15099.0, 1469.1])
    np.testing.assert_allclose(level, res.smoothed_state[0], rtol=1e-10)
    np.testing.assert_allclose(variance, res.smoothed_state_cov[0, 0], rtol=1e-8)


def test_the_data_load_without_the_demo_extra():
    # the README's layer example starts from load_nile on an install with NumPy alone
    script = ("import sys; sys.modules['scipy'] = None; "
              "from Velmora.demo import load_nile; print(len(load_nile()[1]))")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         cwd=os.path.dirname(sys.executable))
    assert run.returncode == 0 and run.stdout.strip() == "100", run.stderr
