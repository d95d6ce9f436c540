"""Status codes of the native filter kernels and the exceptions they map to.

The native entries never raise for numerical failure: they return ``(status, out)`` with one of
the codes below. ``raise_for_status`` turns a non-zero code into its exception.
"""

from typing import Any, SupportsInt

KF_OK = 0
KF_NOT_POSITIVE_DEFINITE = -101  # Cholesky family: matrix not numerically positive definite
KF_LU_BAD_ARGUMENT = -102        # LU solvers: null argument, n <= 0 or allocation failure
KF_LU_SINGULAR = -103            # LU solvers: a column's largest pivot candidate is zero
KF_INVALID_INPUT = -1101         # unscented filter: null measurement, no states or no observables
KF_CHOLESKY_FAILED = -1102       # filters: a covariance could not be factorised
KF_NOT_CONVERGED = -1105         # stationary covariance: no convergence or a non-finite value

# What each non-zero code means: the message of its exception below.
_DESCRIPTIONS = {
    KF_NOT_POSITIVE_DEFINITE: "matrix is not numerically positive definite",
    KF_LU_BAD_ARGUMENT: "LU solver: null argument, non-positive dimension or allocation failure",
    KF_LU_SINGULAR: "LU solver: matrix is singular",
    KF_INVALID_INPUT: "invalid input: null measurement function, no states or no observables",
    KF_CHOLESKY_FAILED: "a covariance matrix could not be factorised (not positive definite)",
    KF_NOT_CONVERGED: "no convergence within the iteration bound, or a non-finite value",
}


class KalmanError(Exception):
    """A native kernel returned a non-zero status; ``status`` holds the code.

    ``result`` holds what the call returned besides the status (the histories written before the
    failure), when the raiser had it.
    """

    status: int | None = None
    description = "the native kernel failed"

    def __init_subclass__(cls, status: int | None = None, **kwargs: Any) -> None:
        """``class E(KalmanError, status=CODE)`` gives E that code and its description."""
        super().__init_subclass__(**kwargs)
        if status is not None:
            cls.status, cls.description = status, _DESCRIPTIONS[status]

    def __init__(self, message: str | None = None, *, status: int | None = None,
                 result: Any = None) -> None:
        if status is not None:
            self.status = status
        self.result = result
        super().__init__(message or f"{self.description} (status {self.status})")


class NotPositiveDefiniteError(KalmanError, status=KF_NOT_POSITIVE_DEFINITE): ...
class LUArgumentError(KalmanError, status=KF_LU_BAD_ARGUMENT): ...
class SingularMatrixError(KalmanError, status=KF_LU_SINGULAR): ...
class InvalidInputError(KalmanError, status=KF_INVALID_INPUT): ...
class CholeskyFailedError(KalmanError, status=KF_CHOLESKY_FAILED): ...
class NotConvergedError(KalmanError, status=KF_NOT_CONVERGED): ...


EXCEPTIONS = {cls.status: cls for cls in KalmanError.__subclasses__() if cls.status is not None}


def raise_for_status(status: SupportsInt, context: str | None = None, result: Any = None) -> None:
    """Raise the exception of a non-zero status code; return None for ``KF_OK``.

    ``context`` (for example the entry's name) prefixes the message; an unknown code raises the
    base class ``KalmanError``.
    """
    status = int(status)
    if status == KF_OK:
        return
    cls = EXCEPTIONS.get(status, KalmanError)
    description = cls.description if cls is not KalmanError else "unknown status"
    message = f"{context + ': ' if context else ''}{description} (status {status})"
    raise cls(message, status=status, result=result)
