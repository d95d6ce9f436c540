// Tests of the AS 241 normal quantile and the inverse error function built on it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "_common/as241.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Standard normal distribution function from the C library, an independent reference.
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

struct QuantileCase {
    double p;
    double expected;  // high-precision quantile
    double abs_tol;
};

class NdtriKnownValues : public ::testing::TestWithParam<QuantileCase> {};

TEST_P(NdtriKnownValues, MatchesHighPrecisionQuantile) {
    const auto& c = GetParam();
    EXPECT_NEAR(velm_ndtri_as241(c.p), c.expected, c.abs_tol) << "p=" << c.p;
}

// Reference values by root finding in 40-digit arithmetic; one case per region and both sides
// of each split (q = -0.425 is central, |q| = 0.475 a tail).
INSTANTIATE_TEST_SUITE_P(
    Regions, NdtriKnownValues,
    ::testing::Values(QuantileCase{0.5, 0.0, 0.0},
                      QuantileCase{0.841344746068543, 1.0000000000000003646, 1e-14},
                      QuantileCase{0.075, -1.4395314709384559349, 1e-14},
                      QuantileCase{0.975, 1.9599639845400538556, 1e-14},
                      QuantileCase{0.025, -1.9599639845400538556, 1e-14},
                      QuantileCase{1e-10, -6.3613409024040561991, 1e-13},
                      QuantileCase{1e-20, -9.2623400897984075796, 1e-13},
                      QuantileCase{1e-300, -37.047096299361199237, 1e-12},
                      QuantileCase{5e-324, -38.467405617144346251, 1e-12}));

TEST(Ndtri, RangeRules) {
    for (double p : {0.0, -0.0, -1e-300, -2.0, -kInf}) EXPECT_EQ(velm_ndtri_as241(p), -kInf) << p;
    for (double p : {1.0, 1.0 + 1e-15, 3.0, kInf}) EXPECT_EQ(velm_ndtri_as241(p), kInf) << p;
    EXPECT_TRUE(std::isnan(velm_ndtri_as241(kNaN)));
}

// Phi(Phi^-1(p)) = p over the lower half, log-spaced from the smallest subnormal to 0.5. An error
// dx in the quantile moves p by phi(x) dx, about |x| p dx in the tail, hence the x^2 factor.
TEST(Ndtri, InvertsNormalDistributionFunction) {
    for (double log10p = -323.5; log10p < std::log10(0.5); log10p += 0.37) {
        const double p = std::pow(10.0, log10p);
        const double x = velm_ndtri_as241(p);
        ASSERT_TRUE(std::isfinite(x)) << p;
        const double rel = std::fabs(normal_cdf(x) - p) / p;
        EXPECT_LE(rel, 1e-15 * std::fmax(4.0, x * x)) << "p=" << p;
    }
}

TEST(Ndtri, UpperHalfIsReflectionOfLowerHalf) {
    for (int k = 1; k < 1024; ++k) {
        const double p = k / 1024.0;  // 1 - p is exact
        EXPECT_EQ(velm_ndtri_as241(1.0 - p), -velm_ndtri_as241(p)) << p;
    }
}

TEST(Ndtri, IsContinuousAcrossRegionBoundaries) {
    // One ulp either side of |q| = 0.425 and of r = 5 (p = exp(-25)): the two rational
    // approximations meeting there agree to rounding, allowing for the true rise dp / phi(x).
    for (double edge : {0.075, 0.925, std::exp(-25.0)}) {
        const double p_below = std::nextafter(edge, 0.0), p_above = std::nextafter(edge, 1.0);
        const double below = velm_ndtri_as241(p_below), above = velm_ndtri_as241(p_above);
        const double density = std::exp(-0.5 * below * below) / std::sqrt(2.0 * M_PI);
        const double rise = (p_above - p_below) / density;
        EXPECT_LE(std::fabs(above - below - rise), 4e-16 * std::fabs(below) + rise) << edge;
    }
}

TEST(NdtriInto, MatchesScalarFormAndSkipsEmptyInput) {
    const std::vector<double> p = {1e-300, 0.01, 0.5, 0.93, 1.0, -1.0, kNaN};
    std::vector<double> out(p.size(), -7.0);
    velm_ndtri_as241_into(p.data(), static_cast<i64>(p.size()), out.data());
    for (size_t i = 0; i < p.size(); ++i) {
        const double expected = velm_ndtri_as241(p[i]);
        if (std::isnan(expected)) EXPECT_TRUE(std::isnan(out[i]));
        else EXPECT_EQ(out[i], expected) << i;
    }
    std::vector<double> untouched(2, -7.0);
    velm_ndtri_as241_into(p.data(), 0, untouched.data());
    velm_ndtri_as241_into(p.data(), -4, untouched.data());
    EXPECT_EQ(untouched[0], -7.0);
    EXPECT_EQ(untouched[1], -7.0);
}

// ---- inverse error function --------------------------------------------------------------------

TEST(Erfinv, KnownValuesAndRangeRules) {
    EXPECT_EQ(velm_erfinv_from_as241(0.0), 0.0);
    EXPECT_NEAR(velm_erfinv_from_as241(0.5), 0.47693627620446987338, 5e-16);
    EXPECT_NEAR(velm_erfinv_from_as241(-0.5), -0.47693627620446987338, 5e-16);
    for (double y : {-1.0, -1.5, -kInf}) EXPECT_EQ(velm_erfinv_from_as241(y), -kInf) << y;
    for (double y : {1.0, 2.0, kInf}) EXPECT_EQ(velm_erfinv_from_as241(y), kInf) << y;
    EXPECT_TRUE(std::isnan(velm_erfinv_from_as241(kNaN)));
}

// erf(erfinv(y)) = y; near |y| = 1 the check goes through erfc, which resolves 1 - |y|.
TEST(Erfinv, InvertsErrorFunction) {
    for (double t = -300.0; t < 0.0; t += 0.73) {
        const double small = std::pow(10.0, t);  // |y| from 1e-300 up
        for (double y : {small, -small}) {
            const double x = velm_erfinv_from_as241(y);
            EXPECT_LE(std::fabs(std::erf(x) - y), 4e-16 * std::fabs(y)) << "y=" << y;
        }
        if (t > -16.0) {
            const double y = 1.0 - small;  // 1 - |y| = small up to rounding of y itself
            const double x = velm_erfinv_from_as241(y);
            const double tail = 1.0 - y;
            EXPECT_LE(std::fabs(std::erfc(x) - tail), 1e-15 * std::fmax(4.0, x * x) * tail)
                << "y=" << y;
        }
    }
}

}  // namespace
