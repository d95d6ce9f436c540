// Dense row-major f64 kernels: products, symmetrisation, sort/median, Cholesky family, real LU.
// Status codes are those of velm_status.h.
#ifndef VELM_LINALG_H
#define VELM_LINALG_H

#include "velm_common.h"
#include "velm_status.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// ---- dense kernels (velm_products.cpp, velm_sort.cpp) -----------------------------------------
void velm_zero_mat(f64* out, i64 r, i64 c);
void velm_sym_inplace(f64* P, i64 n);
void velm_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
void velm_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
void velm_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m);
void velm_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                            i64 m);
// out (n x n) = C + A B' (A, B n x p) for a sum known to be symmetric: the lower triangle is
// computed and mirrored, so out is exactly symmetric. Only C's lower triangle counts.
void velm_matmul_abt_plus_c_sym(const f64* A, const f64* B, const f64* C, f64* out, i64 n,
                                i64 p);
// out (n x m) = C - A B (A n x p, B p x m) and out = C - A B' (B m x p); out may be C itself.
void velm_c_minus_matmul(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                         i64 m);
void velm_c_minus_matmul_abt(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                             i64 m);
void velm_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m);
void velm_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m);
void velm_vsub(const f64* a, const f64* b, f64* out, i64 n);
f64 velm_dot(const f64* a, const f64* b, i64 n);
// Largest |B - A|(i, j) scale[i] scale[j] over the n x n cells, an exact repeat counting as no
// change even where a scale is infinite; NaN when any cell's change is NaN (a change of B from A
// in the units of the scales).
f64 velm_max_scaled_change(const f64* A, const f64* B, const f64* scale, i64 n);
void velm_sort_f64(f64* arr, i64 n);
f64 velm_median_f64(f64* arr, i64 n);

// ---- Cholesky family (velm_cholesky.cpp) ------------------------------------------------------
int velm_chol(const f64* S, f64 jitter, f64* L, i64 n);
int velm_chol_upper(const f64* S, f64 jitter, f64* U, i64 n);
f64 velm_logdet_from_chol(const f64* L, i64 n);
void velm_forward_subst(const f64* L, const f64* b, f64* out, i64 n);
void velm_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n);
// out (rows x m) = B (L L')^-1, every row of B solved at once against the lower factor L (m x m);
// out may be B itself.
void velm_chol_solve_rows(const f64* L, const f64* B, f64* out, i64 rows, i64 m);
void velm_gram(const f64* X, f64* G, i64 n, i64 p);
void velm_gram_rhs(const f64* X, const f64* y, f64* g, i64 n, i64 p);
int velm_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p);
int velm_chol_inv(const f64* G, f64* Pinv, f64* scratch_L, i64 p);

// ---- real LU with partial pivoting (velm_lu.cpp) ----------------------------------------------
VELM_LU_RECORD(f64_lu, f64);

i64 velm_lu_factor_inplace(f64* A, i64* pivot, const i64 n);
f64_lu velm_lu_factor(const f64* A, const i64 n);
void velm_lu_free(f64_lu* lu);
void velm_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, const i64 n, const i64 m);
i64 velm_solve(const f64* A, const f64* B, const i64 n, const i64 m, f64* X);
i64 velm_inv(const f64* A, const i64 n, f64* Ainv);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
