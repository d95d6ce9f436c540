// The table of vector kernels that the dense algorithms call, one table per ISA, and its choice.
// Internal: not part of the exported interface.
//
// Each ISA's source (velm_isa_*.cpp) compiles the micro-kernels of velm_microkernels.h for its
// vector width and fills one KernelTable; velm_dispatch.cpp picks the table of the CPU the
// library runs on. The algorithms call only through velm_isa::active() and never name an ISA.
// On x86-64 the baseline (SSE2, two lanes), AVX2 with FMA (four lanes) and AVX-512F (eight
// lanes) tables are built, so one binary serves every x86-64 CPU; elsewhere the baseline alone.
// (Function clones of one body cannot do this: a four-lane body compiled for SSE2 keeps its
// vectors in memory and runs several times slower.) VELM_BASELINE_ONLY, VELM_AVX2_ONLY and
// VELM_AVX512_ONLY build a chooser that knows that one table alone (and the baseline, for a CPU
// without the ISA), so that tests reach every table the machine can run.
#ifndef VELM_KERNEL_TABLE_H
#define VELM_KERNEL_TABLE_H

#include "velm_common.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELM_HAVE_X86_KERNELS 1
#else
#define VELM_HAVE_X86_KERNELS 0
#endif

namespace __attribute__((visibility("hidden"))) velm_isa {

// Orders up to this bound go to the table's chol_solve_rows; larger ones are solved one row at
// a time by the algorithm.
constexpr i64 kSolveTileOrder = 32;

// The left factor of a product: L(r, s) = data[r * row_stride + s * step_stride].
struct LeftOperand {
    const f64* data;
    i64 row_stride;
    i64 step_stride;
};

// out (rows x cols) = C + L R, or C - L R, for rows, depth, cols > 0, C null for no addend; out
// may be C. R(s, c) is R[s * ld + c], or R[c * ld + s] for the transposed entries (the B' of the
// abt forms). With lower, only the cells (r, c) with c <= r are sure to be written.
typedef void (*ProductFn)(LeftOperand L, const f64* R, i64 ld, const f64* C, f64* out, i64 rows,
                          i64 depth, i64 cols, bool lower);

struct KernelTable {
    // L read along its rows (step stride 1, any other is ignored): [R transposed][minus]
    ProductFn product[2][2];
    // the same for a product whose last panel is ragged and wider than one vector
    ProductFn product_shifted[2][2];
    // out = C + L R for an L of any step stride (A' B steps down the columns of A)
    ProductFn product_strided;
    // out(i) = b(i) + A(i,:) x, A n x m, b null for none
    void (*matvec)(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m);
    // out = A' x, A n x p: the rows of A weighted by x and summed
    void (*matvec_t)(const f64* A, const f64* x, f64* out, i64 n, i64 p);
    // each mirrored pair of the n x n matrix P replaced by its mean
    void (*sym)(f64* P, i64 n);
    // P(i, j) = P(j, i) for j > i
    void (*mirror_lower)(f64* P, i64 n);
    // out = B (L L')^-1 for B rows x m, 0 < m <= kSolveTileOrder; out may be B
    void (*chol_solve_rows)(const f64* L, const f64* B, f64* out, i64 rows, i64 m);
    // sum_k a[k] * b[k]
    f64 (*dot)(const f64* a, const f64* b, i64 n);
    // max over cells of |B - A|(i, j) scale[i] scale[j], 0 for an exact repeat, NaN for any NaN
    f64 (*max_scaled_change)(const f64* A, const f64* B, const f64* scale, i64 n);
    // doubles per vector, and columns per panel of the products (powers of two)
    i64 lanes;
    i64 panel_columns;
};

extern const KernelTable baseline;
#if VELM_HAVE_X86_KERNELS
extern const KernelTable avx2;
extern const KernelTable avx512;
#endif

// Whether the CPU (and the operating system, for the wider registers' state) runs each table.
bool cpu_runs_avx2();
bool cpu_runs_avx512();

// The table for the CPU the library runs on (velm_dispatch.cpp).
const KernelTable& select();

// The table in use: the baseline one, which runs on every CPU, until the library's
// initialisation has stored select() (velm_dispatch.cpp); a call made before then still runs.
extern const KernelTable* active_table;

inline const KernelTable& active() { return *active_table; }

}  // namespace velm_isa

#endif
