"""kalman_hot_loop against statsmodels' Kalman filter and a numba twin of the same recursion."""

from _timing import best_times, fmt_time, print_table  # first: pins BLAS threads

import ctypes

import numpy as np
from numba import njit
from scipy.linalg import solve_discrete_lyapunov
from statsmodels.tsa.statespace.kalman_filter import KalmanFilter

from _jit_linalg import LN_2PI, backward_subst_t, chol, forward_subst, gain, logdet_from_chol
from _jit_linalg import symmetrize as sym_inplace
import Velmora._ckernels.kalman._kalman as kalman_ext
from Velmora._ckernels.kalman._kalman import kalman_hot_loop

CASES = ((2, 1, 1, 200), (10, 3, 3, 200), (30, 8, 8, 200), (100, 10, 10, 200))
JITTER = 0.0


@njit(cache=True)
def numba_kalman_hot_loop(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter,
                          return_shocks=False, store_history=True):
    """Just-in-time twin of kalman_hot_loop: same arguments, same (status, out) result."""
    n, m, k = nmk
    hist_T = T if store_history else 0
    shock_T = T if (store_history and return_shocks) else 0
    x_pred_h, x_filt_h = np.zeros((hist_T, n)), np.zeros((hist_T, n))
    P_pred_h, P_filt_h = np.zeros((hist_T, n, n)), np.zeros((hist_T, n, n))
    y_pred_h, y_filt_h = np.zeros((hist_T, m)), np.zeros((hist_T, m))
    innov_h, std_innov_h = np.zeros((hist_T, m)), np.zeros((hist_T, m))
    S_h, eps_hat_h = np.zeros((hist_T, m, m)), np.zeros((shock_T, k))

    BQBT = B @ Q @ B.T
    sym_inplace(BQBT)
    M = Q @ B.T @ C.T if shock_T > 0 else np.zeros((k, m))  # eps_hat = M S^-1 v
    x_pred, P_pred = x0.copy(), P0.copy()
    L, u, S_inv_v = np.empty((m, m)), np.empty(m), np.empty(m)
    loglik, status = 0.0, 0
    for t in range(T):
        y_pred = C @ x_pred + d
        v = y[t] - y_pred
        S = C @ P_pred @ C.T + R
        if symmetrize:
            sym_inplace(S)
        if not chol(S, jitter, L):
            status = -1102
            break
        forward_subst(L, v, u)
        backward_subst_t(L, u, S_inv_v)
        PCt = P_pred @ C.T
        K = gain(L, PCt)
        x_filt = x_pred + K @ v
        if joseph_cov:
            I_KC = np.eye(n) - K @ C
            P_filt = I_KC @ P_pred @ I_KC.T + K @ R @ K.T
        else:
            P_filt = P_pred - K @ PCt.T
        if symmetrize:
            sym_inplace(P_filt)
        loglik += -0.5 * (logdet_from_chol(L) + v @ S_inv_v + m * LN_2PI)
        if store_history:
            if return_shocks:
                eps_hat_h[t] = M @ S_inv_v
            x_pred_h[t] = x_pred
            x_filt_h[t] = x_filt
            P_pred_h[t] = P_pred
            P_filt_h[t] = P_filt
            y_pred_h[t] = y_pred
            y_filt_h[t] = C @ x_filt + d
            innov_h[t] = v
            std_innov_h[t] = u
            S_h[t] = S
        x_pred = A @ x_filt
        P_pred = A @ P_filt @ A.T + BQBT
        if symmetrize:
            sym_inplace(P_pred)
    return status, (x_pred_h, x_filt_h, P_pred_h, P_filt_h, y_pred_h, y_filt_h, innov_h,
                    std_innov_h, S_h, eps_hat_h, loglik)


def random_model(n, m, k, T, rng):
    """Stable transition (spectral radius 0.95), data simulated from the model itself."""
    A = rng.standard_normal((n, n))
    A *= 0.95 / np.max(np.abs(np.linalg.eigvals(A)))
    B = rng.standard_normal((n, k)) / np.sqrt(k)
    C = rng.standard_normal((m, n)) / np.sqrt(n)
    d = rng.standard_normal(m)
    Q = np.diag(rng.uniform(0.5, 1.5, k))
    R = np.diag(rng.uniform(0.1, 0.5, m))
    P0 = solve_discrete_lyapunov(A, B @ Q @ B.T)
    P0 = 0.5 * (P0 + P0.T)
    x, y = np.zeros(n), np.empty((T, m))
    for t in range(T):
        y[t] = C @ x + d + rng.multivariate_normal(np.zeros(m), R)
        x = A @ x + B @ rng.multivariate_normal(np.zeros(k), Q)
    return A, B, C, d, Q, R, y, np.zeros(n), P0


