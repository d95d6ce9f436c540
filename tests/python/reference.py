"""Plain NumPy filters written from the textbook recursions, to check the native loops against.

Linear and extended filters follow Durbin and Koopman (2012, ch. 4): the prior (x0, P0) is the
prediction of period 0, every period updates with its observation and then predicts the next.
The unscented filter uses the scaled unscented transform of Julier (2002) and Wan and van der
Merwe (2000) on the state (x1, x2) of a pruned second-order solution augmented with the shocks.
Every function returns full-length histories (T rows); rows from a failed period on stay zero.
"""

import numpy as np
from scipy.linalg import cho_solve, solve_triangular

LN_2PI = 1.8378770664093453
EPS = np.finfo(np.float64).eps
CHOLESKY_FAILED = -1102


def symmetrized(M):
    return 0.5 * (M + M.T)


def cholesky_lower(S, jitter):
    """Lower factor of S + jitter I (jitter only when positive), reading the lower triangle of S.

    Returns None when S is not numerically positive definite: a pivot L[i, i]^2 at or below
    n * eps * (largest positive diagonal entry of the jittered matrix).
    """
    n = S.shape[0]
    lower = np.tril(S)
    M = lower + np.tril(S, -1).T
    if jitter > 0:
        M = M + jitter * np.eye(n)
    positive = [v for v in np.diag(M) if v > 0]
    tol = n * EPS * max(positive, default=0.0)
    try:
        L = np.linalg.cholesky(M)
    except np.linalg.LinAlgError:
        return None
    if np.any(np.diag(L) ** 2 <= tol):
        return None
    return L


def gaussian_loglik_term(L, v):
    """-1/2 (ln det S + v' S^-1 v + m ln 2 pi) with S = L L'."""
    logdet = 2.0 * np.sum(np.log(np.diag(L)))
    quad = v @ cho_solve((L, True), v)
    return -0.5 * (logdet + quad + v.size * LN_2PI)


def _empty_histories(T, n, m, k):
    return {
        "x_pred": np.zeros((T, n)), "x_filt": np.zeros((T, n)),
        "P_pred": np.zeros((T, n, n)), "P_filt": np.zeros((T, n, n)),
        "y_pred": np.zeros((T, m)), "y_filt": np.zeros((T, m)),
        "innov": np.zeros((T, m)), "std_innov": np.zeros((T, m)),
        "S": np.zeros((T, m, m)), "eps_hat": np.zeros((T, k)),
    }


def _update(x_pred, P_pred, v, H, R, symmetrize, joseph_cov, jitter):
    """Measurement update with the (linearised) measurement matrix H; None when S fails."""
    S = H @ P_pred @ H.T + R
    if symmetrize:
        S = symmetrized(S)
    L = cholesky_lower(S, jitter)
    if L is None:
        return None
    PHt = P_pred @ H.T
    K = cho_solve((L, True), PHt.T).T          # K = P H' S~^-1, S~ = L L'
    x_filt = x_pred + K @ v
    if joseph_cov:
        I_KH = np.eye(x_pred.size) - K @ H
        P_filt = I_KH @ P_pred @ I_KH.T + K @ R @ K.T
    else:
        P_filt = P_pred - K @ PHt.T
    if symmetrize:
        P_filt = symmetrized(P_filt)
    return {
        "S": S, "L": L, "x_filt": x_filt, "P_filt": P_filt,
        "std_innov": solve_triangular(L, v, lower=True),
        "S_inv_v": cho_solve((L, True), v),
        "term": gaussian_loglik_term(L, v),
    }


def _run_filter(A, B, Q, R, y, x0, P0, measure, symmetrize, joseph_cov, jitter, T, h_filt):
    """Shared loop of the linear and extended filters; `measure(x)` gives (h(x), H)."""
    T = y.shape[0] if T is None else T
    n, k, m = A.shape[0], B.shape[1], R.shape[0]
    out = _empty_histories(T, n, m, k)
    out.update(status=0, loglik=0.0, terms=[])
    BQBt = B @ Q @ B.T
    x_pred, P_pred = x0.astype(float), P0.astype(float)
    for t in range(T):
        y_pred, H = measure(x_pred)
        v = y[t] - y_pred
        upd = _update(x_pred, P_pred, v, H, R, symmetrize, joseph_cov, jitter)
        if upd is None:
            out["status"] = CHOLESKY_FAILED
            break
        out["terms"].append(upd["term"])
        out["loglik"] += upd["term"]
        row = {"x_pred": x_pred, "x_filt": upd["x_filt"], "P_pred": P_pred,
               "P_filt": upd["P_filt"], "y_pred": y_pred, "y_filt": h_filt(upd["x_filt"]),
               "innov": v, "std_innov": upd["std_innov"], "S": upd["S"],
               "eps_hat": Q @ B.T @ H.T @ upd["S_inv_v"]}
        for name, value in row.items():
            out[name][t] = value
        x_pred = A @ upd["x_filt"]
        P_pred = A @ upd["P_filt"] @ A.T + BQBt
        if symmetrize:
            P_pred = symmetrized(P_pred)
    return out


