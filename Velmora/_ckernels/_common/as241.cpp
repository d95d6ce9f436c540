// Inverse standard normal distribution function and inverse error function by AS 241 (PPND16).
#include "as241.h"

#include <cmath>

namespace {

// Coefficients of PPND16 from M. J. Wichura, "Algorithm AS 241: The percentage points of the
// normal distribution", Applied Statistics 37(3), 477-484 (1988). Entry i multiplies x^i; each
// denominator's constant term is 1. The paper's hash sums (sum of the mantissas of a region's
// coefficients, the 1s excluded: 55.8831928806149014439, 49.33206503301610289036,
// 47.52583317549289671629) check the transcription.

// Central region, |p - 0.5| <= 0.425: a0 ... a7.
constexpr f64 AS241_A[8] = {
    3.3871328727963666080e+0,
    1.3314166789178437745e+2,
    1.9715909503065514427e+3,
    1.3731693765509461125e+4,
    4.5921953931549871457e+4,
    6.7265770927008700853e+4,
    3.3430575583588128105e+4,
    2.5090809287301226727e+3,
};

// 1, b1 ... b7.
constexpr f64 AS241_B[8] = {
    1.0,
    4.2313330701600911252e+1,
    6.8718700749205790830e+2,
    5.3941960214247511077e+3,
    2.1213794301586595867e+4,
    3.9307895800092710610e+4,
    2.8729085735721942674e+4,
    5.2264952788528545610e+3,
};

// Intermediate tail, sqrt(-log r) <= 5: c0 ... c7.
constexpr f64 AS241_C[8] = {
    1.42343711074968357734e+0,
    4.63033784615654529590e+0,
    5.76949722146069140550e+0,
    3.64784832476320460504e+0,
    1.27045825245236838258e+0,
    2.41780725177450611770e-1,
    2.27238449892691845833e-2,
    7.74545014278341407640e-4,
};

// 1, d1 ... d7.
constexpr f64 AS241_D[8] = {
    1.0,
    2.05319162663775882187e+0,
    1.67638483018380384940e+0,
    6.89767334985100004550e-1,
    1.48103976427480074590e-1,
    1.51986665636164571966e-2,
    5.47593808499534494600e-4,
    1.05075007164441684324e-9,
};

// Far tail, sqrt(-log r) > 5: e0 ... e7.
constexpr f64 AS241_E[8] = {
    6.65790464350110377720e+0,
    5.46378491116411436990e+0,
    1.78482653991729133580e+0,
    2.96560571828504891230e-1,
    2.65321895265761230930e-2,
    1.24266094738807843860e-3,
    2.71155556874348757815e-5,
    2.01033439929228813265e-7,
};

// 1, f1 ... f7.
constexpr f64 AS241_F[8] = {
    1.0,
    5.99832206555887937690e-1,
    1.36929880922735805310e-1,
    1.48753612908506148525e-2,
    7.86869131145613259100e-4,
    1.84631831751005468180e-5,
    1.42151175831644588870e-7,
    2.04426310338993978564e-15,
};

constexpr f64 AS241_SPLIT1 = 0.425;
constexpr f64 AS241_SPLIT1_SQ = 0.180625;
constexpr f64 AS241_SPLIT2 = 5.0;
constexpr f64 AS241_CONST2 = 1.6;
constexpr f64 SQRT2 = 1.4142135623730951;

// c[0] + c[1] x + ... + c[7] x^7 by Horner's rule.
inline f64 as241_poly7(const f64* c, f64 x) {
    f64 y = c[7];
    for (int i = 6; i >= 0; --i) y = y * x + c[i];
    return y;
}

// Phi^-1(p) from q = p - 0.5 and the smaller tail mass tail = min(p, 1 - p), for p in (0, 1)
// or NaN. Taking both as arguments lets a caller that knows them more accurately than p itself
// (the inverse error function) pass them without first rounding p.
f64 as241_quantile(f64 q, f64 tail) {
    if (std::fabs(q) <= AS241_SPLIT1) {
        const f64 r = AS241_SPLIT1_SQ - q * q;
        return (q * as241_poly7(AS241_A, r)) / as241_poly7(AS241_B, r);
    }
    // A NaN fails every comparison and leaves through the far tail as NaN.
    f64 r = std::sqrt(-std::log(tail));
    f64 value;
    if (r <= AS241_SPLIT2) {
        r -= AS241_CONST2;
        value = as241_poly7(AS241_C, r) / as241_poly7(AS241_D, r);
    } else {
        r -= AS241_SPLIT2;
        value = as241_poly7(AS241_E, r) / as241_poly7(AS241_F, r);
    }
    return q < 0.0 ? -value : value;
}

}  // namespace

f64 velm_ndtri_as241(f64 p) {
    if (p <= 0.0) return -HUGE_VAL;
    if (p >= 1.0) return HUGE_VAL;
    const f64 q = p - 0.5;
    return as241_quantile(q, q < 0.0 ? p : 1.0 - p);
}

void velm_ndtri_as241_into(const f64* p, i64 n, f64* out) {
    for (i64 i = 0; i < n; ++i) out[i] = velm_ndtri_as241(p[i]);
}

// erfinv(y) = Phi^-1((1 + y) / 2) / sqrt(2). q = y / 2 and the tail mass (1 - |y|) / 2 are
// formed from y directly (the latter exact for |y| >= 0.5) instead of through p = (1 + y) / 2:
// rounding p would cost a small |y| its relative accuracy and send y = 1 - 2^-53 to +inf.
f64 velm_erfinv_from_as241(f64 y) {
    if (y <= -1.0) return -HUGE_VAL;
    if (y >= 1.0) return HUGE_VAL;
    return as241_quantile(0.5 * y, 0.5 * (1.0 - std::fabs(y))) / SQRT2;
}
