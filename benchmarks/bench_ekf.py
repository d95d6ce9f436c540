"""ekf_hot_loop with numba @cfunc callbacks against filterpy's ExtendedKalmanFilter and a numba
loop, on one non-linear model: linear transition, measurement
h_j(x) = sum_i W[j, i] sin(x_i) + 0.5 exp(0.2 x_j), j < m = n / 2."""

from _timing import best_time, best_times, fmt_time, print_table  # first: pins BLAS threads

import numpy as np
from filterpy.kalman import ExtendedKalmanFilter
from numba import carray, cfunc, njit, types
from scipy.linalg import solve_discrete_lyapunov

from _jit_linalg import LN_2PI, backward_subst_t, chol, forward_subst, gain, logdet_from_chol
from _jit_linalg import symmetrize as sym_inplace
from Velmora._ckernels.kalman._kalman import ekf_hot_loop

STATE_SIZES, T = (4, 20), 200
# filterpy updates the covariance in Joseph form and never symmetrises: so do the others here.
SYMMETRIZE, JOSEPH, JITTER = False, True, 0.0
MEAS_SIG = types.void(types.CPointer(types.float64), types.CPointer(types.float64),
                      types.CPointer(types.float64))


@njit(cache=True)
def h_into(x, W, out):
    m, n = W.shape
    for j in range(m):
        s = 0.5 * np.exp(0.2 * x[j])
        for i in range(n):
            s += W[j, i] * np.sin(x[i])
        out[j] = s


@njit(cache=True)
def jacobian_into(x, W, out):
    m, n = W.shape
    for j in range(m):
        for i in range(n):
            out[j, i] = W[j, i] * np.cos(x[i])
        out[j, j] += 0.1 * np.exp(0.2 * x[j])


def compile_callbacks(n, m):
    """The two @cfunc callbacks of the meas_fn signature; params holds W row-major."""
    @cfunc(MEAS_SIG)
    def meas(x_ptr, params_ptr, out_ptr):
        h_into(carray(x_ptr, (n,)), carray(params_ptr, (m, n)), carray(out_ptr, (m,)))

    @cfunc(MEAS_SIG)
    def jac(x_ptr, params_ptr, out_ptr):
        jacobian_into(carray(x_ptr, (n,)), carray(params_ptr, (m, n)), carray(out_ptr, (m, n)))

    return meas, jac


@njit(cache=True)
def numba_ekf(A, B, W, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter):
    """The same loop as ekf_hot_loop (update, then predict); returns status, x_filt, loglik."""
    T, m = y.shape
    n = A.shape[0]
    BQBT = B @ Q @ B.T
    sym_inplace(BQBT)
    x_pred, P_pred = x0.copy(), P0.copy()
    if symmetrize:
        sym_inplace(P_pred)
    y_pred, H = np.empty(m), np.empty((m, n))
    L, u, S_inv_v = np.empty((m, m)), np.empty(m), np.empty(m)
    x_filt_h = np.zeros((T, n))
    loglik = 0.0
    for t in range(T):
        h_into(x_pred, W, y_pred)
        jacobian_into(x_pred, W, H)
        v = y[t] - y_pred
        S = H @ P_pred @ H.T + R
        if symmetrize:
            sym_inplace(S)
        if not chol(S, jitter, L):
            return -1102, x_filt_h, loglik
        forward_subst(L, v, u)
        backward_subst_t(L, u, S_inv_v)
        PHt = P_pred @ H.T
        K = gain(L, PHt)
        x_filt = x_pred + K @ v
        if joseph_cov:
            I_KH = np.eye(n) - K @ H
            P_filt = I_KH @ P_pred @ I_KH.T + K @ R @ K.T
        else:
            P_filt = P_pred - K @ PHt.T
        if symmetrize:
            sym_inplace(P_filt)
        loglik += -0.5 * (logdet_from_chol(L) + v @ S_inv_v + m * LN_2PI)
        x_filt_h[t] = x_filt
        x_pred = A @ x_filt
        P_pred = A @ P_filt @ A.T + BQBT
        if symmetrize:
            sym_inplace(P_pred)
    return 0, x_filt_h, loglik


def h_numpy(x, W):
    """h for filterpy: x and the result are column vectors."""
    m = W.shape[0]
    return W @ np.sin(x) + 0.5 * np.exp(0.2 * x[:m])


def jacobian_numpy(x, W):
    m = W.shape[0]
    H = W * np.cos(x[:, 0])
    H[np.arange(m), np.arange(m)] += 0.1 * np.exp(0.2 * x[:m, 0])
    return H


