// Real LU with partial pivoting: factor in place or into an owned record, solve, inverse.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velm_linalg.h"
#include "velm_rows.h"

using velm_rows::cells;
using velm_rows::row_axpy;

namespace {

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
