// Dense row-major f64 kernels: products, symmetrisation, sort/median, Cholesky family, real LU.
#include "velm_linalg.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Helpers of the vector kernels: inlined, they are compiled for the ISA of their caller.
#define VELM_INLINE inline __attribute__((always_inline))
// A lambda is not compiled for its caller's target unless it is inlined into it.
#define VELM_LAMBDA_INLINE __attribute__((always_inline))

// On x86-64 the vector kernels are compiled twice, for the baseline ISA (SSE2) with vectors of
// two doubles and for AVX2 with FMA with vectors of four, and every call picks one by the CPU it
// runs on: one binary serves every x86-64 CPU. (Function clones of one body cannot do this: a
// four-lane body compiled for SSE2 keeps its vectors in memory and runs several times slower.)
// VELM_BASELINE_ONLY builds the baseline instances alone, so that tests reach them on an AVX2 CPU.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(VELM_BASELINE_ONLY)
#define VELM_X86_DISPATCH 1
#define VELM_TARGET_AVX2 __attribute__((target("avx2,fma")))
#else
#define VELM_X86_DISPATCH 0
#endif

namespace {

// Double machine epsilon, 2^-52: the unit of the Cholesky pivot tolerance n * eps * scale.
constexpr f64 kEpsilon = 2.220446049250313e-16;

inline size_t cells(i64 count) { return static_cast<size_t>(count) * sizeof(f64); }

// ---- vectors ----------------------------------------------------------------------------------
// The kernels are templates over a vector type V of kLanes<V> doubles: two lanes (SSE2, NEON,
// any baseline) or four (AVX2). Vectors are passed by reference: a 32-byte vector by value
// changes the calling convention of functions compiled without AVX (-Wpsabi).

typedef f64 f64x2 __attribute__((vector_size(16)));
typedef f64 f64x4 __attribute__((vector_size(32)));

template <class V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(f64));

// V as it is read from and written to f64 arrays: any alignment of f64, and allowed to alias
// them. (A memcpy would do too, but GCC then splits vectors held in local arrays into halves,
// and a whole-vector load of two half stores stalls.)
template <class V>
struct InMemory;
template <>
struct InMemory<f64x2> {
    typedef f64 type __attribute__((vector_size(16), aligned(8), may_alias));
};
template <>
struct InMemory<f64x4> {
    typedef f64 type __attribute__((vector_size(32), aligned(8), may_alias));
};

template <class V>
VELM_INLINE void load(V& v, const f64* src) {
    v = *reinterpret_cast<const typename InMemory<V>::type*>(src);
}

template <class V>
VELM_INLINE void store(f64* dst, const V& v) {
    *reinterpret_cast<typename InMemory<V>::type*>(dst) = v;
}

// out = the lanes I... of the concatenation a:b (GCC and Clang spell the shuffle differently).
template <int... I, class V>
VELM_INLINE void shuffle(V& out, const V& a, const V& b) {
#if defined(__clang__)
    out = __builtin_shufflevector(a, b, I...);
#else
    typedef long long Mask __attribute__((vector_size(sizeof(V))));
    out = __builtin_shuffle(a, b, Mask{I...});
#endif
}

// v = src[0 .. count), zero-padded, for count < kLanes<V>: the ragged end of a row. The lanes
// are gathered in registers; a scalar store followed by a wider load would stall the store
// buffer, which costs more than the arithmetic of a small product.
template <class V>
VELM_INLINE void load_partial(V& v, const f64* src, i64 count) {
    v = V{};
    for (int c = 0; c + 1 < kLanes<V>; ++c) {
        if (c < count) v[c] = src[c];
    }
}

template <class V>
VELM_INLINE void store_partial(f64* dst, const V& v, i64 count) {
    for (int c = 0; c + 1 < kLanes<V>; ++c) {
        if (c < count) dst[c] = v[c];
    }
}

template <class V>
VELM_INLINE f64 lane_sum(const V& v) {
    f64 sum = v[0];
    for (int c = 1; c < kLanes<V>; ++c) sum += v[c];
    return sum;
}

// sum_k a[k] * b[k] over count <= MaxCount terms, one by one: a constant bound, so that the
// compiler unrolls it instead of vectorising a loop this short.
template <int MaxCount>
VELM_INLINE f64 short_dot(const f64* a, const f64* b, i64 count) {
    f64 sum = 0.0;
    for (int k = 0; k < MaxCount; ++k) {
        if (k < count) sum += a[k] * b[k];
    }
    return sum;
}

// sum_k a[k] * b[k]; two vector partial sums hide the multiply-add latency, the last
// n mod kLanes<V> terms are added one by one. a and b may be the same row (both are only read).
template <class V>
VELM_INLINE f64 vec_dot(const f64* a, const f64* b, i64 n) {
    constexpr int W = kLanes<V>;
    f64 sum = 0.0;
    i64 k = 0;
    if (n >= W) {
        V sum0 = {}, sum1 = {};
        for (; k + 2 * W <= n; k += 2 * W) {
            V a0, a1, b0, b1;
            load(a0, a + k);
            load(a1, a + k + W);
            load(b0, b + k);
            load(b1, b + k + W);
            sum0 += a0 * b0;
            sum1 += a1 * b1;
        }
        if (k + W <= n) {
            V a0, b0;
            load(a0, a + k);
            load(b0, b + k);
            sum0 += a0 * b0;
            k += W;
        }
        const V sum01 = sum0 + sum1;
        sum = lane_sum(sum01);
    }
    return sum + short_dot<W - 1>(a + k, b + k, n - k);
}

// ---- scalar row helpers -----------------------------------------------------------------------

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

inline void row_scale(f64* __restrict y, f64 alpha, i64 n) {
    for (i64 k = 0; k < n; ++k) y[k] *= alpha;
}

