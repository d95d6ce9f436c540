"""The shipped stubs: they match the runtime signatures, and type checkers see them through
py.typed in the installed package."""

import ast
import importlib.metadata
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import pytest

import Velmora
from Velmora._ckernels.kalman import _kalman

SNIPPET = '''
import numpy as np
from Velmora._ckernels.kalman import _kalman
from Velmora.kalman import KalmanFilter

one = np.ones((1, 1))
status, out = _kalman.kalman_hot_loop(3, (1, 1, 1), one, one, one, [0.0], one, one,
                                      np.zeros((3, 1)), [0.0], one, True, False, 0.0)
reveal_type(status)
reveal_type(out[-1])
code, loglik, grads = _kalman.kalman_loglik_grad(3, (1, 1, 1), one, one, one, [0.0], one, one,
                                                 np.zeros((3, 1)), [0.0], one, True, False, 0.0)
reveal_type(grads[7])
grads[8]
reveal_type(KalmanFilter(one, one, one, [0.0], one, one, [0.0], one).run([1.0]).loglik)
_kalman.stationary_covariance(one, one, one, tol=1e-9)
'''
CHECKERS = {  # module, arguments, a fragment of each line it must print
    "mypy": ("mypy", ["--no-incremental", "--no-error-summary"],
             ['"int"', '"float"', "float64", "out of range", '"float"', '"tol"']),
    "pyright": ("pyright", ["--pythonpath", sys.executable],
                ['"int"', '"float"', "float64", "out of range", '"float"', '"tol"']),
}


def stub_functions():
    stub = pathlib.Path(_kalman.__file__).with_name("_kalman.pyi")
    return [node for node in ast.parse(stub.read_text()).body if isinstance(node, ast.FunctionDef)]


def test_stubs_match_the_runtime_signatures():
    stubbed = stub_functions()
    assert [f.name for f in stubbed][:4] == ["kalman_hot_loop", "stationary_covariance",
                                             "ekf_hot_loop", "ukf_hot_loop"]
    entries = [name for name, value in vars(_kalman).items() if callable(value)]
    assert set(entries) <= {f.name for f in stubbed}  # every entry is stubbed
    for function in stubbed:
        runtime = getattr(_kalman, function.name, None)
        if runtime is None:  # stubbed ahead of the binding
            continue
        parameters = inspect.signature(runtime).parameters
        assert [a.arg for a in function.args.args] == list(parameters)
        defaults = [ast.literal_eval(d) for d in function.args.defaults]
        assert defaults == [p.default for p in parameters.values()][len(parameters)
                                                                      - len(defaults):]
        assert not function.args.kwonlyargs and not function.args.posonlyargs


def test_version_is_the_distribution_version():
    assert Velmora.__version__ == importlib.metadata.version("Velmora-kalman")


@pytest.mark.parametrize("checker", CHECKERS)
def test_type_checkers_see_the_stubs(checker, tmp_path):
    module, arguments, expected = CHECKERS[checker]
    if importlib.util.find_spec(module) is None:
        # mypy comes with the test extra; pyright runs only where someone installed it
        assert checker != "mypy", "mypy is missing: pip install '.[test]' brings it"
        pytest.skip(f"{checker} is not installed")
    (tmp_path / "snippet.py").write_text(SNIPPET)
    run = subprocess.run([sys.executable, "-m", module, *arguments, "snippet.py"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    lines = [line for line in run.stdout.splitlines()
             if any(word in line for word in ("error:", "Revealed type", "Type of"))]
    assert len(lines) == len(expected), run.stdout + run.stderr
    for line, fragment in zip(lines, expected):
        assert fragment in line, line
