"""Linear Gaussian state-space filtering on the native kernels, with named results and
exceptions for failure.

    x(t+1) = A x(t) + B eps(t+1),   eps ~ N(0, Q)   (k shocks, n states)
    y(t)   = C x(t) + d + eta(t),   eta ~ N(0, R)   (m observables)

``KalmanFilter(A, B, C, d, Q, R, x0, P0).run(y)`` returns a ``FilterResult``, ``.smooth(y)`` a
``SmootherResult``, ``.loglik(y)`` the log-likelihood alone, ``.loglik_grad(y)`` it with its
gradient and ``.simulate_smoother(y, rng)`` one draw of the states and shocks given the data.
``KalmanFilter.stationary(A, B, C, d, Q, R, x0)`` starts from the stationary covariance of the
states, and its gradient then runs through that start. A NaN in y marks that observable missing
in that period: the period uses only its observed rows of C, d and R, and one with nothing
observed only predicts. A failed call raises the exception of ``Velmora.kalman.errors`` that
matches the kernel's status code. The raw entries of ``Velmora._ckernels.kalman._kalman`` stay
available for callers that want the plain tuples.
"""

from typing import Any, Callable, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Velmora._ckernels.kalman._kalman import (kalman_filter_missing, kalman_hot_loop,
                                               kalman_loglik_grad, kalman_loglik_grad_stationary,
                                               kalman_simulation_smoother, kalman_smoother,
                                               stationary_covariance)
from Velmora.kalman.errors import KF_OK, KalmanError, raise_for_status

__all__ = ["FilterResult", "SmootherResult", "LoglikGradient", "KalmanFilter", "KF_OK",
           "KalmanError"]


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


class SmootherResult(NamedTuple):
    """Smoothed moments given the whole sample, row t for period t, and the log-likelihood."""

    x_smooth: NDArray[np.float64]    # (T, n) E[x(t) | y]
    P_smooth: NDArray[np.float64]    # (T, n, n) Var[x(t) | y]
    eps_smooth: NDArray[np.float64]  # (T, k) E[eps(t) | y], the shock that moves x(t-1) to x(t)
    eta_smooth: NDArray[np.float64]  # (T, m) E[y(t) - C x(t) - d | y]
    loglik: float                    # Gaussian log-likelihood of the observed entries


class LoglikGradient(NamedTuple):
    """The log-likelihood and its gradient, each X_bar = d loglik / dX of X's shape."""

    loglik: float
    A_bar: NDArray[np.float64]
    B_bar: NDArray[np.float64]
    C_bar: NDArray[np.float64]
    d_bar: NDArray[np.float64]
    Q_bar: NDArray[np.float64]
    R_bar: NDArray[np.float64]
    x0_bar: NDArray[np.float64]
    P0_bar: NDArray[np.float64] | None  # None from a stationary start, where P0 is not free


def _float64(name: str, value: ArrayLike, shape: tuple[int, ...]) -> NDArray[np.float64]:
    # a copy of its own: the caller's array may change later (a view of the data, a parameter
    # vector updated in place), and a stationary P0 was solved from these values
    array = np.array(value, dtype=np.float64, order="C", copy=True)
    if array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got {array.shape}.")
    return array


