"""Seeded random models, measurement functions and comparison helpers for the filter tests."""

import math
from dataclasses import dataclass

import numpy as np

from signatures import arguments_of, keywords_of

LINEAR_FIELDS = ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt", "innov",
                 "std_innov", "S", "eps_hat")
UKF_FIELDS = ("x1_pred", "x2_pred", "x1_filt", "x2_filt", "x_pred", "x_filt", "P_pred",
              "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S")


def random_spd(rng, p, scale=1.0):
    """A well-conditioned symmetric positive definite p x p matrix."""
    G = rng.standard_normal((p, p))
    return scale * (G @ G.T / max(p, 1) + 0.5 * np.eye(p))


def stable_matrix(rng, n, radius):
    """A random n x n matrix with spectral radius `radius`."""
    A = rng.standard_normal((n, n))
    return A * (radius / max(np.abs(np.linalg.eigvals(A)).max(), 1e-12))


# ---- linear Gaussian state-space model ------------------------------------------------------
# Each model's fields bear the names of its entry's parameters: its *_args method reads them by
# name, in the order of the entry's signature.

@dataclass
class LinearModel:
    A: np.ndarray
    B: np.ndarray
    C: np.ndarray
    d: np.ndarray
    Q: np.ndarray
    R: np.ndarray
    y: np.ndarray
    x0: np.ndarray
    P0: np.ndarray

    @property
    def nmk(self):
        return (self.A.shape[0], self.C.shape[0], self.B.shape[1])

    @property
    def T(self):
        return self.y.shape[0]

    def kalman_args(self):
        """Positional arguments of kalman_hot_loop up to P0."""
        return arguments_of("kalman_hot_loop", self, last="P0")

    def kalman_kwargs(self):
        """The same arguments by name."""
        return keywords_of("kalman_hot_loop", self, last="P0")

    def as_extended(self):
        """The same model for the extended filter, measured by `linear_meas`/`linear_jac`."""
        params = np.concatenate([self.C.ravel(), self.d])
        return ExtendedModel(self.A, self.B, params, self.Q, self.R, self.y, self.x0, self.P0)


@dataclass
class ExtendedModel:
    A: np.ndarray
    B: np.ndarray
    calib_params: np.ndarray
    Q: np.ndarray
    R: np.ndarray
    y: np.ndarray
    x0: np.ndarray
    P0: np.ndarray

    def ekf_args(self):
        """Positional arguments of ekf_hot_loop from A to P0."""
        return arguments_of("ekf_hot_loop", self, "A", "P0")


def random_linear_model(seed, n, m, k, T, radius=0.9):
    """A stable model with data simulated from it, x(t+1) = A x(t) + B e, y = C x + d + eta."""
    rng = np.random.default_rng(seed)
    A = stable_matrix(rng, n, radius)
    B = rng.standard_normal((n, k))
    C = rng.standard_normal((m, n))
    d = rng.standard_normal(m)
    Q = random_spd(rng, k)
    R = random_spd(rng, m, 0.5)
    x0 = rng.standard_normal(n)
    P0 = random_spd(rng, n)
    x = rng.multivariate_normal(x0, P0)
    y = np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + d + rng.multivariate_normal(np.zeros(m), R)
        x = A @ x + B @ rng.multivariate_normal(np.zeros(k), Q)
    return LinearModel(A, B, C, d, Q, R, y, x0, P0)


# ---- measurement kernels: (x, params, out) with scalar indexing, so that numba can compile them
# into native callbacks and the NumPy references can call them directly ------------------------

def linear_meas(x, p, out):
    """out = C x + d with params (C row by row, d)."""
    n = x.shape[0]
    m = out.shape[0]
    for i in range(m):
        s = p[m * n + i]
        for j in range(n):
            s += p[i * n + j] * x[j]
        out[i] = s


def linear_jac(x, p, out):
    """out = C (row-major), the Jacobian of linear_meas."""
    for c in range(out.shape[0]):
        out[c] = p[c]


def ekf_meas(x, p, out):
    """h(x) = (p0 exp(x0 / 2), x0 x1 + p1, x1 + sin(x2) / 2) for three states."""
    out[0] = p[0] * math.exp(0.5 * x[0])
    out[1] = x[0] * x[1] + p[1]
    out[2] = x[1] + 0.5 * math.sin(x[2])


def ekf_jac(x, p, out):
    """Row-major 3 x 3 Jacobian of ekf_meas."""
    out[0] = 0.5 * p[0] * math.exp(0.5 * x[0])
    out[1] = 0.0
    out[2] = 0.0
    out[3] = x[1]
    out[4] = x[0]
    out[5] = 0.0
    out[6] = 0.0
    out[7] = 1.0
    out[8] = 0.5 * math.cos(x[2])


def ukf_meas(v, p, out):
    """Two observables of the variable levels v; the params default to (0.3, 1.0) when empty."""
    a = p[0] if p.shape[0] > 0 else 0.3
    b = p[1] if p.shape[0] > 1 else 1.0
    second = v[1] if v.shape[0] > 1 else v[0]
    last = v[v.shape[0] - 1]
    out[0] = v[0] + a * last * last
    out[1] = b * math.exp(0.2 * second) + last


