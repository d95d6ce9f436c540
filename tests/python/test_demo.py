"""The Nile demo reproduces the published local-level estimates of Durbin and Koopman (2012)."""

import numpy as np
import pytest

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


def test_diffuse_loglik_matches_exact_diffuse_filter(flow):
    out = demo.run_filter(flow, demo.PUBLISHED["obs_var"], demo.PUBLISHED["level_var"])
    expected = exact_diffuse_loglik(flow, demo.PUBLISHED["obs_var"], demo.PUBLISHED["level_var"])
    # The prior variance 1e7 is finite: the gap is of order obs_var / P0 per affected term.
    assert demo.diffuse_loglik(out) == pytest.approx(expected, abs=2e-3)


def test_estimates_reproduce_published_values(flow):
    obs_var, level_var, loglik = demo.estimate(flow)
    assert obs_var == pytest.approx(demo.PUBLISHED["obs_var"], rel=2e-3)
    assert level_var == pytest.approx(demo.PUBLISHED["level_var"], rel=5e-3)
    assert loglik == pytest.approx(demo.PUBLISHED["loglik"], abs=0.02)


def test_main_without_plot_prints_table_and_writes_nothing(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    demo.main(["--no-plot"])
    printed = capsys.readouterr().out
    assert "15099.0" in printed and "-632.54" in printed
    assert list(tmp_path.iterdir()) == []
