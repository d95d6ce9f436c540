// Micro-kernels of the dense algorithms, written once for every vector type of velm_simd.h.
// Register-blocked products, matrix-vector products, tiled symmetrisation and many-row triangular
// solves. Internal: only the velm_isa_*.cpp sources include it, each instantiating the kernels
// for its own vector width through make_table.
#ifndef VELM_MICROKERNELS_H
#define VELM_MICROKERNELS_H

#include <limits>

#include "velm_kernel_table.h"
#include "velm_rows.h"
#include "velm_simd.h"

namespace __attribute__((visibility("hidden"))) velm_micro {

using namespace velm_simd;
using velm_isa::kSolveTileOrder;
using velm_isa::KernelTable;
using velm_isa::LeftOperand;
using velm_rows::sym_pair;

// ---- register-blocked products ----------------------------------------------------------------
//
// Every product is out (rows x cols) = C + L R with L rows x depth, R depth x cols and C an
// optional addend, computed in column panels of a few vectors, as in the BLIS and GotoBLAS
// macro-kernels (Goto and van de Geijn, 2008). A micro-kernel keeps a block of rows x one panel
// of out in vector accumulators and adds one rank-1 update per step of the sum, sweeping the rows
// of out while the panel of R stays in L1 cache. The block fills the vector registers: with 16
// (SSE2, AVX2) 6 rows x 2 vectors take 12, the panel row 2 and the broadcast of L one; the 32
// of AVX-512 hold blocks of 8 rows (ProductBlock). The panel is read in place when its rows are
// whole vectors of R; otherwise (B' of the abt forms, a panel narrower than the vectors) a slice
// of up to kPanelDepth steps is packed into a stack buffer, zero-padded to whole vectors. So
// A B, A' B and A B' share one kernel: only the way L and R are read differs.
//
// The Shifted kernels serve products whose last panel is ragged and wider than one vector: its
// last vector moves left onto the panel's last W columns, so that the panel is read in place and
// written in whole vectors; the lanes that overlap the vector before compute the same sums in the
// same order, so their stores agree. They are entries of their own: compiled into one function
// with the others, the extra addressing costs the small products registers.

// The register block of the products on vectors V: kRows x kVecs vectors of out. With 32
// registers, blocks of 8, 12 or 14 rows x 2 vectors and 8 or 9 x 3 measured within noise of each
// other on a Zen 4 core at n = 100 and 200 (6 x 4 and 4 x 3 slower); 8 x 2 leaves the smallest
// ragged block of rows.
template <class V>
struct ProductBlock {
    static constexpr int kRegisters = kLanes<V> == 8 ? 32 : 16;
    static constexpr int kVecs = 2;
    static constexpr int kRows = kRegisters == 32 ? 8 : 6;
    static constexpr int kPanelColumns = kVecs * kLanes<V>;
    static_assert(kRows * kVecs + kVecs + 1 <= kRegisters, "the block fits the registers");
    // rows of a block Vecs vectors wide: kRows up to kVecs, fewer for the wider last panel of a
    // shifted product, so that its accumulators, panel row and broadcast still fit
    template <int Vecs>
    static constexpr int rows_for() {
        return Vecs <= kVecs ? kRows
                             : ((kRegisters - Vecs - 1) / Vecs < kRows ? (kRegisters - Vecs - 1) / Vecs
                                                                      : kRows);
    }
};

constexpr i64 kPanelDepth = 128;

// First column of vector v of a panel Vecs vectors and width columns wide: W v, but with Shifted
// the last vector moves left onto the last W columns when the width is ragged but at least W.
template <class V, int Vecs, bool Shifted>
VELM_INLINE i64 vector_column(int v, i64 width) {
    constexpr int W = kLanes<V>;
    if constexpr (Shifted && Vecs > 1) {
        return (v == Vecs - 1 && width >= W) ? width - W : i64{W} * v;
    }
    return i64{W} * v;
}

// Rows of a panel of R: vector v of step s at data + s * ld + W v, the last one of a Shifted
// panel at last_column.
struct Panel {
    const f64* data;
    i64 ld;
    i64 last_column;
};

// Vector v of panel step s holds R(s0 + s, c0 + vector_column(v) + lane) for s < steps, zero in
// the lanes past width (a panel narrower than one vector). R(s, c) is R[s * ld + c], or
// R[c * ld + s] when Transposed. Whole vectors are built in registers and stored whole, since the
// kernel reads them back at once. A transposed panel goes in W x W tiles, W contiguous steps of
// W rows of R at a time, where it can.
template <class V, int Vecs, bool Transposed, bool Shifted>
VELM_INLINE Panel pack_panel(const f64* R, i64 ld, i64 s0, i64 steps, i64 c0, i64 width,
                             f64* __restrict buffer) {
    constexpr int W = kLanes<V>;
    constexpr i64 lanes = Vecs * W;
    const i64 s_stride = Transposed ? 1 : ld;
    const i64 c_stride = Transposed ? ld : 1;
    const f64* base = R + s0 * s_stride + c0 * c_stride;
    for (int v = 0; v < Vecs; ++v) {
        const i64 col0 = vector_column<V, Vecs, Shifted>(v, width);
        i64 s = 0;
        if (Transposed && width >= col0 + W) {
            for (; s + W <= steps; s += W) {
                V tile[W];
                for (int c = 0; c < W; ++c) load(tile[c], base + (col0 + c) * c_stride + s);
                transpose_tile<V>(tile);
                for (int t = 0; t < W; ++t) store(buffer + (s + t) * lanes + W * v, tile[t]);
            }
        }
        for (; s < steps; ++s) {
            V column_part = {};
            for (int c = 0; c < W; ++c) {
                if (col0 + c < width) column_part[c] = base[s * s_stride + (col0 + c) * c_stride];
            }
            store(buffer + s * lanes + W * v, column_part);
        }
    }
    return {buffer, lanes, lanes - W};
}

// acc = the Rows x width block at src (row stride ld), vector v at vector_column(v), zero-padded
// past a width under one vector; zeros when src is null.
template <class V, int Rows, int Vecs, bool Shifted>
VELM_INLINE void load_block(V (&acc)[Rows][Vecs], const f64* src, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    for (int r = 0; r < Rows; ++r) {
        for (int v = 0; v < Vecs; ++v) {
            const i64 column = vector_column<V, Vecs, Shifted>(v, width);
            const bool whole = Shifted ? width >= W : width >= W * (v + 1);
            if (src == nullptr) acc[r][v] = V{};
            else if (whole) load(acc[r][v], src + r * ld + column);
            else load_partial(acc[r][v], src + r * ld + column, width - column);
        }
    }
}

// The block's width columns of acc go to the block at dst (row stride ld); where the last vector
// overlaps the one before, both hold the same values.
template <class V, int Rows, int Vecs, bool Shifted>
VELM_INLINE void store_block(const V (&acc)[Rows][Vecs], f64* dst, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    for (int r = 0; r < Rows; ++r) {
        for (int v = 0; v < Vecs; ++v) {
            const i64 column = vector_column<V, Vecs, Shifted>(v, width);
            const bool whole = Shifted ? width >= W : width >= W * (v + 1);
            if (whole) store(dst + r * ld + column, acc[r][v]);
            else if (width > column) store_partial(dst + r * ld + column, acc[r][v], width - column);
        }
    }
}

// out block (Rows x width) = init block + L block (Rows x steps) panel, init null for zeros, or
// init - L panel when Minus. init may be out itself (a later slice adds onto the partial result).
template <class V, int Rows, int Vecs, bool Minus, bool Shifted>
VELM_INLINE void block_kernel(const f64* a, i64 a_row, i64 a_step, Panel panel, i64 steps,
                              const f64* init, f64* out, i64 ld, i64 width) {
    constexpr int W = kLanes<V>;
    V acc[Rows][Vecs];
    load_block<V, Rows, Vecs, Shifted>(acc, init, ld, width);
    for (i64 s = 0; s < steps; ++s) {
        V panel_row[Vecs];
        for (int v = 0; v < Vecs; ++v) {
            const i64 column =
                Shifted && Vecs > 1 && v == Vecs - 1 ? panel.last_column : i64{W} * v;
            load(panel_row[v], panel.data + s * panel.ld + column);
        }
        // acc += L(:, s) panel(s, :) (acc -= when Minus), one broadcast of L per row
        for (int r = 0; r < Rows; ++r) {
            const f64 a_rs = a[r * a_row + s * a_step];
            for (int v = 0; v < Vecs; ++v) {
                if constexpr (Minus) acc[r][v] -= a_rs * panel_row[v];
                else acc[r][v] += a_rs * panel_row[v];
            }
        }
    }
    store_block<V, Rows, Vecs, Shifted>(acc, out, ld, width);
}

// The last rest < rows_for<Vecs>() rows of a panel as one block of exactly that height.
template <class V, int Vecs, bool Minus, bool Shifted,
          int Rows = ProductBlock<V>::template rows_for<Vecs>() - 1>
VELM_INLINE void last_block(i64 rest, const f64* a, i64 a_row, i64 a_step, Panel panel,
                            i64 steps, const f64* init, f64* out, i64 ld, i64 width) {
    if constexpr (Rows > 0) {
        if (rest == Rows) {
            block_kernel<V, Rows, Vecs, Minus, Shifted>(a, a_row, a_step, panel, steps, init,
                                                        out, ld, width);
        } else {
            last_block<V, Vecs, Minus, Shifted, Rows - 1>(rest, a, a_row, a_step, panel, steps,
                                                          init, out, ld, width);
        }
    }
}

// Rows r_begin .. rows-1 of one panel: blocks of ProductBlock<V>::kRows, then one smaller block
// for the rest.
template <class V, int Vecs, bool Minus, bool Shifted>
VELM_INLINE void sweep_panel(const LeftOperand& L, i64 r_begin, i64 rows, Panel panel, i64 steps,
                             const f64* init, f64* out, i64 ld, i64 width) {
    constexpr int kRows = ProductBlock<V>::template rows_for<Vecs>();
    const i64 a_row = L.row_stride, a_step = L.step_stride;
    i64 r0 = r_begin;
    for (; r0 + kRows <= rows; r0 += kRows) {
        block_kernel<V, kRows, Vecs, Minus, Shifted>(L.data + r0 * a_row, a_row, a_step, panel,
                                                     steps, init ? init + r0 * ld : nullptr,
                                                     out + r0 * ld, ld, width);
    }
    last_block<V, Vecs, Minus, Shifted>(rows - r0, L.data + r0 * a_row, a_row, a_step, panel,
                                        steps, init ? init + r0 * ld : nullptr, out + r0 * ld,
                                        ld, width);
}

// One panel Vecs vectors wide (width columns of it in use) and one slice of the sum; read in
// place when R is not transposed and the panel's vectors are whole ones of R (with Shifted, any
// panel at least one vector wide).
template <class V, int Vecs, bool Transposed, bool Minus, bool Shifted>
VELM_INLINE void panel_slice(const LeftOperand& L, const f64* R, i64 ld, i64 r_begin, i64 rows,
                             i64 s0, i64 steps, i64 c0, i64 width, const f64* init, f64* out,
                             i64 out_ld, f64* __restrict buffer) {
    constexpr int W = kLanes<V>;
    const bool in_place = !Transposed && (Shifted ? width >= W : width == Vecs * W);
    const Panel panel =
        in_place ? Panel{R + s0 * ld + c0, ld, vector_column<V, Vecs, Shifted>(Vecs - 1, width)}
                 : pack_panel<V, Vecs, Transposed, Shifted>(R, ld, s0, steps, c0, width, buffer);
    const LeftOperand L_slice = {L.data + s0 * L.step_stride, L.row_stride, L.step_stride};
    sweep_panel<V, Vecs, Minus, Shifted>(L_slice, r_begin, rows, panel, steps, init, out, out_ld,
                                         width);
}

// A panel of vecs <= Vecs vectors: the narrowest kernel that covers its width.
template <class V, int Vecs, bool Transposed, bool Minus, bool Shifted>
VELM_INLINE void covering_panel_slice(i64 vecs, const LeftOperand& L, const f64* R, i64 ld,
                                      i64 r_begin, i64 rows, i64 s0, i64 steps, i64 c0, i64 width,
                                      const f64* init, f64* out, i64 out_ld,
                                      f64* __restrict buffer) {
    if constexpr (Vecs > 1) {
        if (vecs < Vecs) {
            covering_panel_slice<V, Vecs - 1, Transposed, Minus, Shifted>(
                vecs, L, R, ld, r_begin, rows, s0, steps, c0, width, init, out, out_ld, buffer);
            return;
        }
    }
    panel_slice<V, Vecs, Transposed, Minus, Shifted>(L, R, ld, r_begin, rows, s0, steps, c0,
                                                     width, init, out, out_ld, buffer);
}

// out (rows x cols) = C + L R (C - L R when Minus) for rows, depth, cols > 0, C null for no
// addend. R(s, c) is R[s * ld + c], or R[c * ld + s] when Transposed (the B' of the abt forms).
// With lower, a panel skips the rows wholly above the diagonal: only the cells (r, c) with c <= r
// are sure to be written (for a symmetric result that is then mirrored). With Shifted, a ragged
// end narrower than one vector joins the panel before it (n = 10 in four lanes: one panel of
// three vectors, the last on columns 6 to 9, rather than 8 columns and a packed 2), so every
// panel is read and written in whole vectors.
template <class V, bool Transposed, bool Minus, bool Shifted>
VELM_INLINE void blocked_product(const LeftOperand& L, const f64* R, i64 ld, const f64* C,
                                 f64* out, i64 rows, i64 depth, i64 cols, bool lower) {
    constexpr int W = kLanes<V>;
    constexpr int kVecs = ProductBlock<V>::kVecs + (Shifted ? 1 : 0);
    constexpr i64 kColumns = ProductBlock<V>::kPanelColumns;
    alignas(64) f64 buffer[kPanelDepth * kVecs * W];
    for (i64 c0 = 0, width = 0; c0 < cols; c0 += width) {
        width = cols - c0 < kColumns ? cols - c0 : kColumns;
        if (Shifted && cols - c0 > kColumns && cols - c0 < kColumns + W) width = cols - c0;
        const i64 vecs = (width + W - 1) / W;
        const i64 r_begin = lower ? (c0 < rows ? c0 : rows) : 0;
        for (i64 s0 = 0; s0 < depth; s0 += kPanelDepth) {
            const i64 steps = depth - s0 < kPanelDepth ? depth - s0 : kPanelDepth;
            // a later slice of the sum adds onto the partial result already in out
            const f64* init = s0 > 0 ? out + c0 : (C ? C + c0 : nullptr);
            covering_panel_slice<V, kVecs, Transposed, Minus, Shifted>(
                vecs, L, R, ld, r_begin, rows, s0, steps, c0, width, init, out + c0, cols,
                buffer);
        }
    }
}

// The ragged end of a matrix-vector product's rows, the last m mod W columns: where a row has at
// least W columns, the whole vector that ends it with the lanes already summed cleared (in x's
// tail and in each row's), else a zero-padded partial vector.
template <class V>
struct RowTail {
    i64 start;                       // first column of the tail's vector
    typename LaneMask<V>::type keep;  // its lanes not yet summed
    V x;                             // x's tail vector, cleared lanes zero
    bool whole;                      // read as a whole vector (m >= W)
    i64 count;                       // columns of a partial tail (m < W)

