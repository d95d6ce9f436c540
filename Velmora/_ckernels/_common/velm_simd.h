// The vector engine of the dense kernels: vectors of doubles, their loads, stores and shuffles.
// Internal: included by the per-ISA kernel sources, never by the algorithms.
#ifndef VELM_SIMD_H
#define VELM_SIMD_H

#include "velm_common.h"

// Helpers of the vector kernels: inlined, they are compiled for the ISA of their caller.
#define VELM_INLINE inline __attribute__((always_inline))
// A lambda is not compiled for its caller's target unless it is inlined into it.
#define VELM_LAMBDA_INLINE __attribute__((always_inline))

// The kernels are templates over a vector type V of kLanes<V> doubles: two lanes (SSE2, NEON,
// any baseline), four (AVX2) or eight (AVX-512F). Vectors are passed by reference: a 32- or
// 64-byte vector by value changes the calling convention of functions compiled without AVX
// (-Wpsabi).
namespace __attribute__((visibility("hidden"))) velm_simd {

typedef f64 f64x2 __attribute__((vector_size(16)));
typedef f64 f64x4 __attribute__((vector_size(32)));
typedef f64 f64x8 __attribute__((vector_size(64)));

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
template <>
struct InMemory<f64x8> {
    typedef f64 type __attribute__((vector_size(64), aligned(8), may_alias));
};

// Integer vectors of V's width, the lane masks of keep_lanes.
template <class V>
struct LaneMask;
template <>
struct LaneMask<f64x2> {
    typedef long long type __attribute__((vector_size(16)));
};
template <>
struct LaneMask<f64x4> {
    typedef long long type __attribute__((vector_size(32)));
};
template <>
struct LaneMask<f64x8> {
    typedef long long type __attribute__((vector_size(64)));
};

// mask = all ones in the lanes c >= first, zeros below.
template <class V>
VELM_INLINE void lanes_from(typename LaneMask<V>::type& mask, i64 first) {
    for (int c = 0; c < kLanes<V>; ++c) mask[c] = c >= first ? -1 : 0;
}

// The lanes of v outside mask cleared to +0: a bitwise select, so that an infinity or NaN in a
// cleared lane leaves nothing behind.
template <class V>
VELM_INLINE void keep_lanes(V& v, const typename LaneMask<V>::type& mask) {
    v = reinterpret_cast<V>(reinterpret_cast<typename LaneMask<V>::type>(v) & mask);
}

// out lane c = a's where mask is set, b's elsewhere (a bitwise select).
template <class V>
VELM_INLINE void select_lanes(V& out, const typename LaneMask<V>::type& mask, const V& a,
                              const V& b) {
    typedef typename LaneMask<V>::type Mask;
    out = reinterpret_cast<V>((reinterpret_cast<Mask>(a) & mask) |
                              (reinterpret_cast<Mask>(b) & ~mask));
}

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

// Eight lanes are folded in halves by shuffles: read lane by lane, GCC stores the 512-bit
// register and loads its lanes back, a store-forwarding stall that made a dot of 16 terms six
// times slower than one of 15. Fewer lanes read one by one compile to register extracts.
template <class V>
VELM_INLINE f64 lane_sum(const V& v) {
    if constexpr (kLanes<V> == 8) {
        V half, quarter, eighth;
        shuffle<4, 5, 6, 7, 0, 1, 2, 3>(half, v, v);
        half += v;
        shuffle<2, 3, 0, 1, 2, 3, 0, 1>(quarter, half, half);
        quarter += half;
        shuffle<1, 0, 1, 0, 1, 0, 1, 0>(eighth, quarter, quarter);
        eighth += quarter;
        return eighth[0];
    }
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

// rows[c] = column c of the W x W tile held in rows: an in-register transpose, by unpacking
// pairs of rows and then exchanging ever wider blocks: 128-bit halves for four lanes, 128-bit
// quarters and then 256-bit halves for eight.
template <class V>
VELM_INLINE void transpose_tile(V (&rows)[kLanes<V>]) {
    if constexpr (kLanes<V> == 2) {
        const V r0 = rows[0], r1 = rows[1];
        shuffle<0, 2>(rows[0], r0, r1);
        shuffle<1, 3>(rows[1], r0, r1);
    } else if constexpr (kLanes<V> == 4) {
        V t0, t1, t2, t3;
        shuffle<0, 4, 2, 6>(t0, rows[0], rows[1]);
        shuffle<1, 5, 3, 7>(t1, rows[0], rows[1]);
        shuffle<0, 4, 2, 6>(t2, rows[2], rows[3]);
        shuffle<1, 5, 3, 7>(t3, rows[2], rows[3]);
        shuffle<0, 1, 4, 5>(rows[0], t0, t2);
        shuffle<0, 1, 4, 5>(rows[1], t1, t3);
        shuffle<2, 3, 6, 7>(rows[2], t0, t2);
        shuffle<2, 3, 6, 7>(rows[3], t1, t3);
    } else {
        static_assert(kLanes<V> == 8, "tiles of two, four or eight lanes");
        // t[2p] = even columns of rows 2p, 2p+1 interleaved; t[2p+1] = the odd ones
        V t[8], u[8];
        for (int p = 0; p < 4; ++p) {
            shuffle<0, 8, 2, 10, 4, 12, 6, 14>(t[2 * p], rows[2 * p], rows[2 * p + 1]);
            shuffle<1, 9, 3, 11, 5, 13, 7, 15>(t[2 * p + 1], rows[2 * p], rows[2 * p + 1]);
        }
        // u[4h + c] = columns c and c + 4 of rows 4h .. 4h+3, for c < 4
        for (int h = 0; h < 2; ++h) {
            const V* th = t + 4 * h;
            shuffle<0, 1, 8, 9, 4, 5, 12, 13>(u[4 * h + 0], th[0], th[2]);
            shuffle<0, 1, 8, 9, 4, 5, 12, 13>(u[4 * h + 1], th[1], th[3]);
            shuffle<2, 3, 10, 11, 6, 7, 14, 15>(u[4 * h + 2], th[0], th[2]);
            shuffle<2, 3, 10, 11, 6, 7, 14, 15>(u[4 * h + 3], th[1], th[3]);
        }
        for (int c = 0; c < 4; ++c) {
            shuffle<0, 1, 2, 3, 8, 9, 10, 11>(rows[c], u[c], u[4 + c]);
            shuffle<4, 5, 6, 7, 12, 13, 14, 15>(rows[c + 4], u[c], u[4 + c]);
        }
    }
}

// Lane c of out = the sum of the lanes of rows[c]: a transpose fused with the adds, each
// stage adding pairs of vectors after one shuffle of each (2W - 2 shuffles in all, against the
// 3W of transpose_tile followed by W - 1 adds).
template <class V>
VELM_INLINE void row_sums(V& out, const V (&rows)[kLanes<V>]) {
    if constexpr (kLanes<V> == 2) {
        V even, odd;
        shuffle<0, 2>(even, rows[0], rows[1]);
        shuffle<1, 3>(odd, rows[0], rows[1]);
        out = even + odd;
    } else if constexpr (kLanes<V> == 4) {
        // pair[p] = (r 2p, r 2p+1) partial sums interleaved, two of each
        V pair[2];
        for (int p = 0; p < 2; ++p) {
            V even, odd;
            shuffle<0, 4, 2, 6>(even, rows[2 * p], rows[2 * p + 1]);
            shuffle<1, 5, 3, 7>(odd, rows[2 * p], rows[2 * p + 1]);
            pair[p] = even + odd;
        }
        V low, high;
        shuffle<0, 1, 4, 5>(low, pair[0], pair[1]);
        shuffle<2, 3, 6, 7>(high, pair[0], pair[1]);
        out = low + high;
    } else {
        static_assert(kLanes<V> == 8, "two, four or eight lanes");
        // pair[p]: rows 2p and 2p+1 interleaved, four partial sums of each
        V pair[4];
        for (int p = 0; p < 4; ++p) {
            V even, odd;
            shuffle<0, 8, 2, 10, 4, 12, 6, 14>(even, rows[2 * p], rows[2 * p + 1]);
            shuffle<1, 9, 3, 11, 5, 13, 7, 15>(odd, rows[2 * p], rows[2 * p + 1]);
            pair[p] = even + odd;
        }
        // quad[h]: rows 4h .. 4h+3 in order, twice (two partial sums of each)
        V quad[2];
        for (int h = 0; h < 2; ++h) {
            V first, second;
            shuffle<0, 1, 8, 9, 4, 5, 12, 13>(first, pair[2 * h], pair[2 * h + 1]);
            shuffle<2, 3, 10, 11, 6, 7, 14, 15>(second, pair[2 * h], pair[2 * h + 1]);
            quad[h] = first + second;
        }
        V low, high;
        shuffle<0, 1, 2, 3, 8, 9, 10, 11>(low, quad[0], quad[1]);
        shuffle<4, 5, 6, 7, 12, 13, 14, 15>(high, quad[0], quad[1]);
        out = low + high;
    }
}

}  // namespace velm_simd

#endif