inline void row_swap(f64* __restrict a, f64* __restrict b, i64 n) {
    for (i64 k = 0; k < n; ++k) {
        const f64 t = a[k];
        a[k] = b[k];
        b[k] = t;
    }
}

}  // namespace

// ==== register-blocked products ================================================================
//
// Every product is out (rows x cols) = C + L R with L rows x depth, R depth x cols and C an
// optional addend, computed in column panels two vectors wide (8 columns with AVX2, 4 with
// SSE2), as in the BLIS and GotoBLAS macro-kernels (Goto and van de Geijn, 2008). A micro-kernel
// keeps a block of up to 6 rows x one panel of out in 12 vector accumulators (16 registers: 12,
// two vectors of the panel and one broadcast of L) and adds one rank-1 update per step of the
// sum, sweeping the rows of out while the panel of R stays in L1 cache. The panel is read in
// place when its rows are whole vectors of R; otherwise (B' of the abt forms, a last panel
// narrower than the vectors) a slice of up to 128 steps is packed into a stack buffer,
// zero-padded to whole vectors. So A B, A' B and A B' share one kernel: only the way L and R
// are read differs.

namespace {

constexpr int kBlockRows = 6;
constexpr i64 kPanelDepth = 128;
constexpr i64 kPanelBufferCells = kPanelDepth * 8;  // 8 KiB of stack: 128 steps x 8 columns

// L(r, s) = data[r * row_stride + s * step_stride].
struct LeftOperand {
    const f64* data;
    i64 row_stride;
    i64 step_stride;
};

// Rows of a panel of R, whole vectors wide: panel(s, c) = data[s * ld + c].
struct Panel {
    const f64* data;
    i64 ld;
};

// rows[c] = column c of the W x W tile held in rows: an in-register transpose, by unpacking
// pairs of rows and then, for four lanes, exchanging 128-bit halves.
template <class V>
VELM_INLINE void transpose_tile(V (&rows)[kLanes<V>]) {
    if constexpr (kLanes<V> == 2) {
        const V r0 = rows[0], r1 = rows[1];
        shuffle<0, 2>(rows[0], r0, r1);
        shuffle<1, 3>(rows[1], r0, r1);
    } else {
        static_assert(kLanes<V> == 4, "tiles of two or four lanes");
        V t0, t1, t2, t3;
        shuffle<0, 4, 2, 6>(t0, rows[0], rows[1]);
        shuffle<1, 5, 3, 7>(t1, rows[0], rows[1]);
        shuffle<0, 4, 2, 6>(t2, rows[2], rows[3]);
        shuffle<1, 5, 3, 7>(t3, rows[2], rows[3]);
        shuffle<0, 1, 4, 5>(rows[0], t0, t2);
        shuffle<0, 1, 4, 5>(rows[1], t1, t3);
        shuffle<2, 3, 6, 7>(rows[2], t0, t2);
        shuffle<2, 3, 6, 7>(rows[3], t1, t3);
    }
}

// panel(s, c) = R(s0 + s, c0 + c) for s < steps, c < width; the columns width..Vecs*W are zero.
// R(s, c) is R[s * ld + c], or R[c * ld + s] when Transposed. Whole vectors are built in
// registers and stored whole, since the kernel reads them back at once. A transposed panel
// goes in W x W tiles, W contiguous steps of W rows of R at a time, where it can.
template <class V, int Vecs, bool Transposed>
VELM_INLINE Panel pack_panel(const f64* R, i64 ld, i64 s0, i64 steps, i64 c0, i64 width,
                             f64* __restrict buffer) {
    constexpr int W = kLanes<V>;
    constexpr i64 lanes = Vecs * W;
    const i64 s_stride = Transposed ? 1 : ld;
    const i64 c_stride = Transposed ? ld : 1;
    const f64* base = R + s0 * s_stride + c0 * c_stride;
    for (int v = 0; v < Vecs; ++v) {
        i64 s = 0;
        if (Transposed && width >= W * (v + 1)) {
            for (; s + W <= steps; s += W) {
                V tile[W];
                for (int c = 0; c < W; ++c) load(tile[c], base + (W * v + c) * c_stride + s);
                transpose_tile<V>(tile);
                for (int t = 0; t < W; ++t) store(buffer + (s + t) * lanes + W * v, tile[t]);
            }
        }
        for (; s < steps; ++s) {
            V column_part = {};
            for (int c = 0; c < W; ++c) {
                const int col = W * v + c;
                if (col < width) column_part[c] = base[s * s_stride + col * c_stride];
            }
            store(buffer + s * lanes + W * v, column_part);
        }
    }
    return {buffer, lanes};
}

// acc = the Rows x width block at src (row stride ld), zero-padded, or zeros when src is null.
template <class V, int Rows, int Vecs>
VELM_INLINE void load_block(V (&acc)[Rows][Vecs], const f64* src, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    for (int r = 0; r < Rows; ++r) {
        for (int v = 0; v < Vecs; ++v) {
            if (src == nullptr) acc[r][v] = V{};
            else if (width >= W * (v + 1)) load(acc[r][v], src + r * ld + W * v);
            else load_partial(acc[r][v], src + r * ld + W * v, width - W * v);
        }
    }
}

// The first width columns of acc go to the block at dst (row stride ld).
template <class V, int Rows, int Vecs>
VELM_INLINE void store_block(const V (&acc)[Rows][Vecs], f64* dst, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    for (int r = 0; r < Rows; ++r) {
        for (int v = 0; v < Vecs; ++v) {
            if (width >= W * (v + 1)) store(dst + r * ld + W * v, acc[r][v]);
            else if (width > W * v) store_partial(dst + r * ld + W * v, acc[r][v], width - W * v);
        }
    }
}

// out block (Rows x width) = init block + L block (Rows x steps) panel, init null for zeros, or
// init - L panel when Minus. init may be out itself (a later slice adds onto the partial result).
template <class V, int Rows, int Vecs, bool Minus>
VELM_INLINE void block_kernel(const f64* a, i64 a_row, i64 a_step, Panel panel, i64 steps,
                              const f64* init, f64* out, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    V acc[Rows][Vecs];
    load_block<V, Rows, Vecs>(acc, init, ld, width);
    for (i64 s = 0; s < steps; ++s) {
        V panel_row[Vecs];
        for (int v = 0; v < Vecs; ++v) load(panel_row[v], panel.data + s * panel.ld + W * v);
        // acc += L(:, s) panel(s, :) (acc -= when Minus), one broadcast of L per row
        for (int r = 0; r < Rows; ++r) {
            const f64 a_rs = a[r * a_row + s * a_step];
            for (int v = 0; v < Vecs; ++v) {
                if constexpr (Minus) acc[r][v] -= a_rs * panel_row[v];
                else acc[r][v] += a_rs * panel_row[v];
            }
        }
    }
    store_block<V, Rows, Vecs>(acc, out, ld, width);
}

// The last rest < kBlockRows rows of a panel as one block of exactly that height.
template <class V, int Vecs, bool Minus, int Rows = kBlockRows - 1>
VELM_INLINE void last_block(i64 rest, const f64* a, i64 a_row, i64 a_step, Panel panel,
                            i64 steps, const f64* init, f64* out, i64 ld, i64 width) {
    if constexpr (Rows > 0) {
        if (rest == Rows) {
            block_kernel<V, Rows, Vecs, Minus>(a, a_row, a_step, panel, steps, init, out, ld,
                                               width);
        } else {
            last_block<V, Vecs, Minus, Rows - 1>(rest, a, a_row, a_step, panel, steps, init, out,
                                                 ld, width);
        }
    }
}

// Rows r_begin .. rows-1 of one panel: blocks of kBlockRows, then one smaller block for the rest.
template <class V, int Vecs, bool Minus>
VELM_INLINE void sweep_panel(const LeftOperand& L, i64 r_begin, i64 rows, Panel panel, i64 steps,
                             const f64* init, f64* out, i64 ld, i64 width) {
    const i64 a_row = L.row_stride, a_step = L.step_stride;
    i64 r0 = r_begin;
    for (; r0 + kBlockRows <= rows; r0 += kBlockRows) {
        block_kernel<V, kBlockRows, Vecs, Minus>(L.data + r0 * a_row, a_row, a_step, panel,
                                                 steps, init ? init + r0 * ld : nullptr,
                                                 out + r0 * ld, ld, width);
    }
    last_block<V, Vecs, Minus>(rows - r0, L.data + r0 * a_row, a_row, a_step, panel, steps,
                               init ? init + r0 * ld : nullptr, out + r0 * ld, ld, width);
}

// One panel Vecs vectors wide (width columns of it in use) and one slice of the sum; read in
// place when its rows are whole vectors of R.
template <class V, int Vecs, bool Transposed, bool Minus>
VELM_INLINE void panel_slice(const LeftOperand& L, const f64* R, i64 ld, i64 r_begin, i64 rows,
                             i64 s0, i64 steps, i64 c0, i64 width, const f64* init, f64* out,
                             i64 out_ld, f64* __restrict buffer) {
    const Panel panel =
        (!Transposed && width == Vecs * kLanes<V>)
            ? Panel{R + s0 * ld + c0, ld}
            : pack_panel<V, Vecs, Transposed>(R, ld, s0, steps, c0, width, buffer);
    const LeftOperand L_slice = {L.data + s0 * L.step_stride, L.row_stride, L.step_stride};
    sweep_panel<V, Vecs, Minus>(L_slice, r_begin, rows, panel, steps, init, out, out_ld, width);
}

// Plain sums for products so small that setting up blocks and panels costs more than the
// arithmetic. With R transposed (the abt forms) both operands are rows: L's steps are unit.
template <bool Transposed, bool Minus>
VELM_INLINE void tiny_product(const LeftOperand& L, const f64* R, i64 ld, const f64* C, f64* out,
                              i64 rows, i64 depth, i64 cols) {
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

// out (rows x cols) = C + L R (C - L R when Minus) for rows, depth, cols > 0, C null for no
// addend. R(s, c) is R[s * ld + c], or R[c * ld + s] when Transposed (the B' of the abt forms).
// With lower, a panel skips the rows wholly above the diagonal: only the cells (r, c) with c <= r
// are sure to be written (for a symmetric result that is then mirrored).
template <class V, bool Transposed, bool Minus>
VELM_INLINE void blocked_product(const LeftOperand& L, const f64* R, i64 ld, const f64* C,
                                 f64* out, i64 rows, i64 depth, i64 cols, bool lower) {
    constexpr int W = kLanes<V>;
    alignas(32) f64 buffer[kPanelBufferCells];
    for (i64 c0 = 0; c0 < cols; c0 += 2 * W) {
        const i64 width = cols - c0 < 2 * W ? cols - c0 : 2 * W;
        const i64 r_begin = lower ? (c0 < rows ? c0 : rows) : 0;
        for (i64 s0 = 0; s0 < depth; s0 += kPanelDepth) {
            const i64 steps = depth - s0 < kPanelDepth ? depth - s0 : kPanelDepth;
            // a later slice of the sum adds onto the partial result already in out
            const f64* init = s0 > 0 ? out + c0 : (C ? C + c0 : nullptr);
            if (width > W) {
                panel_slice<V, 2, Transposed, Minus>(L, R, ld, r_begin, rows, s0, steps, c0,
                                                     width, init, out + c0, cols, buffer);
            } else {
                panel_slice<V, 1, Transposed, Minus>(L, R, ld, r_begin, rows, s0, steps, c0,
                                                     width, init, out + c0, cols, buffer);
            }
        }
    }
}

// out(i) = b(i) + A(i,:) x (b null for none); four rows at a time share each load of x.
template <class V>
VELM_INLINE void blocked_matvec(const f64* A, const f64* x, const f64* b, f64* out, i64 n,
                                i64 m) {
    constexpr int W = kLanes<V>;
    const i64 m_whole = m - m % W;
    V x_tail;
    load_partial(x_tail, x + m_whole, m - m_whole);
    i64 i = 0;
    for (; i + 4 <= n; i += 4) {
        const f64* A_i = A + i * m;
        V acc[4] = {};
        for (i64 k = 0; k < m_whole; k += W) {
            V x_k;
            load(x_k, x + k);
            for (int r = 0; r < 4; ++r) {
                V a_rk;
                load(a_rk, A_i + r * m + k);
                acc[r] += a_rk * x_k;
            }
        }
        for (int r = 0; r < 4; ++r) {
            V a_tail;
            load_partial(a_tail, A_i + r * m + m_whole, m - m_whole);
            acc[r] += a_tail * x_tail;
            const f64 sum = lane_sum(acc[r]);
            out[i + r] = b ? b[i + r] + sum : sum;
        }
    }
    for (; i < n; ++i) {
        const f64 sum = vec_dot<V>(A + i * m, x, m);
        out[i] = b ? b[i] + sum : sum;
    }
}

// ---- symmetrisation ---------------------------------------------------------------------------

// avg = (P(i,j) + P(j,i)) * 0.5 into both cells.
inline void sym_pair(f64* P, i64 n, i64 i, i64 j) {
    const f64 avg = (P[i * n + j] + P[j * n + i]) * 0.5;
    P[i * n + j] = avg;
    P[j * n + i] = avg;
}

// The W x W tile of P at (i0, j0), j0 > i0, and its mirror at (j0, i0) are replaced by their
// mean: the mirror is transposed in registers, so both are read and written as whole rows.
template <class V>
VELM_INLINE void sym_tile_pair(f64* P, i64 n, i64 i0, i64 j0) {
    constexpr int W = kLanes<V>;
    V upper[W], lower[W];
    for (int r = 0; r < W; ++r) {
        load(upper[r], P + (i0 + r) * n + j0);
        load(lower[r], P + (j0 + r) * n + i0);
    }
    transpose_tile<V>(lower);
    for (int r = 0; r < W; ++r) upper[r] = (upper[r] + lower[r]) * 0.5;
    for (int r = 0; r < W; ++r) store(P + (i0 + r) * n + j0, upper[r]);
    transpose_tile<V>(upper);
    for (int r = 0; r < W; ++r) store(P + (j0 + r) * n + i0, upper[r]);
}

// Visits every mirrored pair (i, j), j > i, of an n x n matrix once: the off-diagonal tiles of
// the leading n_whole x n_whole block as whole vector tiles (tile(i0, j0)), the pairs within the
// diagonal tiles and in the ragged last rows and columns one by one (pair(i, j)).
template <class V, class TileOp, class PairOp>
VELM_INLINE void for_each_mirrored_pair(i64 n, TileOp tile, PairOp pair) {
    constexpr int W = kLanes<V>;
    const i64 n_whole = n - n % W;
    for (i64 i0 = 0; i0 < n_whole; i0 += W) {
        for (i64 j0 = i0 + W; j0 < n_whole; j0 += W) tile(i0, j0);
    }
    for (i64 i = 0; i < n; ++i) {
        const i64 tile_end = i < n_whole ? (i / W + 1) * W : n;
        for (i64 j = i + 1; j < tile_end; ++j) pair(i, j);
        for (i64 j = tile_end > n_whole ? tile_end : n_whole; j < n; ++j) pair(i, j);
    }
}

// Each mirrored pair replaced by its mean, whole tiles in registers.
template <class V>
VELM_INLINE void blocked_sym(f64* P, i64 n) {
    for_each_mirrored_pair<V>(
        n, [=](i64 i0, i64 j0) VELM_LAMBDA_INLINE { sym_tile_pair<V>(P, n, i0, j0); },
        [=](i64 i, i64 j) VELM_LAMBDA_INLINE { sym_pair(P, n, i, j); });
}

// The W x W tile of P at (j0, i0), j0 > i0, transposed onto its mirror at (i0, j0).
template <class V>
VELM_INLINE void mirror_tile(f64* P, i64 n, i64 i0, i64 j0) {
    constexpr int W = kLanes<V>;
    V lower[W];
    for (int r = 0; r < W; ++r) load(lower[r], P + (j0 + r) * n + i0);
    transpose_tile<V>(lower);
    for (int r = 0; r < W; ++r) store(P + (i0 + r) * n + j0, lower[r]);
}

// P(i, j) = P(j, i) for j > i: the strict lower triangle copied onto the upper one, whole tiles
// in registers.
template <class V>
VELM_INLINE void blocked_mirror_lower(f64* P, i64 n) {
    for_each_mirrored_pair<V>(
        n, [=](i64 i0, i64 j0) VELM_LAMBDA_INLINE { mirror_tile<V>(P, n, i0, j0); },
        [=](i64 i, i64 j) VELM_LAMBDA_INLINE { P[i * n + j] = P[j * n + i]; });
}

// ---- triangular solves for many right-hand sides ----------------------------------------------
// Each row b of B gives the row z = b (L L')^-1 of out, that is (L L') z' = b' (L L' symmetric).
// The rows go W at a time, held transposed in a stack tile (tile[j] = column j of the W rows), so
// that every step of the two substitutions is one vector multiply-add for W rows at once; up to
// four tiles are solved side by side. Both
// substitutions are column-oriented, as in velm_forward_subst: the chain from one unknown to the
// next is one multiply-add and one multiply by the reciprocal pivot. Orders above the tile fall
// back to one row at a time.

constexpr i64 kSolveTileOrder = 32;  // up to four tiles of 32 x 4 doubles: 4 KiB of stack

// tile[j][lane] = B(r0 + lane, j) for lane < height, j < m; lanes at and above height are zero.
template <class V>
VELM_INLINE void gather_rows(V* tile, const f64* B, i64 r0, i64 height, i64 m) {
    constexpr int W = kLanes<V>;
    i64 j0 = 0;
    if (height == W) {
        for (; j0 + W <= m; j0 += W) {
            V rows[W];
            for (int l = 0; l < W; ++l) load(rows[l], B + (r0 + l) * m + j0);
            transpose_tile<V>(rows);
            for (int c = 0; c < W; ++c) tile[j0 + c] = rows[c];
        }
    }
    for (i64 j = j0; j < m; ++j) {
        V column = {};
        for (int l = 0; l < W; ++l) {
            if (l < height) column[l] = B[(r0 + l) * m + j];
        }
        tile[j] = column;
    }
}

// out(r0 + lane, j) = tile[j][lane] for lane < height, j < m.
template <class V>
VELM_INLINE void scatter_rows(const V* tile, f64* out, i64 r0, i64 height, i64 m) {
    constexpr int W = kLanes<V>;
    i64 j0 = 0;
    if (height == W) {
        for (; j0 + W <= m; j0 += W) {
            V rows[W];
            for (int c = 0; c < W; ++c) rows[c] = tile[j0 + c];
            transpose_tile<V>(rows);
            for (int l = 0; l < W; ++l) store(out + (r0 + l) * m + j0, rows[l]);
        }
    }
    for (i64 j = j0; j < m; ++j) {
        for (int l = 0; l < W; ++l) {
            if (l < height) out[(r0 + l) * m + j] = tile[j][l];
        }
    }
}

// Rows r0 .. r0+height-1 of out = those of B (L L')^-1, height <= Tiles * W: Tiles independent
// tiles in flight hide the latency of each one's chain.
template <class V, int Tiles>
VELM_INLINE void solve_row_tiles(const f64* L, const f64* inv_diag, const f64* B, f64* out,
                                 i64 r0, i64 height, i64 m) {
    constexpr int W = kLanes<V>;
    V tile[Tiles][kSolveTileOrder];
    i64 heights[Tiles];
    for (int q = 0; q < Tiles; ++q) {
        const i64 rest = height - q * W;
        heights[q] = rest < 0 ? 0 : (rest < W ? rest : W);
        gather_rows<V>(tile[q], B, r0 + q * W, heights[q], m);
    }
    // forward, L y = b: y(j) = y(j) / L(j,j); y(j+1:) -= L(j+1:, j) y(j)
    for (i64 j = 0; j < m; ++j) {
        V y_j[Tiles];
        for (int q = 0; q < Tiles; ++q) {
            y_j[q] = tile[q][j] * inv_diag[j];
            tile[q][j] = y_j[q];
        }
        for (i64 i = j + 1; i < m; ++i) {
            const f64 L_ij = L[i * m + j];
            for (int q = 0; q < Tiles; ++q) tile[q][i] -= L_ij * y_j[q];
        }
    }
    // backward, L' z = y: z(j) = z(j) / L(j,j); z(0:j) -= L(j, 0:j) z(j), along row j of L
    for (i64 j = m - 1; j >= 0; --j) {
        V z_j[Tiles];
        for (int q = 0; q < Tiles; ++q) {
            z_j[q] = tile[q][j] * inv_diag[j];
            tile[q][j] = z_j[q];
        }
        const f64* L_j = L + j * m;
        for (i64 i = 0; i < j; ++i) {
            for (int q = 0; q < Tiles; ++q) tile[q][i] -= L_j[i] * z_j[q];
        }
    }
    for (int q = 0; q < Tiles; ++q) scatter_rows<V>(tile[q], out, r0 + q * W, heights[q], m);
}

// out = B (L L')^-1 for B rows x m, m <= kSolveTileOrder; out may be B.
template <class V>
VELM_INLINE void blocked_chol_solve_rows(const f64* L, const f64* B, f64* out, i64 rows, i64 m) {
    constexpr int W = kLanes<V>;
    f64 inv_diag[kSolveTileOrder];
    for (i64 j = 0; j < m; ++j) inv_diag[j] = 1.0 / L[j * m + j];
    i64 r0 = 0;
    for (; r0 + 2 * W < rows; r0 += 4 * W) {
        solve_row_tiles<V, 4>(L, inv_diag, B, out, r0, rows - r0, m);
    }
    if (r0 + W < rows) solve_row_tiles<V, 2>(L, inv_diag, B, out, r0, rows - r0, m);
    else if (r0 < rows) solve_row_tiles<V, 1>(L, inv_diag, B, out, r0, rows - r0, m);
}

// ---- dispatch ---------------------------------------------------------------------------------
// A kernel is a struct with `template <class V> static ... run(args)`; dispatch(args) runs the
// AVX2 instance when the CPU has AVX2 and FMA (the check reads the CPU flags that the compiler's
// runtime library records at load time) and the baseline instance otherwise.

#if VELM_X86_DISPATCH
template <class Kernel, class... Args>
VELM_TARGET_AVX2 auto run_avx2(Args... args) {
    return Kernel::template run<f64x4>(args...);
}

template <class Kernel, class... Args>
auto run_baseline(Args... args) {
    return Kernel::template run<f64x2>(args...);
}

template <class Kernel, class... Args>
inline auto dispatch(Args... args) {
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        return run_avx2<Kernel>(args...);
    }
    return run_baseline<Kernel>(args...);
}
#else
template <class Kernel, class... Args>
inline auto dispatch(Args... args) {
    return Kernel::template run<f64x2>(args...);
}
#endif

template <bool Transposed, bool Minus>
struct BlockedProductKernel {
    template <class V>
    static VELM_INLINE void run(LeftOperand L, const f64* R, i64 ld, const f64* C, f64* out,
                                i64 rows, i64 depth, i64 cols, bool lower) {
        blocked_product<V, Transposed, Minus>(L, R, ld, C, out, rows, depth, cols, lower);
    }
};

struct MatvecKernel {
    template <class V>
    static VELM_INLINE void run(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
        blocked_matvec<V>(A, x, b, out, n, m);
    }
};

struct SymKernel {
    template <class V>
    static VELM_INLINE void run(f64* P, i64 n) {
        blocked_sym<V>(P, n);
    }
};

struct MirrorKernel {
    template <class V>
    static VELM_INLINE void run(f64* P, i64 n) {
        blocked_mirror_lower<V>(P, n);
    }
};

struct CholSolveRowsKernel {
    template <class V>
    static VELM_INLINE void run(const f64* L, const f64* B, f64* out, i64 rows, i64 m) {
        blocked_chol_solve_rows<V>(L, B, out, rows, m);
    }
};

struct DotKernel {
    template <class V>
    static VELM_INLINE f64 run(const f64* a, const f64* b, i64 n) {
        return vec_dot<V>(a, b, n);
    }
};

// Sizes this small cost less than a call into the dispatched kernels: they run inline, in the
// baseline ISA.
constexpr i64 kTinyProduct = 64;  // multiply-adds
constexpr i64 kTinyMatvec = 48;   // multiply-adds
constexpr i64 kTinyDot = 16;      // terms
constexpr i64 kTinySym = 20;      // order of the matrix

// out (rows x cols) = C + L R, or C - L R when Minus (C null for none); depth 0 leaves C, or
// zeros. out may be C itself: every cell of C is read before its cell of out is written. With
// lower, only the cells on and below the diagonal are sure to be written.
template <bool Transposed, bool Minus = false>
inline void product(LeftOperand L, const f64* R, i64 ld, const f64* C, f64* out, i64 rows,
                    i64 depth, i64 cols, bool lower = false) {
    if (rows <= 0 || cols <= 0) return;
    if (depth <= 0) {
        if (C == nullptr) std::memset(out, 0, cells(rows * cols));
        else if (C != out) std::memcpy(out, C, cells(rows * cols));
    } else if (rows * cols * depth <= kTinyProduct) {
        tiny_product<Transposed, Minus>(L, R, ld, C, out, rows, depth, cols);
    } else {
        dispatch<BlockedProductKernel<Transposed, Minus>>(L, R, ld, C, out, rows, depth, cols,
                                                          lower);
    }
}

// P(i, j) = P(j, i) for j > i.
inline void mirror_lower(f64* P, i64 n) {
    if (n >= kTinySym) {
        dispatch<MirrorKernel>(P, n);
        return;
    }
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) P[i * n + j] = P[j * n + i];
    }
}