def statsmodels_filter(model, T, tolerance=None):
    """statsmodels representation built once; the timed calls only filter. Its default
    tolerance (None: left as it is, 1e-19) freezes the covariances once they stop changing
    (steady state); 0 keeps the full recursion, the same computation as ours."""
    A, B, C, d, Q, R, y, x0, P0 = model
    m, n = C.shape
    kf = KalmanFilter(k_endog=m, k_states=n, k_posdef=B.shape[1])
    kf.bind(y[:T].copy())
    kf["design"], kf["obs_intercept"], kf["obs_cov"] = C, d, R
    kf["transition"], kf["selection"], kf["state_cov"] = A, B, Q
    kf.initialize_known(x0, P0)
    if tolerance is not None:
        kf.tolerance = tolerance
    return kf


def flops_per_period(n, m, k, store_history):
    """Nominal count of the standard-form recursion, two flops per multiply-add:
    C P 2mn^2, (C P) C' 2m^2n, P C' 2mn^2, gain 2nm^2, K (P C')' 2mn^2, A P 2n^3, (A P) A' 2n^3,
    Cholesky m^3/3, vector products 2mn (C x), 2mn (K v), 2n^2 (A x), 2m^2 (two solves),
    plus 2mn (C x_filt) with histories."""
    return (4 * n**3 + 6 * m * n**2 + 4 * m**2 * n + m**3 / 3 + 2 * n**2 + 4 * m * n + 2 * m**2
            + (2 * m * n if store_history else 0))


def compare(ours, twin, sm_result, store):
    """Largest |difference| to ours over the log-likelihood and, with histories, x_filt, P_filt."""
    sm_loglik = sm_result.llf if store else sm_result
    diff_twin, diff_sm = abs(ours[10] - twin[10]), abs(ours[10] - sm_loglik)
    if store:
        sm_x_filt = sm_result.filtered_state.T
        sm_P_filt = sm_result.filtered_state_cov.transpose(2, 0, 1)
        diff_twin = max(diff_twin, np.max(np.abs(ours[1] - twin[1])),
                        np.max(np.abs(ours[3] - twin[3])))
        diff_sm = max(diff_sm, np.max(np.abs(ours[1] - sm_x_filt)),
                      np.max(np.abs(ours[3] - sm_P_filt)))
    return diff_twin, diff_sm


def time_case(model, n, m, k, symmetrize, joseph, store, sm_tolerance):
    """Times of ours, the numba twin and statsmodels (filter() with histories, loglike()
    without) on one model, and the largest differences of the twin and statsmodels to ours."""
    A, B, C, d, Q, R, y, x0, P0 = model
    T = len(y)
    kf = statsmodels_filter(model, T, sm_tolerance)

    def ours():
        return kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, x0, P0, symmetrize, joseph,
                               JITTER, False, store)

    def jit_twin():
        return numba_kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, x0, P0, symmetrize,
                                     joseph, JITTER, False, store)

    sm_call = kf.filter if store else kf.loglike
    (s_ours, out_ours), (s_twin, out_twin) = ours(), jit_twin()
    assert s_ours == 0 and s_twin == 0, (s_ours, s_twin)
    diffs = compare(out_ours, out_twin, sm_call(), store)
    times = best_times({"ours": ours, "numba": jit_twin, "sm": sm_call})
    return (times["ours"], times["numba"], times["sm"]), diffs


def filter_table(title, models, symmetrize, joseph, sm_tolerance, stores):
    rows, timings = [], {}
    for (n, m, k, T), model in models.items():
        for store in stores:
            times, (diff_twin, diff_sm) = time_case(model, n, m, k, symmetrize, joseph, store,
                                                    sm_tolerance)
            t_ours, t_twin, t_sm = times
            timings[(n, m, k, T, store)] = times
            rows.append([f"({n},{m},{k},{T})", "on" if store else "off", fmt_time(t_ours),
                         fmt_time(t_twin), fmt_time(t_sm), f"{t_twin / t_ours:.2f}",
                         f"{t_sm / t_ours:.2f}", f"{diff_twin:.1e}", f"{diff_sm:.1e}"])
    print_table(title, ["(n,m,k,T)", "hist", "ours", "numba", "sm", "numba/ours", "sm/ours",
                        "diff numba", "diff sm"], rows)
    return timings


