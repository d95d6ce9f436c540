"""The native sources keep their layers apart, and the extension exports only C symbols.

The numerical core and the filter kernels build without Python (the C++ tests and other native
modules link them); the CPython glue in `_python/` is reused by other modules, so it must not
reach into the kernels; and the glue compiled into a module stays hidden inside it.
"""

import pathlib
import re
import shutil
import subprocess

import pytest

import Velmora._ckernels.kalman._kalman as kalman_ext

SOURCES = pathlib.Path(__file__).resolve().parents[2] / "Velmora" / "_ckernels"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def reached(path, found=None):
    """(local sources, system headers) that path reaches, following its quoted includes."""
    local, system = found if found is not None else (set(), set())
    for kind, name in INCLUDE.findall(path.read_text()):
        if kind == "<":
            system.add(name)
            continue
        header = path.parent / name if (path.parent / name).exists() else SOURCES / name
        header = header.relative_to(SOURCES).as_posix()
        if header not in local:
            local.add(header)
            reached(SOURCES / header, (local, system))
    return local, system


def named(folder, pattern):
    return sorted(p.relative_to(SOURCES).as_posix() for p in (SOURCES / folder).glob(pattern))


WITHOUT_PYTHON = named("_common", "*.[ch]*") + named("kalman", "kalman*.[ch]*")
GLUE = named("_python", "*.[ch]*")


def test_the_layers_are_found():
    assert len(WITHOUT_PYTHON) >= 10 and {"_python/ref.h", "_python/binder.cpp"} <= set(GLUE)


@pytest.mark.parametrize("source", WITHOUT_PYTHON)
def test_core_and_kernels_build_without_python(source):
    local, system = reached(SOURCES / source)
    assert "Python.h" not in system and not [h for h in local if h.startswith("_python/")]


@pytest.mark.parametrize("source", GLUE)
def test_glue_reaches_no_kernel(source):
    local, _ = reached(SOURCES / source)
    assert local <= set(GLUE) | {"_common/velm_common.h"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_c_symbols_are_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", kalman_ext.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in listing.splitlines()}
    assert {"PyInit__kalman", "kf_hot_loop", "velm_solve"} <= exported
    # neither the binding's C++ nor the kernels' internals: no mangled name at all
    assert not [s for s in exported if s.startswith("_Z")]