inline void matvec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
    if (n * m > kTinyMatvec) {
        dispatch<MatvecKernel>(A, x, b, out, n, m);
        return;
    }
    for (i64 i = 0; i < n; ++i) {
        const f64 sum = row_dot(A + i * m, x, m);
        out[i] = b ? b[i] + sum : sum;
    }
}

}  // namespace

// ==== dense kernels ============================================================================

void velm_zero_mat(f64* out, i64 r, i64 c) {
    // a negative extent clears nothing (two negative extents must not make a positive count)
    if (r <= 0 || c <= 0) return;
    std::memset(out, 0, cells(r * c));
}

void velm_sym_inplace(f64* P, i64 n) {
    if (n >= kTinySym) {
        dispatch<SymKernel>(P, n);
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
// rows. A depth of 0 (n = 0) clears the p x m output.
void velm_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
    product<false>({A, 1, p}, B, m, nullptr, out, p, n, m);
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
    return n < kTinyDot ? row_dot(a, b, n) : dispatch<DotKernel>(a, b, n);
}

// Total order for qsort: numbers ascending, then every NaN (all NaNs equal). A comparison that
// called NaN equal to everything would be inconsistent, and qsort is undefined for those.
static int velm_cmp_f64(const void* a, const void* b) {
    const f64 fa = *static_cast<const f64*>(a);
    const f64 fb = *static_cast<const f64*>(b);
    const int a_nan = std::isnan(fa);
    const int b_nan = std::isnan(fb);
    if (a_nan || b_nan) return a_nan - b_nan;
    return (fa > fb) - (fa < fb);
}

void velm_sort_f64(f64* arr, i64 n) {
    if (n > 1) std::qsort(arr, static_cast<size_t>(n), sizeof(f64), velm_cmp_f64);
}

f64 velm_median_f64(f64* arr, i64 n) {
    if (n <= 0) return std::nan("");
    velm_sort_f64(arr, n);
    if (n % 2 == 1) return arr[n / 2];
    return (arr[n / 2] + arr[n / 2 - 1]) * 0.5;
}

// ==== Cholesky family ==========================================================================

namespace {

inline f64 jittered(f64 diagonal, f64 jitter) { return jitter > 0.0 ? diagonal + jitter : diagonal; }

// n * eps * scale with scale the largest jittered diagonal entry, floored at 0 (a negative or NaN
// diagonal never raises it).
f64 chol_pivot_tol(const f64* S, f64 jitter, i64 n) {
    f64 scale = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 d = jittered(S[i * n + i], jitter);
        if (d > scale) scale = d;
    }
    return (static_cast<f64>(n) * kEpsilon) * scale;
}

// Written as !(s > tol) so that a NaN pivot fails like a non-positive one.
inline bool pivot_fails(f64 s, f64 pivot_tol) { return !(s > pivot_tol); }

}  // namespace

