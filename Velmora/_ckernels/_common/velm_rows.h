// Scalar loops along contiguous rows shared by the dense kernels: dot, axpy, mirrored pairs.
// Internal: not part of the exported interface.
#ifndef VELM_ROWS_H
#define VELM_ROWS_H

#include <cstddef>

#include "velm_common.h"

namespace __attribute__((visibility("hidden"))) velm_rows {

inline size_t cells(i64 count) { return static_cast<size_t>(count) * sizeof(f64); }

// sum_k a[k] * b[k] as a plain loop, left to the compiler: the quickest form for the short
// rows of tiny products and of the Cholesky family. a and b may be the same row.
inline f64 row_dot(const f64* a, const f64* b, i64 n) {
    f64 sum = 0.0;
    for (i64 k = 0; k < n; ++k) sum += a[k] * b[k];
    return sum;
}

// y += alpha * x over n contiguous cells; y and x are distinct rows.
inline void row_axpy(f64* __restrict y, f64 alpha, const f64* __restrict x, i64 n) {
    for (i64 k = 0; k < n; ++k) y[k] += alpha * x[k];
}

// avg = (P(i,j) + P(j,i)) * 0.5 into both cells.
inline void sym_pair(f64* P, i64 n, i64 i, i64 j) {
    const f64 avg = (P[i * n + j] + P[j * n + i]) * 0.5;
    P[i * n + j] = avg;
    P[j * n + i] = avg;
}

}  // namespace velm_rows

#endif
