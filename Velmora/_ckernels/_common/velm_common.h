// Scalar types and the scratch-size record shared by the numerical core and the filter kernels.
#ifndef VELM_COMMON_H
#define VELM_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif
