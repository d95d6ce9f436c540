// LU with partial pivoting written once for every element type: factor, solve, inverse.
// The factors go in place or into an owned record. Internal: velm_lu.cpp (f64) and
// velm_complex.cpp (c128) instantiate it.
#ifndef VELM_LU_TEMPLATE_H
#define VELM_LU_TEMPLATE_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velm_common.h"
#include "velm_status.h"

// An element family is a struct Ops with
//   typedef ... T;       the element type
//   typedef ... Record;  its owned factor record: {T* lu; i64* piv; i64 n; i64 err;}
//   static f64 magnitude(T a);   ranks pivot candidates: a larger value is a better pivot
//   static bool larger(T a, f64 magnitude_a, T b, f64 magnitude_b);  a is the better pivot
//   static void eliminate_below(T* A, i64 n, i64 k);
//       L(i,k) = A(i,k) / A(k,k) stored in place of A(i,k), A(i,k+1:) -= L(i,k) A(k,k+1:), i > k
//   static void subtract_row_multiple(T* y, T coef, const T* x, i64 m);  y -= coef x (distinct)
//   static void divide_row(T* y, T pivot, i64 m);                           y /= pivot
//   static T one();
namespace __attribute__((visibility("hidden"))) velm_lu {

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

template <typename T>
void swap_rows(T* __restrict a, T* __restrict b, i64 n) {
    for (i64 k = 0; k < n; ++k) {
        const T t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

// Row of the largest magnitude of A(i,k) over i >= k; strict comparison keeps the topmost of
// equal magnitudes, and a NaN below the diagonal is never chosen. Its magnitude goes to *best.
template <class Ops>
i64 pivot_row(const typename Ops::T* A, i64 n, i64 k, f64* best) {
    i64 piv = k;
    f64 top = Ops::magnitude(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
        const f64 v = Ops::magnitude(A[i * n + k]);
        if (Ops::larger(A[i * n + k], v, A[piv * n + k], top)) {
            top = v;
            piv = i;
        }
    }
    *best = top;
    return piv;
}

template <class Ops>
i64 factor_inplace(typename Ops::T* A, i64* pivot, const i64 n) {
    if (A == nullptr || pivot == nullptr || n < 1) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 k = 0; k < n; ++k) {
        f64 best = 0.0;
        const i64 piv = pivot_row<Ops>(A, n, k, &best);
        pivot[k] = piv;
        if (best == 0.0) return VELM_ERR_SINGULAR;
        if (piv != k) swap_rows(A + k * n, A + piv * n, n);
        Ops::eliminate_below(A, n, k);
    }
    return VELM_OK;
}

// The factors of a copy of A, in a record that owns them (released by release()).
template <class Ops>
typename Ops::Record factor(const typename Ops::T* A, const i64 n) {
    typedef typename Ops::T T;
    typename Ops::Record result = {nullptr, nullptr, n, VELM_ERR_INVALID_ARGUMENT};
    if (A == nullptr) return result;
    T* lu = alloc_cells<T>(n, n);
    if (lu == nullptr) return result;
    i64* piv = alloc_cells<i64>(n, 1);
    if (piv == nullptr) {
        std::free(lu);
        return result;
    }
    std::memcpy(lu, A, static_cast<size_t>(n * n) * sizeof(T));
    result.lu = lu;
    result.piv = piv;
    result.err = factor_inplace<Ops>(lu, piv, n);
    return result;
}

template <class Record>
void release(Record* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = Record{nullptr, nullptr, 0, VELM_OK};
}

// X (n x m) = A^-1 B from the packed factors of A and its interchange records.
template <class Ops>
void solve_factored(const typename Ops::T* __restrict LU, const i64* __restrict piv,
                    const typename Ops::T* __restrict B, typename Ops::T* __restrict X, const i64 n,
                    const i64 m) {
    typedef typename Ops::T T;
    if (n <= 0 || m <= 0) return;  // n * m of two negative extents would be a positive count
    std::memcpy(X, B, static_cast<size_t>(n * m) * sizeof(T));
    // X = P B, applying the interchanges in the order they were made
    for (i64 k = 0; k < n; ++k) {
        if (piv[k] != k) swap_rows(X + k * m, X + piv[k] * m, m);
    }
    // L Y = P B (unit diagonal): X(i,:) -= L(i,k) * X(k,:)
    for (i64 i = 1; i < n; ++i) {
        T* X_i = X + i * m;
        for (i64 k = 0; k < i; ++k) Ops::subtract_row_multiple(X_i, LU[i * n + k], X + k * m, m);
    }
    // U X = Y: X(i,:) = (X(i,:) - U(i,i+1:) X(i+1:,:)) / U(i,i)
    for (i64 i = n - 1; i >= 0; --i) {
        T* X_i = X + i * m;
        for (i64 k = i + 1; k < n; ++k) {
            Ops::subtract_row_multiple(X_i, LU[i * n + k], X + k * m, m);
        }
        Ops::divide_row(X_i, LU[i * n + i], m);
    }
}

template <class Ops>
i64 solve(const typename Ops::T* A, const typename Ops::T* B, const i64 n, const i64 m,
          typename Ops::T* X) {
    // right-hand sides to read and write need their buffers (none are read when m = 0)
    if (m > 0 && (B == nullptr || X == nullptr)) return VELM_ERR_INVALID_ARGUMENT;
    typename Ops::Record lu = factor<Ops>(A, n);
    const i64 err = lu.err;
    if (err == VELM_OK) solve_factored<Ops>(lu.lu, lu.piv, B, X, n, m);
    release(&lu);
    return err;
}

template <class Ops>
i64 inverse(const typename Ops::T* A, const i64 n, typename Ops::T* Ainv) {
    typedef typename Ops::T T;
    if (A == nullptr || Ainv == nullptr) return VELM_ERR_INVALID_ARGUMENT;
    T* identity = alloc_cells<T>(n, n);
    if (identity == nullptr) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) identity[i * n + j] = i == j ? Ops::one() : T{};
    }
    const i64 status = solve<Ops>(A, identity, n, n, Ainv);
    std::free(identity);
    return status;
}

}  // namespace velm_lu

#endif