    VELM_INLINE RowTail(const f64* x_in, i64 m) {
        constexpr int W = kLanes<V>;
        const i64 m_whole = m - m % W;
        whole = m >= W;
        count = m - m_whole;
        start = whole ? m - W : m_whole;
        lanes_from<V>(keep, m_whole - start);
        if (whole) {
            load(x, x_in + start);
            keep_lanes(x, keep);
        } else {
            load_partial(x, x_in + start, count);
        }
    }

    // row's tail vector, matching x: of a whole tail, and of a partial one
    VELM_INLINE void load_whole_row(V& a, const f64* row) const {
        load(a, row + start);
        keep_lanes(a, keep);
    }
    VELM_INLINE void load_partial_row(V& a, const f64* row) const {
        load_partial(a, row + start, count);
    }
};

// acc[r] = A(r0 + r, :) x lane-wise, for Rows rows that share each load of x.
template <class V, int Rows>
VELM_INLINE void matvec_rows(const f64* A_r0, const f64* x, const RowTail<V>& tail, i64 m,
                             V (&acc)[Rows]) {
    constexpr int W = kLanes<V>;
    const i64 m_whole = m - m % W;
    for (int r = 0; r < Rows; ++r) acc[r] = V{};
    for (i64 k = 0; k < m_whole; k += W) {
        V x_k;
        load(x_k, x + k);
        for (int r = 0; r < Rows; ++r) {
            V a_rk;
            load(a_rk, A_r0 + r * m + k);
            acc[r] += a_rk * x_k;
        }
    }
    // the two kinds of tail in loops of their own, which the compiler unrolls and so keeps acc in
    // registers (one loop that branches on the kind kept acc in memory with eight lanes)
    if (m_whole < m && tail.whole) {
        for (int r = 0; r < Rows; ++r) {
            V a_tail;
            tail.load_whole_row(a_tail, A_r0 + r * m);
            acc[r] += a_tail * tail.x;
        }
    } else if (m_whole < m) {
        for (int r = 0; r < Rows; ++r) {
            V a_tail;
            tail.load_partial_row(a_tail, A_r0 + r * m);
            acc[r] += a_tail * tail.x;
        }
    }
}

// out(i) = b(i) + A(i,:) x (b null for none). W rows at a time share each load of x, and their
// W lane sums are taken at once (row_sums) and stored whole; four rows at a time and then single
// rows for the rest.
template <class V>
VELM_INLINE void blocked_matvec(const f64* A, const f64* x, const f64* b, f64* out, i64 n,
                                i64 m) {
    constexpr int W = kLanes<V>;
    const RowTail<V> tail(x, m);
    i64 i = 0;
    for (; i + W <= n; i += W) {
        V acc[W];
        matvec_rows<V, W>(A + i * m, x, tail, m, acc);
        V sums;
        row_sums<V>(sums, acc);
        if (b) {
            V b_i;
            load(b_i, b + i);
            sums = b_i + sums;
        }
        store(out + i, sums);
    }
    if constexpr (W > 4) {
        for (; i + 4 <= n; i += 4) {
            V acc[4];
            matvec_rows<V, 4>(A + i * m, x, tail, m, acc);
            for (int r = 0; r < 4; ++r) {
                const f64 sum = lane_sum(acc[r]);
                out[i + r] = b ? b[i + r] + sum : sum;
            }
        }
    }
    for (; i < n; ++i) {
        const f64 sum = vec_dot<V>(A + i * m, x, m);
        out[i] = b ? b[i] + sum : sum;
    }
}

// out = A' x (A n x p): the rows of A weighted by x and summed, up to four vectors of out at a
// time held in registers while the rows stream by. Where p is ragged but at least one vector, the
// last vector is shifted left onto the last W columns: its overlapping lanes sum the same terms
// in the same order as the vector before, so both store the same values.
template <class V>
VELM_INLINE void blocked_matvec_t(const f64* A, const f64* x, f64* out, i64 n, i64 p) {
    constexpr int W = kLanes<V>;
    constexpr int kGroup = 4;  // vectors of out in flight
    if (p < W) {
        V acc = {};
        for (i64 i = 0; i < n; ++i) {
            V a;
            load_partial(a, A + i * p, p);
            acc += x[i] * a;
        }
        store_partial(out, acc, p);
        return;
    }
    const i64 vectors = (p + W - 1) / W;
    for (i64 v0 = 0; v0 < vectors; v0 += kGroup) {
        const int group = vectors - v0 < kGroup ? static_cast<int>(vectors - v0) : kGroup;
        i64 column[kGroup];
        for (int g = 0; g < kGroup; ++g) {
            const i64 start = (v0 + g) * W;
            column[g] = start + W <= p ? start : p - W;
        }
        V acc[kGroup] = {};
        for (i64 i = 0; i < n; ++i) {
            const f64* A_i = A + i * p;
            const f64 x_i = x[i];
            for (int g = 0; g < kGroup; ++g) {
                if (g < group) {
                    V a;
                    load(a, A_i + column[g]);
                    acc[g] += x_i * a;
                }
            }
        }
        for (int g = 0; g < kGroup; ++g) {
            if (g < group) store(out + column[g], acc[g]);
        }
    }
}

// ---- symmetrisation ---------------------------------------------------------------------------

// Visits every mirrored pair (i, j), j > i, of an n x n matrix, with n_whole = n - n mod W:
// the off-diagonal tiles of the leading n_whole x n_whole block as whole vector tiles
// (tile(i0, j0)) and its diagonal tiles in registers too (diagonal(d0)); of the ragged last
// columns, those of the block rows at least one tile off the diagonal as one tile shifted left
// onto the last W columns (tile(i0, n - W)), which visits some pairs a second time, so the
// operations must leave a visited pair as it is; the rest one by one (pair(i, j)).
template <class V, class TileOp, class DiagonalOp, class PairOp>
VELM_INLINE void for_each_mirrored_pair(i64 n, TileOp tile, DiagonalOp diagonal, PairOp pair) {
    constexpr int W = kLanes<V>;
    const i64 n_whole = n - n % W;
    for (i64 i0 = 0; i0 < n_whole; i0 += W) {
        diagonal(i0);
        for (i64 j0 = i0 + W; j0 < n_whole; j0 += W) tile(i0, j0);
    }
    if (n_whole == n) return;
    for (i64 i0 = 0; i0 < n_whole; i0 += W) {
        if (n - W >= i0 + W) {
            tile(i0, n - W);
            continue;
        }
        for (i64 i = i0; i < i0 + W; ++i) {
            for (i64 j = n_whole; j < n; ++j) pair(i, j);
        }
    }
    for (i64 i = n_whole; i < n; ++i) {
        for (i64 j = i + 1; j < n; ++j) pair(i, j);
    }
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

// rows = the rows of the diagonal W x W tile of P at (d0, d0), columns = its columns.
template <class V>
VELM_INLINE void load_diagonal_tile(const f64* P, i64 n, i64 d0, V (&rows)[kLanes<V>],
                                    V (&columns)[kLanes<V>]) {
    constexpr int W = kLanes<V>;
    for (int r = 0; r < W; ++r) load(rows[r], P + (d0 + r) * n + d0);
    for (int r = 0; r < W; ++r) columns[r] = rows[r];
    transpose_tile<V>(columns);
}

// The pairs within the diagonal W x W tile at (d0, d0) replaced by their mean, the diagonal kept:
// the tile and its transpose in registers, whole rows written back.
template <class V>
VELM_INLINE void sym_diagonal_tile(f64* P, i64 n, i64 d0) {
    constexpr int W = kLanes<V>;
    V rows[W], columns[W];
    load_diagonal_tile<V>(P, n, d0, rows, columns);
    for (int r = 0; r < W; ++r) {
        const V mean = (rows[r] + columns[r]) * 0.5;
        typename LaneMask<V>::type from_r, after_r;
        lanes_from<V>(from_r, r);
        lanes_from<V>(after_r, r + 1);
        select_lanes<V>(rows[r], from_r & ~after_r, rows[r], mean);
    }
    for (int r = 0; r < W; ++r) store(P + (d0 + r) * n + d0, rows[r]);
}

// Each mirrored pair replaced by its mean, whole tiles in registers.
template <class V>
VELM_INLINE void blocked_sym(f64* P, i64 n) {
    for_each_mirrored_pair<V>(
        n, [=](i64 i0, i64 j0) VELM_LAMBDA_INLINE { sym_tile_pair<V>(P, n, i0, j0); },
        [=](i64 d0) VELM_LAMBDA_INLINE { sym_diagonal_tile<V>(P, n, d0); },
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

// Within the diagonal W x W tile at (d0, d0), the cells above the diagonal from those below:
// the tile transposed in registers, each row blended and written back whole.
template <class V>
VELM_INLINE void mirror_diagonal_tile(f64* P, i64 n, i64 d0) {
    constexpr int W = kLanes<V>;
    V rows[W], columns[W];
    load_diagonal_tile<V>(P, n, d0, rows, columns);
    for (int r = 0; r < W; ++r) {
        typename LaneMask<V>::type above;
        lanes_from<V>(above, r + 1);
        select_lanes<V>(rows[r], above, columns[r], rows[r]);
        store(P + (d0 + r) * n + d0, rows[r]);
    }
}

// P(i, j) = P(j, i) for j > i: the strict lower triangle copied onto the upper one, whole tiles
// in registers.
template <class V>
VELM_INLINE void blocked_mirror_lower(f64* P, i64 n) {
    for_each_mirrored_pair<V>(
        n, [=](i64 i0, i64 j0) VELM_LAMBDA_INLINE { mirror_tile<V>(P, n, i0, j0); },
        [=](i64 d0) VELM_LAMBDA_INLINE { mirror_diagonal_tile<V>(P, n, d0); },
        [=](i64 i, i64 j) VELM_LAMBDA_INLINE { P[i * n + j] = P[j * n + i]; });
}

// ---- triangular solves for many right-hand sides ----------------------------------------------
// Each row b of B gives the row z = b (L L')^-1 of out, that is (L L') z' = b' (L L' symmetric).
// The rows go W at a time, held transposed in a stack tile (tile[j] = column j of the W rows), so
// that every step of the two substitutions is one vector multiply-add for W rows at once; up to
// four tiles (of kSolveTileOrder x W doubles: 8 KiB of stack at eight lanes) are solved side by
// side. Both
// substitutions are column-oriented, as in velm_forward_subst: the chain from one unknown to the
// next is one multiply-add and one multiply by the reciprocal pivot.

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
    for (; rows - r0 > 3 * W; r0 += 4 * W) {
        solve_row_tiles<V, 4>(L, inv_diag, B, out, r0, rows - r0, m);
    }
    // the rest in as few tiles as cover it
    const i64 rest = rows - r0;
    if (rest > 2 * W) solve_row_tiles<V, 3>(L, inv_diag, B, out, r0, rest, m);
    else if (rest > W) solve_row_tiles<V, 2>(L, inv_diag, B, out, r0, rest, m);
    else if (rest > 0) solve_row_tiles<V, 1>(L, inv_diag, B, out, r0, rest, m);
}

// ---- scaled changes -------------------------------------------------------------------------

// change = |b - a| row_scale col_scale lane-wise, 0 where b == a; nan_seen marks NaN lanes.
template <class V>
VELM_INLINE void fold_scaled_change(const V& a, const V& b, const V& row_scale,
                                    const V& col_scale, V& largest,
                                    typename LaneMask<V>::type& nan_seen) {
    const V difference = b - a;
    const V magnitude = difference < V{} ? -difference : difference;
    V change = magnitude * row_scale * col_scale;
    const typename LaneMask<V>::type moved = difference != V{};
    keep_lanes(change, moved);
    nan_seen |= change != change;
    largest = change > largest ? change : largest;
}

// velm_max_scaled_change: every row in whole vectors, its ragged end zero-padded (a padded lane
// repeats exactly, so it adds nothing).
template <class V>
VELM_INLINE f64 blocked_max_scaled_change(const f64* A, const f64* B, const f64* scale, i64 n) {
    constexpr int W = kLanes<V>;
    const i64 n_whole = n - n % W;
    V largest = {};
    typename LaneMask<V>::type nan_seen = {};
    for (i64 i = 0; i < n; ++i) {
        V row_scale = V{} + scale[i];
        const f64* A_i = A + i * n;
        const f64* B_i = B + i * n;
        i64 j = 0;
        for (; j < n_whole; j += W) {
            V a, b, col_scale;
            load(a, A_i + j);
            load(b, B_i + j);
            load(col_scale, scale + j);
            fold_scaled_change(a, b, row_scale, col_scale, largest, nan_seen);
        }
        if (j < n) {
            V a, b, col_scale;
            load_partial(a, A_i + j, n - j);
            load_partial(b, B_i + j, n - j);
            load_partial(col_scale, scale + j, n - j);
            fold_scaled_change(a, b, row_scale, col_scale, largest, nan_seen);
        }
    }
    f64 result = 0.0;
    for (int c = 0; c < W; ++c) {
        if (nan_seen[c]) return std::numeric_limits<f64>::quiet_NaN();
        result = largest[c] > result ? largest[c] : result;
    }
    return result;
}

// ---- the kernel table -------------------------------------------------------------------------
// A kernel is a struct with `template <class V> static ... run(args)`. An ISA is a struct with
// `template <class Kernel, class R, class... Args> static R run(Args...)` that runs
// Kernel::run<V> with its vector type V, compiled for its target; make_table<Isa>() takes the
// address of one instance per kernel, its arguments deduced from the entry it fills.

// With UnitSteps, L is read along its rows (its step stride is 1), which the kernel then knows
// at compile time.
template <bool Transposed, bool Minus, bool UnitSteps, bool Shifted = false>
struct BlockedProductKernel {
    template <class V>
    static VELM_INLINE void run(LeftOperand L, const f64* R, i64 ld, const f64* C, f64* out,
                                i64 rows, i64 depth, i64 cols, bool lower) {
        if constexpr (UnitSteps) L.step_stride = 1;
        blocked_product<V, Transposed, Minus, Shifted>(L, R, ld, C, out, rows, depth, cols,
                                                       lower);
    }
};

struct MatvecKernel {
    template <class V>
    static VELM_INLINE void run(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
        blocked_matvec<V>(A, x, b, out, n, m);
    }
};

struct MatvecTransposedKernel {
    template <class V>
    static VELM_INLINE void run(const f64* A, const f64* x, f64* out, i64 n, i64 p) {
        blocked_matvec_t<V>(A, x, out, n, p);
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

struct MaxScaledChangeKernel {
    template <class V>
    static VELM_INLINE f64 run(const f64* A, const f64* B, const f64* scale, i64 n) {
        return blocked_max_scaled_change<V>(A, B, scale, n);
    }
};

template <class Isa>
constexpr KernelTable make_table() {
    KernelTable table = {};
    table.product[0][0] = &Isa::template run<BlockedProductKernel<false, false, true>>;
    table.product[0][1] = &Isa::template run<BlockedProductKernel<false, true, true>>;
    table.product[1][0] = &Isa::template run<BlockedProductKernel<true, false, true>>;
    table.product[1][1] = &Isa::template run<BlockedProductKernel<true, true, true>>;
    table.product_shifted[0][0] = &Isa::template run<BlockedProductKernel<false, false, true, true>>;
    table.product_shifted[0][1] = &Isa::template run<BlockedProductKernel<false, true, true, true>>;
    table.product_shifted[1][0] = &Isa::template run<BlockedProductKernel<true, false, true, true>>;
    table.product_shifted[1][1] = &Isa::template run<BlockedProductKernel<true, true, true, true>>;
    table.product_strided = &Isa::template run<BlockedProductKernel<false, false, false>>;
    table.lanes = kLanes<typename Isa::Vector>;
    table.panel_columns = ProductBlock<typename Isa::Vector>::kPanelColumns;
    static_assert((kLanes<typename Isa::Vector> & (kLanes<typename Isa::Vector> - 1)) == 0 &&
                      (ProductBlock<typename Isa::Vector>::kPanelColumns &
                       (ProductBlock<typename Isa::Vector>::kPanelColumns - 1)) == 0,
                  "lanes and panel widths are powers of two");
    table.matvec = &Isa::template run<MatvecKernel>;
    table.matvec_t = &Isa::template run<MatvecTransposedKernel>;
    table.sym = &Isa::template run<SymKernel>;
    table.mirror_lower = &Isa::template run<MirrorKernel>;
    table.chol_solve_rows = &Isa::template run<CholSolveRowsKernel>;
    table.dot = &Isa::template run<DotKernel>;
    table.max_scaled_change = &Isa::template run<MaxScaledChangeKernel>;
    return table;
}

}  // namespace velm_micro

#endif
