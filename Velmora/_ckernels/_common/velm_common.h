// Scalar types and records (scratch sizes, LU factors) shared by the core and the filter kernels.
#ifndef VELM_COMMON_H
#define VELM_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

typedef double f64;
typedef int64_t i64;

// Scratch a loop needs, in cells: one f64 block and (unused so far) one i64 block.
typedef struct arena_size {
    i64 n_float;
    i64 n_int;
} arena_size;

static inline arena_size make_sizer(i64 n_float, i64 n_int) {
    arena_size size;
    size.n_float = n_float;
    size.n_int = n_int;
    return size;
}

// Cell counts with overflow detection: a negative operand or a result beyond the i64 range gives
// -1, and -1 stays -1 through every later step, so a whole size formula can be checked once at
// its end. Sizing functions report such a count as n_float = -1, which no allocation satisfies.
static inline i64 velm_count_mul(i64 a, i64 b) {
    i64 product;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &product)) return -1;
    return product;
}

static inline i64 velm_count_add(i64 a, i64 b) {
    i64 sum;
    if (a < 0 || b < 0 || __builtin_add_overflow(a, b, &sum)) return -1;
    return sum;
}

// The owned result of an LU factorisation with partial pivoting, one record type per element
// type T: lu holds the n x n packed factors (unit-lower L below the diagonal, U on and above),
// piv the n interchange records (piv[k] is the row swapped with row k at step k: an interchange
// sequence, not a permutation), both owned and released by the family's *_lu_free; err is the
// status of the factorisation.
#define VELM_LU_RECORD(name, T) \
    typedef struct name {       \
        T* lu;                  \
        i64* piv;               \
        i64 n;                  \
        i64 err;                \
    } name

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