int velm_chol(const f64* __restrict S, f64 jitter, f64* __restrict L, i64 n) {
    velm_zero_mat(L, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // Cholesky-Banachiewicz: L(i,j) = (S(i,j) - L(i,0:j) . L(j,0:j)) / L(j,j), row by row.
    for (i64 i = 0; i < n; ++i) {
        f64* L_i = L + i * n;
        for (i64 j = 0; j < i; ++j) {
            const f64* L_j = L + j * n;
            L_i[j] = (S[i * n + j] - row_dot(L_i, L_j, j)) / L_j[j];
        }
        const f64 s = jittered(S[i * n + i], jitter) - row_dot(L_i, L_i, i);
        if (pivot_fails(s, pivot_tol)) return VELM_ERR_NOT_POSITIVE_DEFINITE;
        L_i[i] = std::sqrt(s);
    }
    return VELM_OK;
}

int velm_chol_upper(const f64* __restrict S, f64 jitter, f64* __restrict U, i64 n) {
    velm_zero_mat(U, n, n);
    if (n <= 0) return VELM_OK;
    const f64 pivot_tol = chol_pivot_tol(S, jitter, n);
    // S = U U^T from the bottom-right corner: U(i,j) = (S(i,j) - U(i,j+1:) . U(j,j+1:)) / U(j,j).
    for (i64 i = n - 1; i >= 0; --i) {
        f64* U_i = U + i * n;
        for (i64 j = n - 1; j > i; --j) {
            const f64* U_j = U + j * n;
            U_i[j] = (S[i * n + j] - row_dot(U_i + j + 1, U_j + j + 1, n - 1 - j)) / U_j[j];
        }
        const f64 s = jittered(S[i * n + i], jitter) - row_dot(U_i + i + 1, U_i + i + 1, n - 1 - i);
        if (pivot_fails(s, pivot_tol)) return VELM_ERR_NOT_POSITIVE_DEFINITE;
        U_i[i] = std::sqrt(s);
    }
    return VELM_OK;
}

f64 velm_logdet_from_chol(const f64* L, i64 n) {
    // log det(L L^T) = 2 * sum_i log L(i,i)
    f64 s = 0.0;
    for (i64 i = 0; i < n; ++i) s += std::log(L[i * n + i]);
    return s + s;
}

// Both substitutions are column-oriented: once out(i) is known, its share is subtracted from the
// unknowns still to come. The chain from one unknown to the next is then one multiply-add and
// one multiply by the reciprocal of the pivot, which does not wait for that chain; a row dot
// would put a whole reduction and a division on it. The filter solves many short systems, one
// per row of its gain, where that chain is the cost. The first step reads b and writes every
// entry of out, so no copy of b is needed. No __restrict: out may be b (in place).
void velm_forward_subst(const f64* __restrict L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    // out(0) = b(0) / L(0,0); out(1:) = b(1:) - L(1:,0) * out(0)
    const f64 x_0 = b[0] * (1.0 / L[0]);
    out[0] = x_0;
    for (i64 j = 1; j < n; ++j) out[j] = b[j] - L[j * n] * x_0;
    for (i64 i = 1; i < n; ++i) {
        // out(i) = out(i) / L(i,i); out(i+1:) -= L(i+1:,i) * out(i)
        const f64 x_i = out[i] * (1.0 / L[i * n + i]);
        out[i] = x_i;
        for (i64 j = i + 1; j < n; ++j) out[j] -= L[j * n + i] * x_i;
    }
}

void velm_backward_subst_chol_t(const f64* __restrict L, const f64* b, f64* out, i64 n) {
    if (n <= 0) return;
    // out(n-1) = b(n-1) / L(n-1,n-1); out(0:n-1) = b(0:n-1) - L(n-1,0:n-1) * out(n-1)
    const f64* L_last = L + (n - 1) * n;
    const f64 x_last = b[n - 1] * (1.0 / L_last[n - 1]);
    out[n - 1] = x_last;
    for (i64 k = 0; k < n - 1; ++k) out[k] = b[k] - L_last[k] * x_last;
    for (i64 i = n - 2; i >= 0; --i) {
        // out(i) = out(i) / L(i,i); out(0:i) -= L(i,0:i) * out(i), along row i of L
        const f64* L_i = L + i * n;
        const f64 x_i = out[i] * (1.0 / L_i[i]);
        out[i] = x_i;
        row_axpy(out, -x_i, L_i, i);
    }
}

void velm_chol_solve_rows(const f64* L, const f64* B, f64* out, i64 rows, i64 m) {
    if (rows <= 0 || m <= 0) return;
    if (m <= kSolveTileOrder) {
        dispatch<CholSolveRowsKernel>(L, B, out, rows, m);
        return;
    }
    // L y = b, then L' z = y in place, row by row
    for (i64 r = 0; r < rows; ++r) {
        velm_forward_subst(L, B + r * m, out + r * m, m);
        velm_backward_subst_chol_t(L, out + r * m, out + r * m, m);
    }
}

void velm_gram(const f64* __restrict X, f64* __restrict G, i64 n, i64 p) {
    velm_zero_mat(G, p, p);
    // Lower triangle of G += X(r,:)^T X(r,:), row by row of X; then mirror it.
    for (i64 r = 0; r < n; ++r) {
        const f64* X_r = X + r * p;
        for (i64 a = 0; a < p; ++a) row_axpy(G + a * p, X_r[a], X_r, a + 1);
    }
    for (i64 a = 0; a < p; ++a) {
        for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
    }
}

void velm_gram_rhs(const f64* __restrict X, const f64* __restrict y, f64* __restrict g, i64 n,
                   i64 p) {
    if (p < 1) return;
    velm_zero_mat(g, 1, p);
    // g = sum_r y(r) * X(r,:)^T
    for (i64 r = 0; r < n; ++r) row_axpy(g, y[r], X + r * p, p);
}

int velm_chol_solve(const f64* G, const f64* g, f64* coef, f64* scratch_L, i64 p) {
    const int status = velm_chol(G, 0.0, scratch_L, p);
    if (status != VELM_OK) return status;
    // G coef = g  <=>  L w = g, L^T coef = w
    velm_forward_subst(scratch_L, g, coef, p);
    velm_backward_subst_chol_t(scratch_L, coef, coef, p);
    return VELM_OK;
}

int velm_chol_inv(const f64* __restrict G, f64* __restrict Pinv, f64* __restrict scratch_L,
                  i64 p) {
    const int status = velm_chol(G, 0.0, scratch_L, p);
    if (status != VELM_OK) return status;
    const f64* L = scratch_L;
    // Column j of G^-1 solves L L^T x = e_j; it is built in place in column j of Pinv.
    for (i64 j = 0; j < p; ++j) {
        for (i64 i = 0; i < p; ++i) {
            f64 s = 0.0;
            for (i64 t = 0; t < i; ++t) s += L[i * p + t] * Pinv[t * p + j];
            const f64 rhs = (i == j) ? 1.0 : 0.0;
            Pinv[i * p + j] = (rhs - s) / L[i * p + i];
        }
        for (i64 i = p - 1; i >= 0; --i) {
            f64 s = 0.0;
            for (i64 t = i + 1; t < p; ++t) s += L[t * p + i] * Pinv[t * p + j];
            Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
        }
    }
    return VELM_OK;
}

// ==== real LU with partial pivoting ============================================================

namespace {

// Row of the largest |A(i,k)| for i >= k; strict comparison keeps the topmost of equal
// magnitudes, and a NaN below the diagonal is never chosen.
i64 lu_pivot_row(const f64* A, i64 k, i64 n, f64* best_out) {
    i64 piv = k;
    f64 best = std::fabs(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
        const f64 v = std::fabs(A[i * n + k]);
        if (v > best) {
            best = v;
            piv = i;
        }
    }
    *best_out = best;
    return piv;
}

// An n x n f64 block must be addressable: n * n * sizeof(f64) may not overflow size_t.
inline bool lu_order_fits(i64 n) {
    return static_cast<uint64_t>(n) <= SIZE_MAX / sizeof(f64) / static_cast<uint64_t>(n);
}

}  // namespace

i64 velm_lu_factor_inplace(f64* A, i64* pivot, const i64 n) {
    if (pivot == nullptr || A == nullptr || n < 1) return VELM_ERR_INVALID_ARGUMENT;
    for (i64 k = 0; k < n; ++k) {
        f64 best = 0.0;
        const i64 piv = lu_pivot_row(A, k, n, &best);
        pivot[k] = piv;
        if (best == 0.0) return VELM_ERR_SINGULAR;
        f64* A_k = A + k * n;
        if (piv != k) row_swap(A_k, A + piv * n, n);
        const f64 inv_Akk = 1.0 / A_k[k];
        for (i64 i = k + 1; i < n; ++i) {
            f64* A_i = A + i * n;
            // A(i,k+1:) -= L(i,k) * A(k,k+1:), with L(i,k) stored in place of A(i,k)
            const f64 Lik = A_i[k] * inv_Akk;
            A_i[k] = Lik;
            row_axpy(A_i + k + 1, -Lik, A_k + k + 1, n - k - 1);
        }
    }
    return VELM_OK;
}

f64_lu velm_lu_factor(const f64* A, const i64 n) {
    f64_lu result = {nullptr, nullptr, n, VELM_ERR_INVALID_ARGUMENT};
    if (A == nullptr || n < 1 || !lu_order_fits(n)) return result;
    f64* lu = static_cast<f64*>(std::malloc(cells(n * n)));
    i64* piv = static_cast<i64*>(std::malloc(static_cast<size_t>(n) * sizeof(i64)));
    if (lu == nullptr || piv == nullptr) {
        std::free(lu);
        std::free(piv);
        return result;
    }
    std::memcpy(lu, A, cells(n * n));
    result.lu = lu;
    result.piv = piv;
    result.err = velm_lu_factor_inplace(lu, piv, n);
    return result;
}

void velm_lu_free(f64_lu* lu) {
    if (lu == nullptr) return;
    std::free(lu->lu);
    std::free(lu->piv);
    *lu = f64_lu{nullptr, nullptr, 0, 0};
}

void velm_lu_solve(const f64* __restrict LU, const i64* __restrict piv, const f64* __restrict B,
                   f64* __restrict X, const i64 n, const i64 m) {
    if (n <= 0 || m <= 0) return;
    std::memcpy(X, B, cells(n * m));
    // X = P B, applying the interchanges in the order they were made
    for (i64 k = 0; k < n; ++k) {
        if (piv[k] != k) row_swap(X + k * m, X + piv[k] * m, m);
    }
    // L Y = P B (unit diagonal): X(i,:) -= L(i,k) * X(k,:)
    for (i64 i = 1; i < n; ++i) {
        for (i64 k = 0; k < i; ++k) row_axpy(X + i * m, -LU[i * n + k], X + k * m, m);
    }
    // U X = Y: X(i,:) = (X(i,:) - U(i,i+1:) X(i+1:,:)) / U(i,i)
    for (i64 i = n - 1; i >= 0; --i) {
        f64* X_i = X + i * m;
        for (i64 k = i + 1; k < n; ++k) row_axpy(X_i, -LU[i * n + k], X + k * m, m);
        const f64 inv_Uii = 1.0 / LU[i * n + i];
        row_scale(X_i, inv_Uii, m);
    }
}

i64 velm_solve(const f64* A, const f64* B, const i64 n, const i64 m, f64* X) {
    f64_lu lu = velm_lu_factor(A, n);
    const i64 err = lu.err;
    if (err == VELM_OK) velm_lu_solve(lu.lu, lu.piv, B, X, n, m);
    velm_lu_free(&lu);
    return err;
}

i64 velm_inv(const f64* A, const i64 n, f64* Ainv) {
    if (A == nullptr || n < 1 || !lu_order_fits(n)) return VELM_ERR_INVALID_ARGUMENT;
    f64* identity = static_cast<f64*>(std::malloc(cells(n * n)));
    if (identity == nullptr) return VELM_ERR_INVALID_ARGUMENT;
    velm_zero_mat(identity, n, n);
    for (i64 i = 0; i < n; ++i) identity[i * n + i] = 1.0;
    const i64 status = velm_solve(A, identity, n, n, Ainv);
    std::free(identity);
    return status;
}