def main():
    rng = np.random.default_rng(20240611)
    models = {case: random_model(*case, rng) for case in CASES}
    filter_table("symmetrised, Joseph form: kalman_hot_loop vs numba twin and statsmodels' "
                 "default loglike() (steady-state shortcut on)",
                 models, True, True, None, (False,))
    filter_table("standard form, not symmetrised: kalman_hot_loop vs numba twin and "
                 "statsmodels with kf.tolerance = 0 (full recursion)",
                 models, False, False, 0.0, (False, True))
    print("diff: largest |difference| to ours over loglik and, with histories, x_filt and P_filt."
          "\nsm: statsmodels filter() with histories, loglike() without."
          "\nours: from the stationary start of these models the covariance recursion runs as "
          "rank-m (Chandrasekhar) updates until it settles at its fixed point.")
    print_overhead(rng)
    print_gflops(CASES[-1], rng)


def print_overhead(rng):
    n, m, k, T = 2, 1, 1, 1
    model = random_model(n, m, k, T, rng)
    A, B, C, d, Q, R, y, x0, P0 = model
    kf = statsmodels_filter(model, T)
    rows = []
    for store in (True, False):
        calls = {
            "ours": lambda: kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, x0, P0, True,
                                            False, 0.0, False, store),
            "numba": lambda: numba_kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, x0, P0,
                                                   True, False, 0.0, False, store),
            "statsmodels": kf.filter if store else kf.loglike,
        }
        rows.append(["on" if store else "off"]
                    + [fmt_time(t) for t in best_times(calls).values()])
    print_table("per-call overhead: (n,m,k,T) = (2,1,1,1)",
                ["hist", "ours", "numba", "statsmodels"], rows)


def product_gflops(n, rng):
    """GFLOP/s (2 n^3 flops) of numpy's A @ B (single-thread OpenBLAS dgemm) and of the
    extension's exported velm_matmul and velm_matmul_abt, called through ctypes with raw
    pointers, on the same n x n operands."""
    library = ctypes.CDLL(kalman_ext.__file__)
    A, B, out = rng.standard_normal((n, n)), rng.standard_normal((n, n)), np.empty((n, n))
    pointers = [ctypes.c_void_p(a.ctypes.data) for a in (A, B, out)] + [ctypes.c_int64(n)] * 3
    calls = {"dgemm": lambda: np.matmul(A, B, out=out)}
    for name in ("velm_matmul", "velm_matmul_abt"):
        function = getattr(library, name)
        function.restype = None
        function(*pointers)
        assert np.allclose(out, A @ (B if name == "velm_matmul" else B.T))
        calls[name] = lambda function=function: function(*pointers)
    return {name: 2 * n**3 / t / 1e9 for name, t in best_times(calls).items()}


def unsettling_model(n, m, k, T, rng):
    """A rotation without process noise (A orthogonal, Q = 0) from a prior it does not leave
    invariant: P_pred shrinks like 1 / t, never settles, and its first change has full rank, so
    every period runs the whole covariance recursion (neither the settled tail nor the low-rank
    route)."""
    A, B, C, d, Q, R, y, x0, P0 = random_model(n, m, k, T, rng)
    rotation = np.linalg.qr(rng.standard_normal((n, n)))[0]
    return rotation, B, C, d, np.zeros_like(Q), R, y, x0, np.diag(rng.uniform(1.0, 2.0, n))


def print_gflops(case, rng):
    n, m, k, T = case
    products = product_gflops(n, np.random.default_rng(7))
    dgemm = products["dgemm"]
    rows = [[f"{name} (n={n})", f"{g:.2f}", f"{g / dgemm:.0%}"] for name, g in products.items()]
    A, B, C, d, Q, R, y, x0, P0 = unsettling_model(n, m, k, T, rng)
    for store in (False, True):
        def ours():
            return kalman_hot_loop(T, (n, m, k), A, B, C, d, Q, R, y, x0, P0, False, False, 0.0,
                                   False, store)
        if store:
            P_pred = ours()[1][2]
            assert not np.array_equal(P_pred[-1], P_pred[-2]), "the covariances settled"
        g = flops_per_period(n, m, k, store) * T / best_times({"ours": ours})["ours"] / 1e9
        rows.append([f"kalman_hot_loop {str(case).replace(' ', '')} hist "
                     f"{'on' if store else 'off'}", f"{g:.2f}", f"{g / dgemm:.0%}"])
    print_table("GFLOP/s at n = 100, one thread (standard form, not symmetrised, a model whose "
                "covariances never settle; nominal flops "
                "per period 4n^3 + 6mn^2 + 4m^2n + m^3/3 + 2n^2 + 4mn + 2m^2, + 2mn with "
                "histories)", ["kernel", "GFLOP/s", "of dgemm"], rows)


if __name__ == "__main__":
    main()
