// Cholesky family: jittered factors, log-determinant, triangular solves, normal equations.
// The factors are lower (L L') or upper (U U'); velm_chol_inv inverts a positive definite matrix.
#include <cmath>

#include "velm_kernel_table.h"
#include "velm_linalg.h"
#include "velm_pivot.h"
#include "velm_rows.h"

using velm_rows::row_axpy;
using velm_rows::row_dot;

namespace {

using velm_pivot::jittered;

// The factor's pivot tolerance: n * eps times the largest jittered diagonal entry.
f64 chol_pivot_tol(const f64* S, f64 jitter, i64 n) {
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = jittered(S[i * n + i], jitter);
        if (d > scale) scale = d;
    }
    return velm_pivot::tolerance(scale, n);
}

}  // namespace

int velm_chol(const f64* __restrict S, f64 jitter, f64* __restrict L, i64 n) {
    velm_zero_mat(L, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // Cholesky-Banachiewicz: L(i,j) = (S(i,j) - L(i,0:j) . L(j,0:j)) / L(j,j). Each entry reads
    // only columns to its left, so the entries are formed a column at a time: those of one column
    // do not wait on each other, where along a row each waits on the one before. Every entry is
    // the same expression as row by row, and a failed pivot leaves what row by row leaves.
    for (i64 j = 0; j < n; ++j) {
        f64* L_j = L + j * n;
        const f64 s = jittered(S[j * n + j], jitter) - row_dot(L_j, L_j, j);
        if (velm_pivot::fails(s, pivot_tol)) {
            // the rows below j are not reached row by row
            velm_zero_mat(L + (j + 1) * n, n - 1 - j, n);
            return VELM_ERR_NOT_POSITIVE_DEFINITE;
        }
        const f64 pivot = std::sqrt(s);
        L_j[j] = pivot;
        for (i64 i = j + 1; i < n; ++i) {
            f64* L_i = L + i * n;
            L_i[j] = (S[i * n + j] - row_dot(L_i, L_j, j)) / pivot;
        }
    }
    return VELM_OK;
}

int velm_chol_upper(const f64* __restrict S, f64 jitter, f64* __restrict U, i64 n) {
    velm_zero_mat(U, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // S = U U^T from the bottom-right corner: U(i,j) = (S(i,j) - U(i,j+1:) . U(j,j+1:)) / U(j,j),
    // a column at a time from the last, as velm_chol does from the first.
    for (i64 j = n - 1; j >= 0; --j) {
        f64* U_j = U + j * n;
        const f64 s = jittered(S[j * n + j], jitter) - row_dot(U_j + j + 1, U_j + j + 1, n - 1 - j);
        if (velm_pivot::fails(s, pivot_tol)) {
            // the rows above j are not reached row by row
            velm_zero_mat(U, j, n);
            return VELM_ERR_NOT_POSITIVE_DEFINITE;
        }
        const f64 pivot = std::sqrt(s);
        U_j[j] = pivot;
        for (i64 i = j - 1; i >= 0; --i) {
            f64* U_i = U + i * n;
            U_i[j] = (S[i * n + j] - row_dot(U_i + j + 1, U_j + j + 1, n - 1 - j)) / pivot;
        }
    }
    return VELM_OK;
}

f64 velm_logdet_from_chol(const f64* L, i64 n) {
    // log det(L L^T) = 2 * sum_i log L(i,i)
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return s + s;
}

// Both substitutions are column-oriented: once out(i) is known, its share is subtracted from the
// unknowns still to come. The chain from one unknown to the next is then one multiply-add and
// one multiply by the reciprocal of the pivot, which does not wait for that chain; a row dot
// would put a whole reduction and a division on it. The filter solves many short systems, one
// per row of its gain, where that chain is the cost. The first step reads b and writes every
// entry of out, so no copy of b is needed. No __restrict: out may be b (in place).
void velm_forward_subst(const f64* __restrict L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    // out(0) = b(0) / L(0,0); out(1:) = b(1:) - L(1:,0) * out(0)
    const f64 x_0 = b[0] * (1.0 / L[0]);
    out[0] = x_0;
    for (i64 j = 1; j < n; ++j) out[j] = b[j] - L[j * n] * x_0;
    for (i64 i = 1; i < n; ++i) {
        // out(i) = out(i) / L(i,i); out(i+1:) -= L(i+1:,i) * out(i)
        const f64 x_i = out[i] * (1.0 / L[i * n + i]);
        out[i] = x_i;
        for (i64 j = i + 1; j < n; ++j) out[j] -= L[j * n + i] * x_i;
    }
}

void velm_backward_subst_chol_t(const f64* __restrict L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    // out(n-1) = b(n-1) / L(n-1,n-1); out(0:n-1) = b(0:n-1) - L(n-1,0:n-1) * out(n-1)
    const f64* L_last = L + (n - 1) * n;
    const f64 x_last = b[n - 1] * (1.0 / L_last[n - 1]);
    out[n - 1] = x_last;
    for (i64 k = 0; k < n - 1; ++k) out[k] = b[k] - L_last[k] * x_last;
    for (i64 i = n - 2; i >= 0; --i) {
        // out(i) = out(i) / L(i,i); out(0:i) -= L(i,0:i) * out(i), along row i of L
        const f64* L_i = L + i * n;
        const f64 x_i = out[i] * (1.0 / L_i[i]);
        out[i] = x_i;
        row_axpy(out, -x_i, L_i, i);
    }
}

void velm_chol_solve_rows(const f64* L, const f64* B, f64* out, i64 rows, i64 m) {
    if (rows <= 0 || m <= 0) return;
    if (m <= velm_isa::kSolveTileOrder) {
        velm_isa::active().chol_solve_rows(L, B, out, rows, m);
        return;
    }
    // L y = b, then L' z = y in place, row by row
    for (i64 r = 0; r < rows; ++r) {
        velm_forward_subst(L, B + r * m, out + r * m, m);
        velm_backward_subst_chol_t(L, out + r * m, out + r * m, m);
    }
}

void velm_gram(const f64* __restrict X, f64* __restrict G, i64 n, i64 p) {
    velm_zero_mat(G, p, p);
    // Lower triangle of G += X(r,:)^T X(r,:), row by row of X; then mirror it.
    for (i64 r = 0; r < n; ++r) {
        const f64* X_r = X + r * p;
        for (i64 a = 0; a < p; ++a) row_axpy(G + a * p, X_r[a], X_r, a + 1);
    }
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
    }
}

void velm_gram_rhs(const f64* __restrict X, const f64* __restrict y, f64* __restrict g, i64 n,
                   i64 p) {
    if (p < 1) return;
    velm_zero_mat(g, 1, p);
    // g = sum_r y(r) * X(r,:)^T
    for (i64 r = 0; r < n; ++r) row_axpy(g, y[r], X + r * p, p);
}

int velm_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p) {
    const int status = velm_chol(G, 0.0, scratch_L, p);
    if (status != VELM_OK) return status;
    // G coef = g  <=>  L w = g, L^T coef = w
    velm_forward_subst(scratch_L, g, coef, p);
    velm_backward_subst_chol_t(scratch_L, coef, coef, p);
    return VELM_OK;
}

int velm_chol_inv(const f64* __restrict G, f64* __restrict Pinv, f64* __restrict scratch_L,
                  i64 p) {
    const int status = velm_chol(G, 0.0, scratch_L, p);
    if (status != VELM_OK) return status;
    const f64* L = scratch_L;
    // Column j of G^-1 solves L L^T x = e_j; it is built in place in column j of Pinv.
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = 0; i < p; ++i) {
            f64 s = 0.0;
            for (i64 t = 0; t < i; ++t) s += L[i * p + t] * Pinv[t * p + j];
            const f64 rhs = (i == j) ? 1.0 : 0.0;
            Pinv[i * p + j] = (rhs - s) / L[i * p + i];
        }
        for (i64 i = p - 1; i >= 0; --i) {
            f64 s = 0.0;
            for (i64 t = i + 1; t < p; ++t) s += L[t * p + i] * Pinv[t * p + j];
            Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
        }
    }
    return VELM_OK;
}
