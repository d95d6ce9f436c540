// Complex matrix product and LU factorisation with partial pivoting, solve and inverse.
#include "velm_complex.h"

#include <cmath>

#include "velm_lu_template.h"

namespace {

// The c128 element family of velm_lu_template.h: true complex division by the pivot (Smith's
// algorithm), never a reciprocal, which could overflow.
struct ComplexLu {
    typedef c128 T;
    typedef c128_lu Record;

    // The squared modulus: it ranks the candidates as the modulus would, up to where it
    // overflows (a modulus above about 1.3e154); two that overflowed are ranked by the modulus
    // itself, rather than left tied, which kept the upper row however small its entry.
    static f64 magnitude(c128 a) { return c128_abs2(a); }
    static bool larger(c128 a, f64 magnitude_a, c128 b, f64 magnitude_b) {
        if (magnitude_a == HUGE_VAL && magnitude_b == HUGE_VAL) {
            return std::hypot(a.re, a.im) > std::hypot(b.re, b.im);
        }
        return magnitude_a > magnitude_b;
    }

    static void eliminate_below(c128* A, i64 n, i64 k) {
        const c128* __restrict row_k = A + k * n;
        const c128 Akk = row_k[k];
        for (i64 i = k + 1; i < n; ++i) {
            c128* __restrict row_i = A + i * n;
            const c128 Lik = c128_div(row_i[k], Akk);
            row_i[k] = Lik;
            for (i64 j = k + 1; j < n; ++j) row_i[j] = c128_sub(row_i[j], c128_mul(Lik, row_k[j]));
        }
    }

    static void subtract_row_multiple(c128* __restrict y, c128 coef, const c128* __restrict x,
                                      i64 m) {
        for (i64 j = 0; j < m; ++j) y[j] = c128_sub(y[j], c128_mul(coef, x[j]));
    }

    static void divide_row(c128* __restrict y, c128 pivot, i64 m) {
        for (i64 j = 0; j < m; ++j) y[j] = c128_div(y[j], pivot);
    }

    static c128 one() { return c128_make(1.0, 0.0); }
};

}  // namespace

void c128_matmul(const c128* A, const c128* B, const i64 m, const i64 n, const i64 p, c128* out) {
    if (m <= 0 || p <= 0) return;
    // out(i,:) = sum_k A(i,k) * B(k,:), accumulated row by row so the inner loop is contiguous.
    for (i64 i = 0; i < m; ++i) {
        c128* __restrict out_i = out + i * p;
        for (i64 j = 0; j < p; ++j) out_i[j] = c128_make(0.0, 0.0);
        for (i64 k = 0; k < n; ++k) {
            const c128 Aik = A[i * n + k];
            const c128* __restrict B_k = B + k * p;
            for (i64 j = 0; j < p; ++j) out_i[j] = c128_add(out_i[j], c128_mul(Aik, B_k[j]));
        }
    }
}

i64 c128_lu_factor_inplace(c128* A, i64* pivot, const i64 n) {
    return velm_lu::factor_inplace<ComplexLu>(A, pivot, n);
}

c128_lu c128_lu_factor(const c128* A, const i64 n) { return velm_lu::factor<ComplexLu>(A, n); }

void c128_lu_free(c128_lu* lu) { velm_lu::release(lu); }

void c128_lu_solve(const c128* LU, const i64* piv, const c128* B, c128* X, const i64 n,
                   const i64 m) {
    velm_lu::solve_factored<ComplexLu>(LU, piv, B, X, n, m);
}

i64 c128_solve(const c128* A, const c128* B, const i64 n, const i64 m, c128* X) {
    return velm_lu::solve<ComplexLu>(A, B, n, m, X);
}

i64 c128_inv(const c128* A, const i64 n, c128* Ainv) {
    return velm_lu::inverse<ComplexLu>(A, n, Ainv);
}
