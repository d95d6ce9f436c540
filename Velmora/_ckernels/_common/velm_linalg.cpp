// Dense row-major f64 kernels: products, symmetrisation, sort/median, Cholesky family, real LU.
#include "velm_linalg.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Double machine epsilon, 2^-52: the unit of the Cholesky pivot tolerance n * eps * scale.
constexpr f64 kEpsilon = 2.220446049250313e-16;

inline size_t cells(i64 count) { return static_cast<size_t>(count) * sizeof(f64); }

// sum_k a[k] * b[k]; a and b may be the same row (both are only read).
inline f64 row_dot(const f64* __restrict a, const f64* __restrict b, i64 n) {
    f64 sum = 0.0;
    for (i64 k = 0; k < n; ++k) sum += a[k] * b[k];
    return sum;
}

// y += alpha * x over n contiguous cells; y and x are distinct rows.
inline void row_axpy(f64* __restrict y, f64 alpha, const f64* __restrict x, i64 n) {
    for (i64 k = 0; k < n; ++k) y[k] += alpha * x[k];
}

inline void row_scale(f64* __restrict y, f64 alpha, i64 n) {
    for (i64 k = 0; k < n; ++k) y[k] *= alpha;
}

inline void row_swap(f64* __restrict a, f64* __restrict b, i64 n) {
    for (i64 k = 0; k < n; ++k) {
        const f64 t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

}  // namespace

// ==== dense kernels ============================================================================

void velm_zero_mat(f64* out, i64 r, i64 c) {
    const i64 total = r * c;
    if (total > 0) std::memset(out, 0, cells(total));
}

void velm_sym_inplace(f64* P, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) {
            const f64 avg = (P[i * n + j] + P[j * n + i]) * 0.5;
            P[i * n + j] = avg;
            P[j * n + i] = avg;
        }
    }
}

void velm_matmul(const f64* __restrict A, const f64* __restrict B, f64* __restrict out, i64 n,
                 i64 p, i64 m) {
    // out(i,:) = sum_k A(i,k) * B(k,:): row-times-matrix, so the inner loop walks rows of B.
    for (i64 i = 0; i < n; ++i) {
        f64* out_i = out + i * m;
        velm_zero_mat(out_i, 1, m);
        for (i64 k = 0; k < p; ++k) row_axpy(out_i, A[i * p + k], B + k * m, m);
    }
}

void velm_matmul_atb(const f64* __restrict A, const f64* __restrict B, f64* __restrict out, i64 n,
                     i64 p, i64 m) {
    // out = sum_i A(i,:)^T B(i,:), one outer product per row of A and B.
    velm_zero_mat(out, p, m);
    for (i64 i = 0; i < n; ++i) {
        for (i64 k = 0; k < p; ++k) row_axpy(out + k * m, A[i * p + k], B + i * m, m);
    }
}

void velm_matmul_abt(const f64* __restrict A, const f64* __restrict B, f64* __restrict out, i64 n,
                     i64 p, i64 m) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < m; ++j) out[i * m + j] = row_dot(A + i * p, B + j * p, p);
    }
}

void velm_matmul_abt_plus_c(const f64* __restrict A, const f64* __restrict B,
                            const f64* __restrict C, f64* __restrict out, i64 n, i64 p, i64 m) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < m; ++j) {
            out[i * m + j] = C[i * m + j] + row_dot(A + i * p, B + j * p, p);
        }
    }
}

void velm_matvec(const f64* __restrict A, const f64* __restrict x, f64* __restrict out, i64 n,
                 i64 m) {
    for (i64 i = 0; i < n; ++i) out[i] = row_dot(A + i * m, x, m);
}

void velm_matvec_plus_vec(const f64* __restrict A, const f64* __restrict x,
                          const f64* __restrict b, f64* __restrict out, i64 n, i64 m) {
    for (i64 i = 0; i < n; ++i) out[i] = b[i] + row_dot(A + i * m, x, m);
}