def _orders(A: ArrayLike, B: ArrayLike, C: ArrayLike) -> tuple[int, int, int]:
    """(n, m, k) from A, C and B, which must be matrices before anything else is checked."""
    for name, value, shape in (("A", A, "(n, n)"), ("B", B, "(n, k)"), ("C", C, "(m, n)")):
        if np.ndim(value) != 2:
            raise ValueError(f"{name} must be a 2-D array of shape {shape}, "
                             f"got shape {np.shape(value)}.")
    return np.shape(A)[0], np.shape(C)[0], np.shape(B)[1]


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
        n, m, k = _orders(A, B, C)
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
        # the stationary solver's (tolerance, max_iterations) when P0 is the stationary covariance
        self.stationary_start: tuple[float, int] | None = None

    @classmethod
    def stationary(cls, A: ArrayLike, B: ArrayLike, C: ArrayLike, d: ArrayLike, Q: ArrayLike,
                   R: ArrayLike, x0: ArrayLike, *, tolerance: float = 1e-12,
                   max_iterations: int = 64, **options: Any) -> "KalmanFilter":
        """The filter started from the stationary covariance P0 = A P0 A' + B Q B' of the states
        (``stationary_covariance`` with ``tolerance`` and ``max_iterations``). Its
        ``loglik_grad`` is the total gradient, through P0 as well. ``options`` are those of
        the constructor. Raises ``NotConvergedError`` when the states are not stationary."""
        n, _, k = _orders(A, B, C)
        A, B, Q = _float64("A", A, (n, n)), _float64("B", B, (n, k)), _float64("Q", Q, (k, k))
        status, P0 = stationary_covariance(A, B, Q, tolerance, max_iterations)
        raise_for_status(status, "KalmanFilter.stationary")
        kf = cls(A, B, C, d, Q, R, x0, P0, **options)
        kf.stationary_start = (float(tolerance), int(max_iterations))
        return kf

    @property
    def nmk(self) -> tuple[int, int, int]:
        """(n, m, k): numbers of states, observables and shocks."""
        return self.A.shape[0], self.C.shape[0], self.Q.shape[0]

    def _observations(self, y: ArrayLike) -> NDArray[np.float64]:
        m = self.nmk[1]
        y = np.ascontiguousarray(y, dtype=np.float64)
        if y.ndim == 1 and m == 1:
            y = y.reshape(-1, 1)
        if y.ndim != 2 or y.shape[1] != m:
            raise ValueError(f"y must have shape (T, {m}), got {y.shape}.")
        return y

    def _model_args(self, y: NDArray[np.float64]) -> tuple[Any, ...]:
        return (y.shape[0], self.nmk, self.A, self.B, self.C, self.d, self.Q, self.R, y,
                self.x0, self.P0, self.symmetrize, self.joseph_cov, self.jitter)

    def run(self, y: ArrayLike, *, return_shocks: bool = False,
            store_history: bool = True) -> FilterResult:
        """Filter the T x m observations ``y`` (a vector when m = 1) and return a FilterResult.

        A NaN in ``y`` is a missing observation (the native ``kalman_filter_missing`` runs
        such a sample, ``hot_loop`` every other one): the period updates with its observed
        rows only, its ``innov`` is NaN where ``y`` is and its ``std_innov`` NaN at the
        missing rows, while ``y_pred``, ``y_filt`` and ``S`` are those of the whole vector.
        Before missing observations were supported a NaN flowed through the filter and made
        every later state and the log-likelihood NaN; ``kalman_hot_loop`` still does so.

        Raises the ``Velmora.kalman.errors`` exception of a non-zero status, for instance
        ``CholeskyFailedError`` when an innovation covariance cannot be factorised; the
        exception's ``result`` holds the histories written before the failure.
        """
        y = self._observations(y)
        loop = kalman_filter_missing if np.isnan(y).any() else self.hot_loop
        status, out = loop(*self._model_args(y), return_shocks, store_history)
        result = FilterResult(*out)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.run", result)
        return result

    def loglik(self, y: ArrayLike) -> float:
        """The log-likelihood of ``y`` alone (NaN as missing), by the fastest exact route: the
        native hot loop with its settled tail and low-rank route for a complete sample, the
        missing-data filter otherwise, neither storing histories."""
        y = self._observations(y)
        loop = kalman_filter_missing if np.isnan(y).any() else kalman_hot_loop
        status, out = loop(*self._model_args(y), False, False)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.loglik", out[-1])
        return float(out[-1])

    def loglik_grad(self, y: ArrayLike) -> LoglikGradient:
        """The log-likelihood of ``y`` (NaN as missing) and its exact gradient by the adjoint
        sweep, as a ``LoglikGradient``.

        For a filter made by ``KalmanFilter.stationary`` the gradient is the total one: A_bar,
        B_bar and Q_bar include the derivative through the stationary P0, which then has no
        gradient of its own (``P0_bar`` is None). Otherwise P0 is a free input, held fixed by
        the others, with its gradient in ``P0_bar``.
        """
        y = self._observations(y)
        if self.stationary_start is None:
            status, loglik, grads = kalman_loglik_grad(*self._model_args(y))
        else:
            status, loglik, grads = kalman_loglik_grad_stationary(*self._model_args(y),
                                                                  *self.stationary_start)
            grads = (*grads, None)
        result = LoglikGradient(float(loglik), *grads)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.loglik_grad", result)
        return result

    def smooth(self, y: ArrayLike, *, smoothed_cov: bool = True) -> SmootherResult:
        """Smoothed states, their covariances and the smoothed shocks and measurement errors
        given all of ``y`` (NaN as missing), by the state and disturbance smoothers of Durbin and
        Koopman (2012, ch. 4) over one filter pass.

        ``eps_smooth[t]`` has the timing of ``FilterResult.eps_hat[t]``: the shock that moves
        x(t-1) to x(t), row 0 that of the prior. ``eta_smooth[t]`` = E[y(t) - C x(t) - d | y]
        for every row, a missing one included. Without ``smoothed_cov`` ``P_smooth`` has no rows.
        """
        y = self._observations(y)
        status, out = kalman_smoother(*self._model_args(y), smoothed_cov)
        result = SmootherResult(*out)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.smooth", result)
        return result

    def simulate_smoother(self, y: ArrayLike, rng: np.random.Generator | int | None = None
                          ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """One draw ``(x_draw, eps_draw)``, shapes (T, n) and (T, k), of the states and shocks
        from their distribution given ``y`` (NaN as missing), by the mean-correction simulation
        smoother of Durbin and Koopman (2002).

        ``rng`` is a NumPy Generator or a seed for ``np.random.default_rng``; the standard normal
        variates are drawn from it (n for the prior, then T x k, then T x m), so the same seed
        gives the same draw. The prior is taken to carry the shock of period 0, so P0 - B Q B'
        must be positive semi-definite (a stationary prior is); otherwise
        ``CholeskyFailedError`` is raised.
        """
        y = self._observations(y)
        n, m, k = self.nmk
        T = y.shape[0]
        rng = np.random.default_rng(rng)
        z_x0 = rng.standard_normal(n)
        z_eps = rng.standard_normal((T, k))
        z_eta = rng.standard_normal((T, m))
        status, out = kalman_simulation_smoother(*self._model_args(y), z_x0, z_eps, z_eta)
        if status != KF_OK:
            raise_for_status(status, "KalmanFilter.simulate_smoother", out)
        return out
