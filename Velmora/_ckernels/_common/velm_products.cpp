// Dense row-major f64 products, matrix-vector products, symmetrisation, subtraction and dot.
// Small sizes run inline; the others go to the vector kernels of the CPU's table.
#include <cmath>
#include <cstring>

#include "velm_kernel_table.h"
#include "velm_linalg.h"
#include "velm_rows.h"
#include "velm_sym_products.h"

using velm_isa::LeftOperand;
using velm_rows::cells;
using velm_rows::row_dot;
using velm_rows::sym_pair;

namespace {

// Sizes this small cost less than a call into the vector kernels: they run inline, in the
// baseline ISA.
constexpr i64 kTinyProduct = 64;  // multiply-adds
constexpr i64 kTinyMatvec = 48;   // multiply-adds
constexpr i64 kTinyDot = 16;      // terms
constexpr i64 kTinySym = 20;      // order of the matrix
constexpr i64 kTinyScan = 4;      // order of the matrix, for velm_max_scaled_change
constexpr i64 kTinyMatvecT = 16;  // multiply-adds of A' x, whose inline sums run down columns

// Plain sums for products so small that setting up blocks and panels costs more than the
// arithmetic. With R transposed (the abt forms) both operands are rows: L's steps are unit.
template <bool Transposed, bool Minus>
inline __attribute__((always_inline)) void tiny_product(const LeftOperand& L, const f64* R,
                                                        i64 ld, const f64* C, f64* out, i64 rows,
                                                        i64 depth, i64 cols) {
    for (i64 r = 0; r < rows; ++r) {
        const f64* L_r = L.data + r * L.row_stride;
        for (i64 c = 0; c < cols; ++c) {
            f64 sum = 0.0;
            if (Transposed) {
                sum = row_dot(L_r, R + c * ld, depth);
            } else {
                for (i64 s = 0; s < depth; ++s) sum += L_r[s * L.step_stride] * R[s * ld + c];
            }
            const f64 base = C ? C[r * cols + c] : 0.0;
            out[r * cols + c] = Minus ? base - sum : base + sum;
        }
    }
}

inline void matvec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
    if (n * m > kTinyMatvec) {
        velm_isa::active().matvec(A, x, b, out, n, m);
        return;
    }
    for (i64 i = 0; i < n; ++i) {
        const f64 sum = row_dot(A + i * m, x, m);
        out[i] = b ? b[i] + sum : sum;
    }
}

// out (rows x cols) = C + L R, or C - L R when Minus (C null for none); depth 0 leaves C, or
// zeros. out may be C itself: every cell of C is read before its cell of out is written. With
// lower, only the cells on and below the diagonal are sure to be written. L is read along its
// rows (step stride 1) unless Strided, which only A' B is.
template <bool Transposed, bool Minus = false, bool Strided = false>
inline void product(LeftOperand L, const f64* R, i64 ld, const f64* C, f64* out, i64 rows,
                    i64 depth, i64 cols, bool lower = false) {
    static_assert(!Strided || (!Transposed && !Minus), "a strided L only in out = C + L R");
    if (rows <= 0 || cols <= 0) return;
    if (depth <= 0) {
        if (C == nullptr) std::memset(out, 0, cells(rows * cols));
        else if (C != out) std::memcpy(out, C, cells(rows * cols));
    } else if (rows * cols * depth <= kTinyProduct) {
        tiny_product<Transposed, Minus>(L, R, ld, C, out, rows, depth, cols);
    } else if constexpr (Strided) {
        velm_isa::active().product_strided(L, R, ld, C, out, rows, depth, cols, lower);
    } else if (!Minus && cols == 1 && L.row_stride == depth && (Transposed || ld == 1)) {
        // one column, contiguous either way: the blocked products would fill one lane of each
        // vector, the matrix-vector kernel fills them all
        matvec(L.data, R, C, out, rows, depth);
    } else {
        const velm_isa::KernelTable& table = velm_isa::active();
        // the last panel's width: ragged and wider than one vector, or narrower than one with a
        // panel before it to join, takes the shifted kernels (both widths are powers of two, so
        // the remainders are masks, not divisions)
        const i64 last = cols & (table.panel_columns - 1);
        const bool shifted = (last > table.lanes && (last & (table.lanes - 1)) != 0) ||
                             (last != 0 && last < table.lanes && cols > table.panel_columns);
        (shifted ? table.product_shifted : table.product)[Transposed][Minus](
            L, R, ld, C, out, rows, depth, cols, lower);
    }
}