// No __restrict: out may be a or b (in-place subtraction), so the plain loop semantics must hold.
void velm_vsub(const f64* a, const f64* b, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 velm_dot(const f64* a, const f64* b, i64 n) { return row_dot(a, b, n); }

// Total order for qsort: numbers ascending, then every NaN (all NaNs equal). A comparison that
// called NaN equal to everything would be inconsistent, and qsort is undefined for those.
static int velm_cmp_f64(const void* a, const void* b) {
    const f64 fa = *static_cast<const f64*>(a);
    const f64 fb = *static_cast<const f64*>(b);
    const int a_nan = std::isnan(fa);
    const int b_nan = std::isnan(fb);
    if (a_nan || b_nan) return a_nan - b_nan;
    return (fa > fb) - (fa < fb);
}

void velm_sort_f64(f64* arr, i64 n) {
    if (n > 1) std::qsort(arr, static_cast<size_t>(n), sizeof(f64), velm_cmp_f64);
}

f64 velm_median_f64(f64* arr, i64 n) {
    if (n <= 0) return std::nan("");
    velm_sort_f64(arr, n);
    if (n % 2 == 1) return arr[n / 2];
    return (arr[n / 2] + arr[n / 2 - 1]) * 0.5;
}

// ==== Cholesky family ==========================================================================

namespace {

inline f64 jittered(f64 diagonal, f64 jitter) { return jitter > 0.0 ? diagonal + jitter : diagonal; }

// n * eps * scale with scale the largest jittered diagonal entry, floored at 0 (a negative or NaN
// diagonal never raises it).
f64 chol_pivot_tol(const f64* S, f64 jitter, i64 n) {
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = jittered(S[i * n + i], jitter);
        if (d > scale) scale = d;
    }
    return (static_cast<f64>(n) * kEpsilon) * scale;
}

// Written as !(s > tol) so that a NaN pivot fails like a non-positive one.
inline bool pivot_fails(f64 s, f64 pivot_tol) { return !(s > pivot_tol); }

}  // namespace

