"""Types of the native filter entries: every parameter, and the plain result tuples."""

from typing import Any, Sequence, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F64: TypeAlias = NDArray[np.float64]
# Arrays are coerced with np.ascontiguousarray(..., dtype=float64): anything NumPy converts.
_Array: TypeAlias = ArrayLike
# Arguments whose dimensions are read from their `shape` before coercion must be arrays.
_Shaped: TypeAlias = NDArray[Any]
_Count: TypeAlias = SupportsInt
_Address: TypeAlias = SupportsInt  # integer address of a compiled meas_fn, e.g. cfunc.address
_Real: TypeAlias = SupportsFloat | SupportsIndex
_Flag: TypeAlias = bool | int | None
_Triple: TypeAlias = Sequence[SupportsInt] | NDArray[np.integer[Any]]

# (x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat, loglik)
_FilterOut: TypeAlias = tuple[_F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, float]
# (x1_pred, x2_pred, x1_filt, x2_filt, x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov,
#  std_innov, S, loglik)
_UKFOut: TypeAlias = tuple[_F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64,
                           _F64, float]
# Gradients of the log-likelihood with respect to (A, B, C, d, Q, R, x0, P0), each of its
# parameter's shape.
_Gradients: TypeAlias = tuple[_F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64]
_TotalGradients: TypeAlias = tuple[_F64, _F64, _F64, _F64, _F64, _F64, _F64]

def kalman_hot_loop(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    return_shocks: _Flag = False,
    store_history: _Flag = True,
) -> tuple[int, _FilterOut]:
    """Run the linear Kalman filter; returns ``(status, out)``."""

def stationary_covariance(
    A: _Array,
    B: _Array,
    Q: _Array,
    tolerance: _Real = 1e-12,
    max_iterations: _Count = 64,
) -> tuple[int, _F64]:
    """Solve ``P = A P A.T + B Q B.T`` and return ``(status, P)``."""

def ekf_hot_loop(
    meas_addr: _Address,
    jac_addr: _Address,
    A: _Shaped,
    B: _Shaped,
    calib_params: _Shaped,
    Q: _Array,
    R: _Array,
    y: _Shaped,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    compute_y_filt: _Flag = True,
    return_shocks: _Flag = False,
    store_history: _Flag = True,
) -> tuple[int, _FilterOut]:
    """Run the extended Kalman filter; returns ``(status, out)``."""

def ukf_hot_loop(
    meas_addr: _Address,
    hx: _Array,
    gx: _Array,
    bu: _Array,
    hxx: _Array,
    gxx: _Array,
    hxu: _Array,
    gxu: _Array,
    huu: _Array,
    guu: _Array,
    hss: _Array,
    gss: _Array,
    steady_state: _Array,
    params: _Array,
    Q: _Array,
    R: _Array,
    obs: _Array,
    z0: _Array,
    P0: _Array,
    alpha: _Real,
    beta: _Real,
    kappa: _Real,
    jitter: _Real,
    symmetrize: _Flag = True,
    store_history: _Flag = True,
) -> tuple[int, _UKFOut]:
    """Run the second-order unscented Kalman filter; returns ``(status, out)``."""

def kalman_loglik_grad(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
) -> tuple[int, float, _Gradients]:
    """Log-likelihood of the linear filter and its gradients: ``(status, loglik, grads)``."""

def kalman_loglik_grad_stationary(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    tolerance: _Real = 1e-12,
    max_iterations: _Count = 64,
) -> tuple[int, float, _TotalGradients]:
    """Log-likelihood from the stationary start ``P0`` and its total gradients with respect to
    ``A, B, C, d, Q, R, x0``: ``(status, loglik, grads)``."""

def stationary_covariance_grad(
    A: _Array,
    B: _Array,
    Q: _Array,
    P_bar: _Array,
    tolerance: _Real = 1e-12,
    max_iterations: _Count = 64,
) -> tuple[int, _F64, _F64, _F64]:
    """Gradient of ``<P_bar, P>`` with ``P = stationary_covariance(A, B, Q, tolerance,
    max_iterations)``; return ``(status, A_bar, B_bar, Q_bar)``."""

def kalman_filter_missing(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    return_shocks: _Flag = False,
    store_history: _Flag = True,
) -> tuple[int, _FilterOut]:
    """Run the linear Kalman filter with NaN in ``y`` as missing; returns ``(status, out)``."""

# (x_smooth, P_smooth, eps_smooth, eta_smooth, loglik)
_SmootherOut: TypeAlias = tuple[_F64, _F64, _F64, _F64, float]

def kalman_smoother(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    smoothed_cov: _Flag = True,
) -> tuple[int, _SmootherOut]:
    """Smoothed states, covariances and disturbances; returns ``(status, out)``."""

def kalman_simulation_smoother(
    T: _Count,
    nmk: _Triple,
    A: _Array,
    B: _Array,
    C: _Array,
    d: _Array,
    Q: _Array,
    R: _Array,
    y: _Array,
    x0: _Array,
    P0: _Array,
    symmetrize: _Flag,
    joseph_cov: _Flag,
    jitter: _Real,
    z_x0: _Array,
    z_eps: _Array,
    z_eta: _Array,
) -> tuple[int, tuple[_F64, _F64]]:
    """One draw of the states and shocks given the data: ``(status, (x_draw, eps_draw))``."""
