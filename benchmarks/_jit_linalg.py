"""Small numba kernels (jittered Cholesky, triangular solves) shared by the JIT filter twins."""

import numpy as np
from numba import njit

EPS = 2.220446049250313e-16
LN_2PI = 1.8378770664093453


@njit(cache=True)
def chol(S, jitter, L):
    """L L' = S + jitter I from the lower triangle of S; False at a pivot <= n eps max(diag)."""
    n = S.shape[0]
    add = jitter if jitter > 0.0 else 0.0
    scale = 0.0
    for i in range(n):
        if S[i, i] + add > scale:
            scale = S[i, i] + add
    pivot_tol = n * EPS * scale
    L[:, :] = 0.0
    for i in range(n):
        for j in range(i + 1):
            s = S[i, j] + (add if i == j else 0.0)
            for p in range(j):
                s -= L[i, p] * L[j, p]
            if i == j:
                if s <= pivot_tol:
                    return False
                L[i, i] = np.sqrt(s)
            else:
                L[i, j] = s / L[j, j]
    return True


@njit(cache=True)
def forward_subst(L, b, out):
    """out = L^-1 b."""
    for i in range(L.shape[0]):
        s = b[i]
        for p in range(i):
            s -= L[i, p] * out[p]
        out[i] = s / L[i, i]


@njit(cache=True)
def backward_subst_t(L, b, out):
    """out = L'^-1 b."""
    n = L.shape[0]
    for i in range(n - 1, -1, -1):
        s = b[i]
        for p in range(i + 1, n):
            s -= L[p, i] * out[p]
        out[i] = s / L[i, i]


@njit(cache=True)
def gain(L, PCt):
    """K = PCt (L L')^-1, one pair of triangular solves per row of PCt."""
    K = np.empty_like(PCt)
    f = np.empty(L.shape[0])
    for r in range(PCt.shape[0]):
        forward_subst(L, PCt[r], f)
        backward_subst_t(L, f, K[r])
    return K


@njit(cache=True)
def logdet_from_chol(L):
    s = 0.0
    for i in range(L.shape[0]):
        s += np.log(L[i, i])
    return 2.0 * s


@njit(cache=True)
def symmetrize(P):
    """Mean of each mirrored pair, in place."""
    n = P.shape[0]
    for i in range(n):
        for j in range(i):
            mean = 0.5 * (P[i, j] + P[j, i])
            P[i, j] = mean
            P[j, i] = mean
