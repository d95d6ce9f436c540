// Complex double-precision arithmetic, matrix product and LU solver with partial pivoting.
#ifndef VELM_COMPLEX_H
#define VELM_COMPLEX_H

#include <math.h>

#include "velm_common.h"
#include "velm_status.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// One complex number, laid out as an interleaved (re, im) pair of doubles: 16 bytes.
typedef struct c128 {
    f64 re;
    f64 im;
} c128;

VELM_LU_RECORD(c128_lu, c128);

static inline c128 c128_make(f64 re, f64 im) {
    c128 z;
    z.re = re;
    z.im = im;
    return z;
}

static inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }

static inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }

static inline c128 c128_mul(c128 a, c128 b) {
    return c128_make(a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re);
}

// a / b by Smith's algorithm (Smith 1962, CACM 5(8), 435): scaling by the ratio of b's parts
// avoids forming |b|^2, which over- or underflows long before the quotient does. Ties take the
// first branch. b = 0 is not tested for: the LU code never divides by a zero pivot.
static inline c128 c128_div(c128 a, c128 b) {
    if (fabs(b.re) >= fabs(b.im)) {
        const f64 r = b.im / b.re;
        const f64 den = b.re + r * b.im;
        return c128_make((a.re + r * a.im) / den, (a.im - r * a.re) / den);
    }
    const f64 r = b.re / b.im;
    const f64 den = b.im + r * b.re;
    return c128_make((a.re * r + a.im) / den, (a.im * r - a.re) / den);
}

// Squared modulus, without the square root: enough to rank pivot candidates below its overflow.
static inline f64 c128_abs2(c128 a) { return a.re * a.re + a.im * a.im; }

// out (m x p) = A (m x n) * B (n x p); m rows, n inner dimension, p columns.
void c128_matmul(const c128* A, const c128* B, const i64 m, const i64 n, const i64 p, c128* out);

// Status codes are those of the real LU family (velm_status.h): VELM_OK,
// VELM_ERR_INVALID_ARGUMENT, VELM_ERR_SINGULAR.
i64 c128_lu_factor_inplace(c128* A, i64* pivot, const i64 n);
c128_lu c128_lu_factor(const c128* A, const i64 n);
void c128_lu_free(c128_lu* lu);
void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, const i64 n,
                   const i64 m);
i64 c128_solve(const c128* A, const c128* B, const i64 n, const i64 m, c128* X);
i64 c128_inv(const c128* A, const i64 n, c128* Ainv);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