// P(i, j) = P(j, i) for j > i.
inline void mirror_lower(f64* P, i64 n) {
    if (n >= kTinySym) {
        velm_isa::active().mirror_lower(P, n);
        return;
    }
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) P[i * n + j] = P[j * n + i];
    }
}

}  // namespace

void velm_zero_mat(f64* out, i64 r, i64 c) {
    // a negative extent clears nothing (two negative extents must not make a positive count)
    if (r <= 0 || c <= 0) return;
    std::memset(out, 0, cells(r * c));
}

void velm_sym_inplace(f64* P, i64 n) {
    if (n >= kTinySym) {
        velm_isa::active().sym(P, n);
        return;
    }
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) sym_pair(P, n, i, j);
    }
}

// out = A B: L = A and R = B, both read along their rows.
void velm_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    product<false>({A, p, 1}, B, m, nullptr, out, n, p, m);
}

// out = A' B: row r of L = A' is column r of A, so L steps down A's columns; R = B along its
// rows. A depth of 0 (n = 0) clears the p x m output. A' x (m = 1) sums the rows of A weighted by
// x instead, reading A along its rows.
void velm_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    if (m == 1 && n > 0 && p > 0 && n * p >= kTinyMatvecT) {
        velm_isa::active().matvec_t(A, B, out, n, p);
        return;
    }
    product<false, false, true>({A, 1, p}, B, m, nullptr, out, p, n, m);
}

// out = A B': R = B' is read (packed) from the rows of B.
void velm_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    product<true>({A, p, 1}, B, p, nullptr, out, n, p, m);
}

void velm_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                            i64 m) {
    product<true>({A, p, 1}, B, p, C, out, n, p, m);
}

// For products known to be symmetric (A P A' with P symmetric): the blocks on and below the
// diagonal are computed, about half the work, and the lower triangle is mirrored, so that the
// result is exactly symmetric.
void velm_matmul_abt_plus_c_sym(const f64* A, const f64* B, const f64* C, f64* out, i64 n,
                                i64 p) {
    product<true>({A, p, 1}, B, p, C, out, n, p, n, true);
    mirror_lower(out, n);
}

void velm_c_minus_matmul(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                         i64 m) {
    product<false, true>({A, p, 1}, B, m, C, out, n, p, m);
}

void velm_c_minus_matmul_abt(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                             i64 m) {
    product<true, true>({A, p, 1}, B, p, C, out, n, p, m);
}

void velm_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m) {
    matvec(A, x, nullptr, out, n, m);
}

void velm_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
    matvec(A, x, b, out, n, m);
}

// No __restrict: out may be a or b (in-place subtraction), so the plain loop semantics must hold.
void velm_vsub(const f64* a, const f64* b, f64* out, i64 n) {
    for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 velm_dot(const f64* a, const f64* b, i64 n) {
    return n < kTinyDot ? row_dot(a, b, n) : velm_isa::active().dot(a, b, n);
}

f64 velm_max_scaled_change(const f64* A, const f64* B, const f64* scale, i64 n) {
    if (n <= 0) return 0.0;
    if (n >= kTinyScan) return velm_isa::active().max_scaled_change(A, B, scale, n);
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            const f64 difference = B[i * n + j] - A[i * n + j];
            if (difference == 0.0) continue;
            const f64 change = std::fabs(difference) * scale[i] * scale[j];
            if (std::isnan(change)) return change;
            largest = change > largest ? change : largest;
        }
    }
    return largest;
}

namespace velm_sym {

void plus_product(const f64* L, const f64* R, const f64* C, f64* out, i64 n, i64 p) {
    product<false>({L, p, 1}, R, n, C, out, n, p, n, true);
    mirror_lower(out, n);
}

void minus_product(const f64* L, const f64* R, const f64* C, f64* out, i64 n, i64 p) {
    product<false, true>({L, p, 1}, R, n, C, out, n, p, n, true);
    mirror_lower(out, n);
}

}  // namespace velm_sym