EKF_PARAMS = np.array([1.5, -0.4])
UKF_PARAMS = np.array([0.25, 1.2])


def as_function(kernel, n_out, params):
    """Wraps a kernel as f(x) -> out for the NumPy references."""
    def f(x):
        out = np.empty(n_out)
        kernel(np.asarray(x, dtype=float), params, out)
        return out
    return f


def random_ekf_model(seed, T):
    """Three states, two shocks, measured by `ekf_meas` with `EKF_PARAMS`, simulated data."""
    rng = np.random.default_rng(seed)
    n, k, m = 3, 2, 3
    A = stable_matrix(rng, n, 0.85)
    B = 0.3 * rng.standard_normal((n, k))
    Q = random_spd(rng, k, 0.5)
    R = random_spd(rng, m, 0.05)
    x0 = 0.2 * rng.standard_normal(n)
    P0 = random_spd(rng, n, 0.1)
    h = as_function(ekf_meas, m, EKF_PARAMS)
    x = x0.copy()
    y = np.empty((T, m))
    for t in range(T):
        y[t] = h(x) + rng.multivariate_normal(np.zeros(m), R)
        x = A @ x + B @ rng.multivariate_normal(np.zeros(k), Q)
    return ExtendedModel(A, B, EKF_PARAMS.copy(), Q, R, y, x0, P0)


# ---- second-order pruned model --------------------------------------------------------------

@dataclass
class SecondOrderModel:
    hx: np.ndarray
    gx: np.ndarray
    bu: np.ndarray
    hxx: np.ndarray
    gxx: np.ndarray
    hxu: np.ndarray
    gxu: np.ndarray
    huu: np.ndarray
    guu: np.ndarray
    hss: np.ndarray
    gss: np.ndarray
    steady_state: np.ndarray
    params: np.ndarray
    Q: np.ndarray
    R: np.ndarray
    obs: np.ndarray
    z0: np.ndarray
    P0: np.ndarray

    @property
    def dims(self):
        """(n_state, n_ctrl, n_exog, n_obs)."""
        return (self.hx.shape[0], self.gx.shape[0], self.bu.shape[1], self.R.shape[0])

    def ukf_args(self):
        """Positional arguments of ukf_hot_loop from hx to P0."""
        return arguments_of("ukf_hot_loop", self, "hx", "P0")


def random_second_order_model(seed, ns, nc, ne, T, params=UKF_PARAMS, n_obs=2):
    """A stable pruned second-order model with non-zero quadratic blocks and simulated data."""
    from reference import second_order_step  # the data follow the model being filtered

    rng = np.random.default_rng(seed)
    nv = ns + nc
    small = 0.1
    hx = stable_matrix(rng, ns, 0.8)
    gx = rng.standard_normal((nc, ns))
    bu = rng.standard_normal((nv, ne))
    hxx = small * rng.standard_normal((ns, ns, ns))
    gxx = small * rng.standard_normal((nc, ns, ns))
    hxu = small * rng.standard_normal((ns, ns, ne))
    gxu = small * rng.standard_normal((nc, ns, ne))
    huu = small * rng.standard_normal((ns, ne, ne))
    guu = small * rng.standard_normal((nc, ne, ne))
    hss = small * rng.standard_normal(ns)
    gss = small * rng.standard_normal(nc)
    steady_state = rng.uniform(0.5, 1.5, nv)
    Q = random_spd(rng, ne, 0.05)
    R = random_spd(rng, n_obs, 0.02)
    z0 = np.concatenate([0.1 * rng.standard_normal(ns), np.zeros(ns)])
    P0 = random_spd(rng, 2 * ns, 0.02)
    model = SecondOrderModel(hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, steady_state,
                             np.asarray(params, dtype=float), Q, R, np.zeros((T, n_obs)), z0, P0)
    h = as_function(ukf_meas, n_obs, model.params)
    x1, x2 = z0[:ns].copy(), z0[ns:].copy()
    for t in range(T):
        u = rng.multivariate_normal(np.zeros(ne), Q) if ne else np.zeros(0)
        x1, x2, v = second_order_step(model, x1, x2, u)
        model.obs[t] = h(v) + rng.multivariate_normal(np.zeros(n_obs), R)
    return model


# ---- comparisons ----------------------------------------------------------------------------

def assert_outputs_close(out, expected, fields, rtol=1e-9, atol=1e-9):
    """Compares the arrays of an entry's `out` tuple with a reference dict, field by field."""
    for name, got in zip(fields, out):
        want = expected[name]
        assert got.shape == want.shape, f"{name}: shape {got.shape} != {want.shape}"
        np.testing.assert_allclose(got, want, rtol=rtol, atol=atol, err_msg=name)
    np.testing.assert_allclose(out[len(fields)], expected["loglik"], rtol=rtol, atol=atol,
                               err_msg="loglik")
