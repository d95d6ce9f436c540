"""The runnable examples run, and their parallel evaluations agree with serial ones."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def test_parallel_loglik_agrees_with_serial_runs():
    pytest.importorskip("joblib")
    pytest.importorskip("numba")
    run = subprocess.run([sys.executable, str(EXAMPLES / "parallel_loglik.py"), "--grid", "3",
                          "--n-jobs", "2"], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 2 and all("same as the serial run" in line for line in lines)
    assert lines[0].startswith("linear filter: 9 log-likelihoods on 2 processes")
