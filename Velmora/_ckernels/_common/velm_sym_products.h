// Products known to be symmetric with both factors read along their rows: out (n x n) = C + L R
// or C - L R for L n x p and R p x n (R already transposed by the caller, or symmetric), the
// lower triangle computed and mirrored. They do the work of velm_matmul_abt_plus_c_sym without
// packing R' panel by panel, which at small n costs as much as the arithmetic. Internal: not
// part of the exported interface.
#ifndef VELM_SYM_PRODUCTS_H
#define VELM_SYM_PRODUCTS_H

#include "velm_common.h"

namespace __attribute__((visibility("hidden"))) velm_sym {

// out = C + L R, C symmetric or null for none; out may be C itself.
void plus_product(const f64* L, const f64* R, const f64* C, f64* out, i64 n, i64 p);

// out = C - L R, C symmetric; out may be C itself.
void minus_product(const f64* L, const f64* R, const f64* C, f64* out, i64 n, i64 p);

}  // namespace velm_sym

#endif