def kalman_filter(A, B, C, d, Q, R, y, x0, P0, *, symmetrize=False, joseph_cov=False,
                  jitter=0.0, T=None):
    """Linear Gaussian Kalman filter; P0 is used as given."""
    return _run_filter(A, B, Q, R, y, x0, P0, lambda x: (C @ x + d, C), symmetrize, joseph_cov,
                       jitter, T, lambda x: C @ x + d)


def extended_kalman_filter(A, B, Q, R, y, x0, P0, h, jac, *, symmetrize=False,
                           joseph_cov=False, jitter=0.0, compute_y_filt=True):
    """Extended Kalman filter: linear transition, measurement h with Jacobian jac (m x n).

    The Jacobian is taken once per period at the predicted state; P0 is symmetrised first when
    asked. y_filt = h(x_filt) when compute_y_filt, otherwise left zero.
    """
    m = R.shape[0]
    P0 = symmetrized(P0) if symmetrize else P0
    h_filt = h if compute_y_filt else (lambda x: np.zeros(m))
    return _run_filter(A, B, Q, R, y, x0, P0, lambda x: (h(x), jac(x)), symmetrize, joseph_cov,
                       jitter, None, h_filt)


# ---- second-order pruned solution and the unscented filter ----------------------------------

def second_order_step(model, x1, x2, u):
    """One period of the pruned second-order solution (Kim, Kim, Schaumburg and Sims, 2008).

    x1' = hx x1 + bu_x u
    x2' = hss/2 + hx x2 + hxx[x1, x1]/2 + hxu[x1, u] + huu[u, u]/2
    controls = ss_y + gss/2 + gx (x1 + x2) + bu_y u + gxx[x1, x1]/2 + gxu[x1, u] + guu[u, u]/2
    (controls on the current x1, x2 and the same shock u). Returns (x1', x2', levels).
    """
    ns = x1.size
    quad = lambda Fxx, Fxu, Fuu: (0.5 * np.einsum("ijk,j,k->i", Fxx, x1, x1)
                                  + np.einsum("ijl,j,l->i", Fxu, x1, u)
                                  + 0.5 * np.einsum("ilm,l,m->i", Fuu, u, u))
    x1_next = model.hx @ x1 + model.bu[:ns] @ u
    x2_next = 0.5 * model.hss + model.hx @ x2 + quad(model.hxx, model.hxu, model.huu)
    controls = (0.5 * model.gss + model.gx @ (x1 + x2) + model.bu[ns:] @ u
                + quad(model.gxx, model.gxu, model.guu))
    levels = model.steady_state + np.concatenate([x1_next + x2_next, controls])
    return x1_next, x2_next, levels


def cholesky_with_retry(P, jitter, zero_rows=True):
    """Factor of P + jitter I; on failure one retry with each variance raised by 1e-10 of its own
    and, with zero_rows, zero rows for the variables without variance (which must covary with
    nothing); a matrix without any variance is not mended."""
    L = cholesky_lower(P, jitter)
    if L is not None:
        return L
    n = P.shape[0]
    M = np.tril(P) + np.tril(P, -1).T + (jitter * np.eye(n) if jitter > 0 else 0.0)
    variance = np.diag(M).copy()
    none = variance == 0.0
    if np.all(none) or (np.any(none) and not zero_rows) or np.any(M[none][:, ~none] != 0.0):
        return None
    keep = np.flatnonzero(~none)
    raised = variance[keep] * (1.0 + 1e-10)
    sub = M[np.ix_(keep, keep)] - np.diag(variance[keep]) + np.diag(raised)
    try:
        L_sub = np.linalg.cholesky(sub)
    except np.linalg.LinAlgError:
        return None
    if np.any(np.diag(L_sub) ** 2 <= n * EPS * raised):
        return None
    L = np.zeros((n, n))
    L[np.ix_(keep, keep)] = L_sub
    return L


def unscented_weights(na, alpha, beta, kappa):
    """(gamma, w0_mean, w0_cov, wi) of the scaled unscented transform, or None for c <= 0."""
    c = alpha ** 2 * (na + kappa)
    if not (np.isfinite(c) and c > 0):
        return None
    lam = c - na
    return np.sqrt(c), lam / c, lam / c + (1.0 - alpha ** 2 + beta), 1.0 / (2.0 * c)


