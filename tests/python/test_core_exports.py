"""The extension exports the numerical core (normal quantile, real and complex LU) to native callers."""

import ctypes

import numpy as np
import pytest
from scipy import special

import Velmora._ckernels.kalman._kalman as kalman_ext

i64 = ctypes.c_int64
f64 = ctypes.c_double
f64_array = np.ctypeslib.ndpointer(dtype=np.float64, flags="C_CONTIGUOUS")
c128_array = np.ctypeslib.ndpointer(dtype=np.complex128, flags="C_CONTIGUOUS")  # (re, im) pairs

SIGNATURES = {
    "velm_ndtri_as241": (f64, [f64]),
    "velm_ndtri_as241_into": (None, [f64_array, i64, f64_array]),
    "velm_erfinv_from_as241": (f64, [f64]),
    "velm_solve": (i64, [f64_array, f64_array, i64, i64, f64_array]),
    "velm_inv": (i64, [f64_array, i64, f64_array]),
    "c128_solve": (i64, [c128_array, c128_array, i64, i64, c128_array]),
    "c128_inv": (i64, [c128_array, i64, c128_array]),
    "c128_matmul": (None, [c128_array, c128_array, i64, i64, i64, c128_array]),
}

# Exported for other native modules although nothing in the binding calls them.
CORE_SYMBOLS = sorted(SIGNATURES) + [
    "velm_lu_factor_inplace", "velm_lu_factor", "velm_lu_free", "velm_lu_solve",
    "c128_lu_factor_inplace", "c128_lu_factor", "c128_lu_free", "c128_lu_solve",
]

OK, INVALID_ARGUMENT, SINGULAR = 0, -102, -103


@pytest.fixture(scope="module")
def lib():
    library = ctypes.CDLL(kalman_ext.__file__)
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype, function.argtypes = restype, argtypes
    return library


@pytest.mark.parametrize("name", CORE_SYMBOLS)
def test_core_function_is_exported(lib, name):
    assert getattr(lib, name) is not None


def ulp_error(got, expected):
    return np.abs(got - expected) / np.spacing(np.abs(expected))


# ---- normal quantile ---------------------------------------------------------------------------

def probability_grid():
    lower_tail = np.logspace(-323.5, np.log10(0.5), 4000)
    subnormal = np.array([5e-324, 1e-320, 3.3e-315, 2e-310, 2.2250738585072e-308])
    interior = np.linspace(0.0, 1.0, 2001)[1:-1]
    upper_tail = 1.0 - np.logspace(-16, np.log10(0.5), 1000)
    split_edges = np.array([0.075, 0.925, np.exp(-25.0), 1.0 - np.exp(-25.0)])
    return np.concatenate([subnormal, lower_tail, interior, upper_tail, split_edges])


def test_ndtri_matches_scipy_over_both_tails(lib):
    p = probability_grid()
    got = np.array([lib.velm_ndtri_as241(v) for v in p])
    expected = special.ndtri(p)
    assert np.all(np.isfinite(got))
    # Two independent double-precision approximations: a few ulps apart at most.
    assert np.max(ulp_error(got, expected)) <= 8


@pytest.mark.parametrize("p, expected", [
    (0.0, -np.inf), (-0.0, -np.inf), (-1e-300, -np.inf), (-3.0, -np.inf), (-np.inf, -np.inf),
    (1.0, np.inf), (1.0 + 2.0**-52, np.inf), (7.0, np.inf), (np.inf, np.inf),
    (0.5, 0.0),
])
def test_ndtri_range_rules(lib, p, expected):
    assert lib.velm_ndtri_as241(p) == expected


def test_ndtri_of_nan_is_nan(lib):
    assert np.isnan(lib.velm_ndtri_as241(np.nan))


def test_ndtri_into_matches_scalar_form(lib):
    p = np.array([1e-300, 0.01, 0.3, 0.5, 0.8, 1.0 - 1e-12, 0.0, 1.0, -2.0, 2.0, np.nan])
    out = np.full_like(p, -7.0)
    lib.velm_ndtri_as241_into(p, p.size, out)
    expected = np.array([lib.velm_ndtri_as241(v) for v in p])
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_allclose(out[:6], special.ndtri(p[:6]), rtol=2e-15)


def test_ndtri_into_with_no_entries_writes_nothing(lib):
    out = np.full(3, -7.0)
    lib.velm_ndtri_as241_into(np.array([0.25, 0.5, 0.75]), 0, out)
    np.testing.assert_array_equal(out, -7.0)