def filterpy_ekf(A, BQBT, W, R, y, x0, P0, with_loglik=True):
    """filterpy stepping the same model: update with period t, then predict t + 1."""
    n, m = A.shape[0], W.shape[0]
    ekf = ExtendedKalmanFilter(dim_x=n, dim_z=m)
    ekf.x, ekf.P, ekf.F, ekf.Q, ekf.R = x0.reshape(n, 1).copy(), P0.copy(), A, BQBT, R
    x_filt, loglik = np.empty((len(y), n)), 0.0
    for t, z in enumerate(y):
        ekf.update(z.reshape(m, 1), jacobian_numpy, h_numpy, args=(W,), hx_args=(W,))
        if with_loglik:
            loglik += ekf.log_likelihood
        x_filt[t] = ekf.x[:, 0]
        ekf.predict()
    return x_filt, loglik


def random_model(n, rng):
    m, k = n // 2, n
    A = rng.standard_normal((n, n))
    A *= 0.9 / np.max(np.abs(np.linalg.eigvals(A)))
    B = 0.5 * rng.standard_normal((n, k)) / np.sqrt(k)
    W = rng.standard_normal((m, n)) / np.sqrt(n)
    Q, R = np.eye(k), 0.05 * np.eye(m)
    P0 = solve_discrete_lyapunov(A, B @ Q @ B.T)
    P0 = 0.5 * (P0 + P0.T)
    x, y, h = np.zeros(n), np.empty((T, m)), np.empty(m)
    for t in range(T):
        h_into(x, W, h)
        y[t] = h + np.sqrt(0.05) * rng.standard_normal(m)
        x = A @ x + B @ rng.standard_normal(k)
    return A, B, W, Q, R, y, np.zeros(n), P0


def main():
    rng = np.random.default_rng(20240611)
    rows = []
    for n in STATE_SIZES:
        A, B, W, Q, R, y, x0, P0 = random_model(n, rng)
        m = W.shape[0]
        meas, jac = compile_callbacks(n, m)
        params, BQBT = W.ravel(), B @ Q @ B.T

        def ours(store_history=True):
            # y_filt off: the peers evaluate h once per period, at the predicted state
            return ekf_hot_loop(meas.address, jac.address, A, B, params, Q, R, y, x0, P0,
                                SYMMETRIZE, JOSEPH, JITTER, compute_y_filt=False,
                                store_history=store_history)

        def ours_loglik():
            # without the ten histories (T x n x n covariances among them) that the numba
            # loop does not keep
            return ours(store_history=False)

        def jit_loop():
            return numba_ekf(A, B, W, Q, R, y, x0, P0, SYMMETRIZE, JOSEPH, JITTER)

        def filterpy_steps():
            return filterpy_ekf(A, BQBT, W, R, y, x0, P0, with_loglik=False)

        def filterpy_run():
            return filterpy_ekf(A, BQBT, W, R, y, x0, P0)

        status, out = ours()
        status_jit, x_jit, loglik_jit = jit_loop()
        assert status == 0 and status_jit == 0, (status, status_jit)
        x_fp, loglik_fp = filterpy_run()
        diff_jit = max(abs(out[10] - loglik_jit), np.max(np.abs(out[1] - x_jit)))
        diff_fp = max(abs(out[10] - loglik_fp), np.max(np.abs(out[1] - x_fp)))
        assert ours_loglik()[1][10] == out[10]
        times = best_times({"ours": ours, "ours_ll": ours_loglik, "numba": jit_loop})
        t_ours, t_ll, t_jit = times["ours"], times["ours_ll"], times["numba"]
        t_fp, t_fp_steps = best_time(filterpy_run, 3), best_time(filterpy_steps, 3)
        rows.append([n, m, T, fmt_time(t_ours), fmt_time(t_ll), fmt_time(t_jit), fmt_time(t_fp),
                     fmt_time(t_fp_steps), f"{t_jit / t_ours:.2f}", f"{t_jit / t_ll:.2f}",
                     f"{t_fp / t_ours:.1f}", f"{diff_jit:.1e}", f"{diff_fp:.1e}"])
    print_table("ekf_hot_loop (@cfunc callbacks) vs numba loop and filterpy "
                "(Joseph form, no symmetrisation)",
                ["n", "m", "T", "ours", "ours ll", "numba", "filterpy", "fp steps",
                 "numba/ours", "numba/ours ll", "fp/ours", "diff numba", "diff fp"], rows)
    print("diff: largest |difference| to ours over loglik and x_filt.\n"
          "ours: with histories; ours ll: log-likelihood only (store_history=False).\n"
          "filterpy: update() + log_likelihood + predict() per period; "
          "fp steps: the same without log_likelihood.")


if __name__ == "__main__":
    main()
