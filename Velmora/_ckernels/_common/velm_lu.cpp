// Real LU with partial pivoting: the f64 element family of velm_lu_template.h.
#include <cmath>

#include "velm_linalg.h"
#include "velm_lu_template.h"
#include "velm_rows.h"

namespace {

struct RealLu {
    typedef f64 T;
    typedef f64_lu Record;

    static f64 magnitude(f64 a) { return std::fabs(a); }
    static bool larger(f64, f64 magnitude_a, f64, f64 magnitude_b) {
        return magnitude_a > magnitude_b;
    }

    // x / pivot as x times the reciprocal, one division per pivot, where the reciprocal is
    // finite; a subnormal pivot, whose reciprocal overflows, divides (as LAPACK's dgetf2 does)
    struct Divider {
        f64 pivot, inverse;
        bool by_inverse;
        explicit Divider(f64 p) : pivot(p), inverse(1.0 / p), by_inverse(std::isfinite(1.0 / p)) {}
        f64 operator()(f64 x) const { return by_inverse ? x * inverse : x / pivot; }
    };

    // The rows below k are updated with the reciprocal of the pivot: one division per column.
    static void eliminate_below(f64* A, i64 n, i64 k) {
        const f64* A_k = A + k * n;
        const Divider by_Akk(A_k[k]);
        for (i64 i = k + 1; i < n; ++i) {
            f64* A_i = A + i * n;
            // A(i,k+1:) -= L(i,k) * A(k,k+1:), with L(i,k) stored in place of A(i,k)
            const f64 Lik = by_Akk(A_i[k]);
            A_i[k] = Lik;
            velm_rows::row_axpy(A_i + k + 1, -Lik, A_k + k + 1, n - k - 1);
        }
    }

    static void subtract_row_multiple(f64* y, f64 coef, const f64* x, i64 m) {
        velm_rows::row_axpy(y, -coef, x, m);
    }

    static void divide_row(f64* __restrict y, f64 pivot, i64 m) {
        const Divider by_pivot(pivot);
        if (by_pivot.by_inverse) {
            for (i64 k = 0; k < m; ++k) y[k] *= by_pivot.inverse;
        } else {
            for (i64 k = 0; k < m; ++k) y[k] /= pivot;
        }
    }

    static f64 one() { return 1.0; }
};

}  // namespace

i64 velm_lu_factor_inplace(f64* A, i64* pivot, const i64 n) {
    return velm_lu::factor_inplace<RealLu>(A, pivot, n);
}

f64_lu velm_lu_factor(const f64* A, const i64 n) { return velm_lu::factor<RealLu>(A, n); }

void velm_lu_free(f64_lu* lu) { velm_lu::release(lu); }

void velm_lu_solve(const f64* LU, const i64* piv, const f64* B, f64* X, const i64 n, const i64 m) {
    velm_lu::solve_factored<RealLu>(LU, piv, B, X, n, m);
}

i64 velm_solve(const f64* A, const f64* B, const i64 n, const i64 m, f64* X) {
    return velm_lu::solve<RealLu>(A, B, n, m, X);
}

i64 velm_inv(const f64* A, const i64 n, f64* Ainv) { return velm_lu::inverse<RealLu>(A, n, Ainv); }