# ---- inverse error function --------------------------------------------------------------------

def test_erfinv_matches_scipy(lib):
    small = np.logspace(-300, 0, 2000, endpoint=False)
    near_one = 1.0 - np.logspace(-16, -0.3, 500)
    y = np.concatenate([small, -small, near_one, -near_one, np.linspace(-0.99, 0.99, 397)])
    got = np.array([lib.velm_erfinv_from_as241(v) for v in y])
    assert np.max(ulp_error(got, special.erfinv(y))) <= 8


@pytest.mark.parametrize("y, expected", [
    (0.0, 0.0), (-1.0, -np.inf), (-1.5, -np.inf), (1.0, np.inf), (4.0, np.inf),
])
def test_erfinv_range_rules(lib, y, expected):
    assert lib.velm_erfinv_from_as241(y) == expected


def test_erfinv_of_half_and_nan(lib):
    assert lib.velm_erfinv_from_as241(0.5) == pytest.approx(0.476936276204470, rel=1e-15)
    assert np.isnan(lib.velm_erfinv_from_as241(np.nan))


# ---- real and complex solves ---------------------------------------------------------------------

def well_conditioned(rng, n, dtype):
    A = rng.standard_normal((n, n)) + n * np.eye(n)
    if dtype == np.complex128:
        A = A + 1j * rng.standard_normal((n, n))
    return np.ascontiguousarray(A, dtype=dtype)


def right_hand_sides(rng, n, m, dtype):
    B = rng.standard_normal((n, m))
    if dtype == np.complex128:
        B = B + 1j * rng.standard_normal((n, m))
    return np.ascontiguousarray(B, dtype=dtype)


SOLVERS = {np.float64: ("velm_solve", "velm_inv"), np.complex128: ("c128_solve", "c128_inv")}


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("n, m", [(1, 1), (2, 3), (5, 1), (12, 4)])
def test_solve_matches_numpy(lib, dtype, n, m):
    rng = np.random.default_rng(1000 * n + m)
    A, B = well_conditioned(rng, n, dtype), right_hand_sides(rng, n, m, dtype)
    X = np.zeros((n, m), dtype=dtype)
    assert getattr(lib, SOLVERS[dtype][0])(A, B, n, m, X) == OK
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("n", [1, 3, 8])
def test_inverse_matches_numpy(lib, dtype, n):
    rng = np.random.default_rng(77 + n)
    A = well_conditioned(rng, n, dtype)
    Ainv = np.zeros((n, n), dtype=dtype)
    assert getattr(lib, SOLVERS[dtype][1])(A, n, Ainv) == OK
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("dtype, A", [
    (np.float64, [[1.0, 2.0], [2.0, 4.0]]),
    (np.complex128, [[1.0, 1.0], [1j, 1j]]),
])
def test_singular_systems_report_status_and_leave_outputs(lib, dtype, A):
    A = np.array(A, dtype=dtype)
    solve, inv = (getattr(lib, name) for name in SOLVERS[dtype])
    X, Ainv = np.full((2, 1), -7.0, dtype=dtype), np.full((2, 2), -7.0, dtype=dtype)
    assert solve(A, np.ones((2, 1), dtype=dtype), 2, 1, X) == SINGULAR
    assert inv(A, 2, Ainv) == SINGULAR
    np.testing.assert_array_equal(X, -7.0)
    np.testing.assert_array_equal(Ainv, -7.0)


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
def test_empty_system_is_an_invalid_argument(lib, dtype):
    A, out = np.ones((1, 1), dtype=dtype), np.full((1, 1), -7.0, dtype=dtype)
    solve, inv = (getattr(lib, name) for name in SOLVERS[dtype])
    assert solve(A, A, 0, 1, out) == INVALID_ARGUMENT
    assert inv(A, 0, out) == INVALID_ARGUMENT
    np.testing.assert_array_equal(out, -7.0)


def test_complex_matmul_matches_numpy(lib):
    rng = np.random.default_rng(3)
    A = right_hand_sides(rng, 4, 3, np.complex128)
    B = right_hand_sides(rng, 3, 5, np.complex128)
    out = np.zeros((4, 5), dtype=np.complex128)
    lib.c128_matmul(A, B, 4, 3, 5, out)
    np.testing.assert_allclose(out, A @ B, rtol=1e-14, atol=1e-14)
