"""Native measurement callbacks for the filter tests: numba cfuncs and recording ctypes functions.

Both kinds have the signature void(double* x, double* params, double* out) and are handed to the
filters by integer address. A kernel is a plain function kernel(x, params, out) over 1-D arrays
(see models.py); the Jacobian's out is the flattened row-major m x n matrix.
"""

import ctypes
import functools
from dataclasses import dataclass

import numpy as np

NUMBA_SIGNATURE = "void(CPointer(float64), CPointer(float64), CPointer(float64))"
CALLBACK_TYPE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_double),
                                 ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))


@functools.cache
def numba_callback(kernel, n_in, n_par, n_out):
    """A compiled cfunc running `kernel` on arrays of n_in, n_par and n_out cells.

    Cached, so that each (kernel, sizes) is compiled once per test session; keep the returned
    object alive while its `.address` is in use.
    """
    import numba

    jitted = numba.njit(kernel)

    @numba.cfunc(NUMBA_SIGNATURE, nopython=True)
    def callback(x, params, out):
        jitted(numba.carray(x, (n_in,)), numba.carray(params, (n_par,)),
               numba.carray(out, (n_out,)))

    return callback


@dataclass
class Call:
    name: str              # which callback was called
    x: np.ndarray          # copy of the n_in cells it received
    params_null: bool      # the params pointer was NULL
    params: np.ndarray     # copy of the n_par cells (empty when NULL)


class CallLog(list):
    """Calls of one or more recording callbacks, in the order they happened."""

    def names(self):
        return [call.name for call in self]

    def of(self, name):
        return [call for call in self if call.name == name]


class RecordingCallback:
    """A ctypes callback that runs `kernel` and appends a `Call` to `log`.

    An exception in the kernel cannot cross the native boundary: it is kept in `errors` and the
    output is filled with NaN, so a test can assert that none happened.
    """

    def __init__(self, kernel, n_in, n_par, n_out, name, log):
        self.kernel, self.n_in, self.n_par, self.n_out = kernel, n_in, n_par, n_out
        self.name, self.log, self.errors = name, log, []
        self._cfunc = CALLBACK_TYPE(self._call)

    @property
    def address(self):
        return ctypes.cast(self._cfunc, ctypes.c_void_p).value

    def _call(self, x_ptr, params_ptr, out_ptr):
        out = np.ctypeslib.as_array(out_ptr, shape=(self.n_out,))
        try:
            x = np.ctypeslib.as_array(x_ptr, shape=(self.n_in,)).copy()
            params_null = not bool(params_ptr)
            if params_null or self.n_par == 0:
                params = np.empty(0)
            else:
                params = np.ctypeslib.as_array(params_ptr, shape=(self.n_par,)).copy()
            self.log.append(Call(self.name, x, params_null, params))
            result = np.empty(self.n_out)
            self.kernel(x, params, result)
            out[:] = result
        except BaseException as exc:  # noqa: BLE001 - must not unwind into native code
            self.errors.append(exc)
            out[:] = np.nan
