// Complex matrix product and LU factorisation with partial pivoting, solve and inverse.
#include "velm_complex.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velm_linalg.h"

namespace {

// rows*cols cells of T from the C allocator, or null when the byte count does not fit in size_t
// or either dimension is not positive (the callers report both as an allocation failure).
template <typename T>
T* alloc_cells(i64 rows, i64 cols) {
    const size_t limit = SIZE_MAX / sizeof(T);
    if (rows <= 0 || cols <= 0 || static_cast<size_t>(rows) > limit / static_cast<size_t>(cols)) {
        return nullptr;
    }
    return static_cast<T*>(std::malloc(static_cast<size_t>(rows * cols) * sizeof(T)));
}

void copy_cells(const c128* __restrict src, c128* __restrict dst, i64 count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(c128));
}

void swap_rows(c128* M, i64 cols, i64 r1, i64 r2) {
    c128* __restrict row1 = M + r1 * cols;
    c128* __restrict row2 = M + r2 * cols;
    for (i64 j = 0; j < cols; ++j) {
        const c128 t = row1[j];
        row1[j] = row2[j];
        row2[j] = t;
    }
}

// Row of the largest |A(i,k)|^2 over i >= k; strict comparison, so the topmost of equal moduli
// wins and a NaN is never preferred to the diagonal. The winning squared modulus goes to *best.
i64 pivot_row(const c128* A, i64 n, i64 k, f64* best) {
    i64 piv = k;
    f64 top = c128_abs2(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
        const f64 v = c128_abs2(A[i * n + k]);
        if (v > top) {
            top = v;
            piv = i;
        }
    }
    *best = top;
    return piv;
}

// Rows below k: L(i,k) = A(i,k) / A(k,k) by true complex division, then
// A(i,k+1:) = A(i,k+1:) - L(i,k) * A(k,k+1:).
void eliminate_below(c128* A, i64 n, i64 k) {
    const c128* __restrict row_k = A + k * n;
    const c128 Akk = row_k[k];
    for (i64 i = k + 1; i < n; ++i) {
        c128* __restrict row_i = A + i * n;
        const c128 Lik = c128_div(row_i[k], Akk);
        row_i[k] = Lik;
        for (i64 j = k + 1; j < n; ++j) row_i[j] = c128_sub(row_i[j], c128_mul(Lik, row_k[j]));
    }
}

// X(i,:) = X(i,:) - coef * X(k,:), rows i != k.
void row_axpy(c128* X, i64 m, i64 i, i64 k, c128 coef) {
    c128* __restrict row_i = X + i * m;
    const c128* __restrict row_k = X + k * m;
    for (i64 j = 0; j < m; ++j) row_i[j] = c128_sub(row_i[j], c128_mul(coef, row_k[j]));
}

}  // namespace

void c128_matmul(const c128* A, const c128* B, const i64 m, const i64 n, const i64 p, c128* out) {
    if (m <= 0 || p <= 0) return;
    // out(i,:) = sum_k A(i,k) * B(k,:), accumulated row by row so the inner loop is contiguous.
    for (i64 i = 0; i < m; ++i) {
        c128* __restrict out_i = out + i * p;
        for (i64 j = 0; j < p; ++j) out_i[j] = c128_make(0.0, 0.0);
        for (i64 k = 0; k < n; ++k) {
            const c128 Aik = A[i * n + k];
            const c128* __restrict B_k = B + k * p;
            for (i64 j = 0; j < p; ++j) out_i[j] = c128_add(out_i[j], c128_mul(Aik, B_k[j]));
        }
    }
}

i64 c128_lu_factor_inplace(c128* A, i64* pivot, const i64 n) {
    if (A == nullptr || pivot == nullptr || n < 1) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 k = 0; k < n; ++k) {
        f64 best = 0.0;
        const i64 piv = pivot_row(A, n, k, &best);
        pivot[k] = piv;
        if (best == 0.0) return VELM_ERR_SINGULAR;
        if (piv != k) swap_rows(A, n, k, piv);
        eliminate_below(A, n, k);
    }
    return VELM_OK;
}

c128_lu c128_lu_factor(const c128* A, const i64 n) {
    c128_lu result = {nullptr, nullptr, n, VELM_ERR_INVALID_ARGUMENT};
    if (A == nullptr || n <= 0) return result;
    c128* lu = alloc_cells<c128>(n, n);
    i64* piv = alloc_cells<i64>(n, 1);
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return result;
    }
    copy_cells(A, lu, n * n);
    result.lu = lu;
    result.piv = piv;
    result.err = c128_lu_factor_inplace(lu, piv, n);
    return result;
}

void c128_lu_free(c128_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = c128_lu{nullptr, nullptr, 0, 0};
}

void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, const i64 n,
                   const i64 m) {
    if (n <= 0 || m <= 0) return;  // n * m of two negative extents would be a positive count
    copy_cells(B, X, n * m);
    for (i64 k = 0; k < n; ++k) {
        if (piv[k] != k) swap_rows(X, m, k, piv[k]);
    }
    // L y = P b, unit lower factor.
    for (i64 i = 1; i < n; ++i) {
        for (i64 k = 0; k < i; ++k) row_axpy(X, m, i, k, LU[i * n + k]);
    }
    // U x = y; each entry is divided by the pivot (no reciprocal, which could overflow).
    for (i64 i = n - 1; i >= 0; --i) {
        for (i64 k = i + 1; k < n; ++k) row_axpy(X, m, i, k, LU[i * n + k]);
        const c128 Uii = LU[i * n + i];
        c128* __restrict row_i = X + i * m;
        for (i64 j = 0; j < m; ++j) row_i[j] = c128_div(row_i[j], Uii);
    }
}

i64 c128_solve(const c128* A, const c128* B, const i64 n, const i64 m, c128* X) {
    c128_lu lu = c128_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == VELM_OK) c128_lu_solve(lu.lu, lu.piv, B, X, n, m);
    c128_lu_free(&lu);
    return err;
}

i64 c128_inv(const c128* A, const i64 n, c128* Ainv) {
    c128* I = alloc_cells<c128>(n, n);
    if (I == nullptr) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) I[i * n + j] = c128_make(i == j ? 1.0 : 0.0, 0.0);
    }
    const i64 err = c128_solve(A, I, n, n, Ainv);
    std::free(I);
    return err;
}
