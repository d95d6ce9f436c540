"""Linear Gaussian state-space filtering on the native kernels, with named results and
exceptions for failure.

    x(t+1) = A x(t) + B eps(t+1),   eps ~ N(0, Q)   (k shocks, n states)
    y(t)   = C x(t) + d + eta(t),   eta ~ N(0, R)   (m observables)

``KalmanFilter(A, B, C, d, Q, R, x0, P0).run(y)`` returns a ``FilterResult``; a failed run raises
the exception of ``Velmora.kalman.errors`` that matches the kernel's status code. The raw entries
of ``Velmora._ckernels.kalman._kalman`` stay available for callers that want the plain tuples.
"""

from typing import Any, Callable, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Velmora._ckernels.kalman._kalman import kalman_hot_loop
from Velmora.kalman.errors import KF_OK, KalmanError, raise_for_status

__all__ = ["FilterResult", "KalmanFilter", "KF_OK", "KalmanError"]


class FilterResult(NamedTuple):
    """The histories of one filter run, row t for period t, and the log-likelihood."""

    x_pred: NDArray[np.float64]     # (T, n) predicted state, x0 in row 0
    x_filt: NDArray[np.float64]     # (T, n) filtered state
    P_pred: NDArray[np.float64]     # (T, n, n) predicted covariance, P0 in row 0
    P_filt: NDArray[np.float64]     # (T, n, n) filtered covariance
    y_pred: NDArray[np.float64]     # (T, m) predicted observation C x_pred + d
    y_filt: NDArray[np.float64]     # (T, m) filtered observation C x_filt + d
    innov: NDArray[np.float64]      # (T, m) innovation y - y_pred
    std_innov: NDArray[np.float64]  # (T, m) innovation standardised by the Cholesky factor of S
    S: NDArray[np.float64]          # (T, m, m) innovation covariance
    eps_hat: NDArray[np.float64]    # (T, k) shock estimate Q B' C' S^-1 v; 0 rows unless asked
    loglik: float                   # Gaussian log-likelihood of the sample


def _float64(name: str, value: ArrayLike, shape: tuple[int, ...]) -> NDArray[np.float64]:
    array = np.ascontiguousarray(value, dtype=np.float64)
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got {array.shape}.")
    return array


class KalmanFilter:
    """The linear Gaussian model above with its prior x(0) ~ N(x0, P0).

    ``hot_loop`` is the function that runs the filter: the native ``kalman_hot_loop`` by
    default, or any callable with its parameters and result, such as a just-in-time-compiled
    twin. ``symmetrize``, ``joseph_cov`` and ``jitter`` are handed to it unchanged.
    """

    def __init__(self, A: ArrayLike, B: ArrayLike, C: ArrayLike, d: ArrayLike, Q: ArrayLike,
                 R: ArrayLike, x0: ArrayLike, P0: ArrayLike, *, symmetrize: bool = True,
                 joseph_cov: bool = False, jitter: float = 0.0,
                 hot_loop: Callable[..., tuple[int, tuple[Any, ...]]] | None = None) -> None:
        n, m, k = np.shape(A)[0], np.shape(C)[0], np.shape(B)[-1]
        self.A = _float64("A", A, (n, n))
        self.B = _float64("B", B, (n, k))
        self.C = _float64("C", C, (m, n))
        self.d = _float64("d", d, (m,))
        self.Q = _float64("Q", Q, (k, k))
        self.R = _float64("R", R, (m, m))
        self.x0 = _float64("x0", x0, (n,))
        self.P0 = _float64("P0", P0, (n, n))
        self.symmetrize, self.joseph_cov, self.jitter = bool(symmetrize), bool(joseph_cov), jitter
        self.hot_loop = kalman_hot_loop if hot_loop is None else hot_loop

    @property
    def nmk(self) -> tuple[int, int, int]:
        """(n, m, k): numbers of states, observables and shocks."""
        return self.A.shape[0], self.C.shape[0], self.Q.shape[0]

    def run(self, y: ArrayLike, *, return_shocks: bool = False,
            store_history: bool = True) -> FilterResult:
        """Filter the T x m observations ``y`` (a vector when m = 1) and return a FilterResult.

        Raises the ``Velmora.kalman.errors`` exception of a non-zero status, for instance
        ``CholeskyFailedError`` when an innovation covariance cannot be factorised; the
        exception's ``result`` holds the histories written before the failure.
        """
        n, m, k = self.nmk
        y = np.ascontiguousarray(y, dtype=np.float64)
        if y.ndim == 1 and m == 1:
            y = y.reshape(-1, 1)
        if y.ndim != 2 or y.shape[1] != m:
            raise ValueError(f"y must have shape (T, {m}), got {y.shape}.")
        status, out = self.hot_loop(
            y.shape[0], (n, m, k), self.A, self.B, self.C, self.d, self.Q, self.R, y, self.x0,
            self.P0, self.symmetrize, self.joseph_cov, self.jitter, return_shocks, store_history)
        result = FilterResult(*out)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.run", result)
        return result