def _weighted(points, w0, wi):
    w = np.full(points.shape[0], wi)
    w[0] = w0
    return w


def unscented_filter(model, meas, *, alpha, beta, kappa, jitter, symmetrize=True):
    """Second-order unscented filter on z = (x1, x2) with the shocks in the sigma points.

    `meas(levels) -> observation`. Returns the histories of the ukf entry, the log-likelihood,
    the status and, for checking the callback traffic, the sigma-point levels of each period
    ("sigma_v", T x n_sig x nv).
    """
    ns, nc, ne, no = model.dims
    nz, nv, T = 2 * ns, ns + nc, model.obs.shape[0]
    na = nz + ne
    n_sig = 2 * na + 1
    out = {
        "x1_pred": np.zeros((T, ns)), "x2_pred": np.zeros((T, ns)),
        "x1_filt": np.zeros((T, ns)), "x2_filt": np.zeros((T, ns)),
        "x_pred": np.zeros((T, nv)), "x_filt": np.zeros((T, nv)),
        "P_pred": np.zeros((T, nz, nz)), "P_filt": np.zeros((T, nz, nz)),
        "y_pred": np.zeros((T, no)), "y_filt": np.zeros((T, no)),
        "innov": np.zeros((T, no)), "std_innov": np.zeros((T, no)),
        "S": np.zeros((T, no, no)), "sigma_v": np.zeros((T, n_sig, nv)),
        "status": 0, "loglik": 0.0,
    }
    weights = unscented_weights(na, alpha, beta, kappa)
    Q_chol = cholesky_with_retry(model.Q, jitter) if ne else np.zeros((0, 0))
    if weights is None or Q_chol is None:
        out["status"] = CHOLESKY_FAILED      # set-up failure: the log-likelihood stays 0.0
        return out
    gamma, w0m, w0c, wi = weights
    z, P = model.z0.astype(float), model.P0.astype(float)
    for t in range(T):
        P_chol = cholesky_with_retry(P, jitter)
        if P_chol is None:
            out["status"] = CHOLESKY_FAILED
            break
        factor = np.zeros((na, na))
        factor[:nz, :nz] = P_chol
        factor[nz:, nz:] = Q_chol
        centre = np.concatenate([z, np.zeros(ne)])
        sigma_a = np.vstack([centre, centre + gamma * factor.T, centre - gamma * factor.T])
        sigma_z = np.empty((n_sig, nz))
        sigma_v = np.empty((n_sig, nv))
        for r, a in enumerate(sigma_a):
            x1n, x2n, sigma_v[r] = second_order_step(model, a[:ns], a[ns:nz], a[nz:])
            sigma_z[r] = np.concatenate([x1n, x2n])
        sigma_y = np.array([meas(v) for v in sigma_v])
        wm, wc = _weighted(sigma_z, w0m, wi), _weighted(sigma_z, w0c, wi)

        z_pred = wm @ sigma_z
        dz = sigma_z - z_pred
        P_pred = (wc[:, None] * dz).T @ dz
        if symmetrize:
            P_pred = symmetrized(P_pred)
        y_pred = wm @ sigma_y
        dy = sigma_y - y_pred
        S = (wc[:, None] * dy).T @ dy + model.R
        if symmetrize:
            S = symmetrized(S)
        Pzy = (wc[:, None] * dz).T @ dy
        v = model.obs[t] - y_pred
        L = cholesky_with_retry(S, jitter, zero_rows=False)
        out["sigma_v"][t] = sigma_v
        if L is None:
            out["status"] = CHOLESKY_FAILED
            break
        K = cho_solve((L, True), Pzy.T).T
        z_filt = z_pred + K @ v
        P_filt = P_pred - K @ Pzy.T
        if symmetrize:
            P_filt = symmetrized(P_filt)
        out["loglik"] += gaussian_loglik_term(L, v)

        # The variable levels carry their own gain from their cross covariance with y.
        vars_pred = wm @ sigma_v
        Pvy = (wc[:, None] * (sigma_v - vars_pred)).T @ dy
        vars_filt = vars_pred + cho_solve((L, True), Pvy.T).T @ v
        row = {"x1_pred": z_pred[:ns], "x2_pred": z_pred[ns:], "x1_filt": z_filt[:ns],
               "x2_filt": z_filt[ns:], "x_pred": vars_pred, "x_filt": vars_filt,
               "P_pred": P_pred, "P_filt": P_filt, "y_pred": y_pred, "y_filt": meas(vars_filt),
               "innov": v, "std_innov": solve_triangular(L, v, lower=True), "S": S}
        for name, value in row.items():
            out[name][t] = value
        z, P = z_filt, P_filt
    return out