int velm_chol(const f64* __restrict S, f64 jitter, f64* __restrict L, i64 n) {
    velm_zero_mat(L, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // Cholesky-Banachiewicz: L(i,j) = (S(i,j) - L(i,0:j) . L(j,0:j)) / L(j,j), row by row.
    for (i64 i = 0; i < n; ++i) {
        f64* L_i = L + i * n;
        for (i64 j = 0; j < i; ++j) {
            const f64* L_j = L + j * n;
            L_i[j] = (S[i * n + j] - row_dot(L_i, L_j, j)) / L_j[j];
        }
        const f64 s = jittered(S[i * n + i], jitter) - row_dot(L_i, L_i, i);
        if (pivot_fails(s, pivot_tol)) return VELM_ERR_NOT_POSITIVE_DEFINITE;
        L_i[i] = std::sqrt(s);
    }
    return VELM_OK;
}

int velm_chol_upper(const f64* __restrict S, f64 jitter, f64* __restrict U, i64 n) {
    velm_zero_mat(U, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // S = U U^T from the bottom-right corner: U(i,j) = (S(i,j) - U(i,j+1:) . U(j,j+1:)) / U(j,j).
    for (i64 i = n - 1; i >= 0; --i) {
        f64* U_i = U + i * n;
        for (i64 j = n - 1; j > i; --j) {
            const f64* U_j = U + j * n;
            U_i[j] = (S[i * n + j] - row_dot(U_i + j + 1, U_j + j + 1, n - 1 - j)) / U_j[j];
        }
        const f64 s = jittered(S[i * n + i], jitter) - row_dot(U_i + i + 1, U_i + i + 1, n - 1 - i);
        if (pivot_fails(s, pivot_tol)) return VELM_ERR_NOT_POSITIVE_DEFINITE;
        U_i[i] = std::sqrt(s);
    }
    return VELM_OK;
}

f64 velm_logdet_from_chol(const f64* L, i64 n) {
    // log det(L L^T) = 2 * sum_i log L(i,i)
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return s + s;
}

// No __restrict on b and out: the solve may run in place (out == b).
void velm_forward_subst(const f64* L, const f64* b, f64* out, i64 n) {
    // out(i) = (b(i) - L(i,0:i) . out(0:i)) / L(i,i)
    for (i64 i = 0; i < n; ++i) out[i] = (b[i] - row_dot(L + i * n, out, i)) / L[i * n + i];
}

void velm_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    if (out != b) std::memmove(out, b, cells(n));
    // Column-oriented solve of L^T out = b: once out(i) is known, subtract its share
    // L(i,0:i) * out(i) from the leading entries, so the update walks row i of L.
    for (i64 i = n - 1; i >= 0; --i) {
        const f64* L_i = L + i * n;
        out[i] /= L_i[i];
        row_axpy(out, -out[i], L_i, i);
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

// ==== real LU with partial pivoting ============================================================

namespace {

// Row of the largest |A(i,k)| for i >= k; strict comparison keeps the topmost of equal
// magnitudes, and a NaN below the diagonal is never chosen.
i64 lu_pivot_row(const f64* A, i64 k, i64 n, f64* best_out) {
    i64 piv = k;
    f64 best = std::fabs(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
        const f64 v = std::fabs(A[i * n + k]);
        if (v > best) {
            best = v;
            piv = i;
        }
    }
    *best_out = best;
    return piv;
}

// An n x n f64 block must be addressable: n * n * sizeof(f64) may not overflow size_t.
inline bool lu_order_fits(i64 n) {
    return static_cast<uint64_t>(n) <= SIZE_MAX / sizeof(f64) / static_cast<uint64_t>(n);
}

}  // namespace

i64 velm_lu_factor_inplace(f64* A, i64* pivot, const i64 n) {
    if (pivot == nullptr || A == nullptr || n < 1) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 k = 0; k < n; ++k) {
        f64 best = 0.0;
        const i64 piv = lu_pivot_row(A, k, n, &best);
        pivot[k] = piv;
        if (best == 0.0) return VELM_ERR_SINGULAR;
        f64* A_k = A + k * n;
        if (piv != k) row_swap(A_k, A + piv * n, n);
        const f64 inv_Akk = 1.0 / A_k[k];
        for (i64 i = k + 1; i < n; ++i) {
            f64* A_i = A + i * n;
            // A(i,k+1:) -= L(i,k) * A(k,k+1:), with L(i,k) stored in place of A(i,k)
            const f64 Lik = A_i[k] * inv_Akk;
            A_i[k] = Lik;
            row_axpy(A_i + k + 1, -Lik, A_k + k + 1, n - k - 1);
        }
    }
    return VELM_OK;
}

f64_lu velm_lu_factor(const f64* A, const i64 n) {
    f64_lu result = {nullptr, nullptr, n, VELM_ERR_INVALID_ARGUMENT};
    if (A == nullptr || n < 1 || !lu_order_fits(n)) return result;
    f64* lu = static_cast<f64*>(std::malloc(cells(n * n)));
    i64* piv = static_cast<i64*>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return result;
    }
    std::memcpy(lu, A, cells(n * n));
    result.lu = lu;
    result.piv = piv;
    result.err = velm_lu_factor_inplace(lu, piv, n);
    return result;
}

void velm_lu_free(f64_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = f64_lu{nullptr, nullptr, 0, 0};
}

void velm_lu_solve(const f64* __restrict LU, const i64* __restrict piv, const f64* __restrict B,
                   f64* __restrict X, const i64 n, const i64 m) {
    if (n <= 0 || m <= 0) return;
    std::memcpy(X, B, cells(n * m));
    // X = P B, applying the interchanges in the order they were made
    for (i64 k = 0; k < n; ++k) {
        if (piv[k] != k) row_swap(X + k * m, X + piv[k] * m, m);
    }
    // L Y = P B (unit diagonal): X(i,:) -= L(i,k) * X(k,:)
    for (i64 i = 1; i < n; ++i) {
        for (i64 k = 0; k < i; ++k) row_axpy(X + i * m, -LU[i * n + k], X + k * m, m);
    }
    // U X = Y: X(i,:) = (X(i,:) - U(i,i+1:) X(i+1:,:)) / U(i,i)
    for (i64 i = n - 1; i >= 0; --i) {
        f64* X_i = X + i * m;
        for (i64 k = i + 1; k < n; ++k) row_axpy(X_i, -LU[i * n + k], X + k * m, m);
        const f64 inv_Uii = 1.0 / LU[i * n + i];
        row_scale(X_i, inv_Uii, m);
    }
}

i64 velm_solve(const f64* A, const f64* B, const i64 n, const i64 m, f64* X) {
    f64_lu lu = velm_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == VELM_OK) velm_lu_solve(lu.lu, lu.piv, B, X, n, m);
    velm_lu_free(&lu);
    return err;
}

i64 velm_inv(const f64* A, const i64 n, f64* Ainv) {
    if (A == nullptr || n < 1 || !lu_order_fits(n)) return VELM_ERR_INVALID_ARGUMENT;
    f64* identity = static_cast<f64*>(std::malloc(cells(n * n)));
    if (identity == nullptr) return VELM_ERR_INVALID_ARGUMENT;
    velm_zero_mat(identity, n, n);
    for (i64 i = 0; i < n; ++i) identity[i * n + i] = 1.0;
    const i64 status = velm_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return status;
}
