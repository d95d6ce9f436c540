// Tests of the complex arithmetic, product and LU family against std::complex references.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "_common/velm_complex.h"
#include "_common/velm_linalg.h"

namespace {

using cd = std::complex<double>;

cd to_std(c128 z) { return {z.re, z.im}; }

std::vector<c128> from_std(const std::vector<cd>& v) {
    std::vector<c128> out;
    for (const cd& z : v) out.push_back(c128_make(z.real(), z.imag()));
    return out;
}

// Entries uniform in the unit square plus `diag_shift` on the diagonal (diagonal dominance
// keeps the random systems well conditioned).
std::vector<c128> random_matrix(std::mt19937_64& rng, int rows, int cols, double diag_shift) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<c128> M(rows * cols);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            M[i * cols + j] = c128_make(u(rng) + (i == j ? diag_shift : 0.0), u(rng));
        }
    }
    return M;
}

// Plain triple loop in std::complex.
std::vector<cd> naive_matmul(const std::vector<c128>& A, const std::vector<c128>& B, int m, int n,
                             int p) {
    std::vector<cd> out(m * p, cd(0.0, 0.0));
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < p; ++j) {
            for (int k = 0; k < n; ++k) out[i * p + j] += to_std(A[i * n + k]) * to_std(B[k * p + j]);
        }
    }
    return out;
}

double max_abs_diff(const std::vector<cd>& a, const std::vector<c128>& b) {
    double worst = 0.0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - to_std(b[i])));
    return worst;
}

const c128 kSentinel = {-777.0, 777.0};

bool untouched(const std::vector<c128>& v) {
    for (const c128& z : v) {
        if (z.re != kSentinel.re || z.im != kSentinel.im) return false;
    }
    return true;
}

// ---- arithmetic --------------------------------------------------------------------------------

TEST(C128Arithmetic, SmithDivisionBothBranches) {
    // |b.re| < |b.im|: second branch.
    const c128 q1 = c128_div(c128_make(1.0, 0.0), c128_make(0.0, 2.0));
    EXPECT_EQ(q1.re, 0.0);
    EXPECT_EQ(q1.im, -0.5);
    // |b.re| == |b.im|: the tie takes the first branch.
    const c128 q2 = c128_div(c128_make(4.0, 2.0), c128_make(1.0, 1.0));
    EXPECT_DOUBLE_EQ(q2.re, 3.0);
    EXPECT_DOUBLE_EQ(q2.im, -1.0);
}

TEST(C128Arithmetic, DivisionMatchesStdComplex) {
    const cd cases[][2] = {
        {{3.0, -7.0}, {0.25, 5.0}},   {{-1.5, 2.0}, {-8.0, 0.5}}, {{0.0, 1.0}, {1.0, 0.0}},
        {{2.0, 3.0}, {-4.0, -4.0}},   {{1e10, -1e-10}, {3e-5, 2e5}},
    };
    for (const auto& c : cases) {
        const cd expected = c[0] / c[1];
        const cd got = to_std(c128_div(c128_make(c[0].real(), c[0].imag()),
                                       c128_make(c[1].real(), c[1].imag())));
        EXPECT_LE(std::abs(got - expected), 1e-15 * std::abs(expected)) << c[0] << " / " << c[1];
    }
}

TEST(C128Arithmetic, DivisionAvoidsOverflowAndUnderflowOfSquaredModulus) {
    // |b|^2 overflows (1e600) or underflows (1e-600); the quotient is O(1) in both cases.
    for (double s : {1e300, 1e-300}) {
        const c128 q = c128_div(c128_make(s, 0.0), c128_make(s, s));
        EXPECT_NEAR(q.re, 0.5, 1e-15) << s;
        EXPECT_NEAR(q.im, -0.5, 1e-15) << s;
    }
}

// ---- matrix product ----------------------------------------------------------------------------

TEST(C128Matmul, OneByOne) {
    const c128 a = c128_make(1.0, 2.0), b = c128_make(3.0, -1.0);
    c128 out = kSentinel;
    c128_matmul(&a, &b, 1, 1, 1, &out);
    EXPECT_EQ(out.re, 5.0);
    EXPECT_EQ(out.im, 5.0);
}

TEST(C128Matmul, RectangularMatchesNaiveProduct) {
    std::mt19937_64 rng(11);
    const int m = 3, n = 4, p = 5;
    const auto A = random_matrix(rng, m, n, 0.0);
    const auto B = random_matrix(rng, n, p, 0.0);
    std::vector<c128> out(m * p, kSentinel);
    c128_matmul(A.data(), B.data(), m, n, p, out.data());
    EXPECT_LE(max_abs_diff(naive_matmul(A, B, m, n, p), out), 1e-14);
}

TEST(C128Matmul, EmptyInnerDimensionGivesZerosAndEmptyOutputIsNotWritten) {
    std::vector<c128> out(6, kSentinel);
    c128_matmul(nullptr, nullptr, 2, 0, 3, out.data());
    for (const c128& z : out) {
        EXPECT_EQ(z.re, 0.0);
        EXPECT_EQ(z.im, 0.0);
    }
    std::vector<c128> untouched_out(6, kSentinel);
    c128_matmul(nullptr, nullptr, 0, 2, 3, untouched_out.data());
    c128_matmul(nullptr, nullptr, 2, 2, 0, untouched_out.data());
    EXPECT_TRUE(untouched(untouched_out));
}

// ---- factorisation -----------------------------------------------------------------------------

struct PivotCase {
    const char* name;
    std::vector<cd> A;  // 2 x 2
    i64 piv0;
};

class C128PivotChoice : public ::testing::TestWithParam<PivotCase> {};

TEST_P(C128PivotChoice, PicksLargestSquaredModulusTopmostOnTies) {
    auto A = from_std(GetParam().A);
    i64 piv[2] = {-1, -1};
    ASSERT_EQ(c128_lu_factor_inplace(A.data(), piv, 2), VELM_OK);
    EXPECT_EQ(piv[0], GetParam().piv0);
    EXPECT_EQ(piv[1], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, C128PivotChoice,
    ::testing::Values(PivotCase{"ZeroDiagonal", {{0, 0}, {1, 1}, {0, 2}, {0, 0}}, 1},
                      PivotCase{"ModuliNineAndSixteen", {{3, 0}, {0, 0}, {0, 4}, {1, 0}}, 1},
                      PivotCase{"EqualModuliKeepTopRow", {{0, 2}, {1, 0}, {-2, 0}, {3, 0}}, 0},
                      PivotCase{"DiagonalAlreadyLargest", {{0, -5}, {1, 0}, {4, 0}, {1, 0}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// P A = L U, rebuilt from the packed factors and the interchange sequence.
TEST(C128LuFactor, FactorsReproducePermutedMatrix) {
    std::mt19937_64 rng(5);
    const int n = 6;
    const auto A = random_matrix(rng, n, n, 0.0);
    c128_lu lu = c128_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, VELM_OK);
    ASSERT_EQ(lu.n, n);
    std::vector<c128> L(n * n, c128_make(0, 0)), U(n * n, c128_make(0, 0));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (j < i) L[i * n + j] = lu.lu[i * n + j];
            else U[i * n + j] = lu.lu[i * n + j];
        }
        L[i * n + i] = c128_make(1.0, 0.0);
    }
    std::vector<cd> PA(A.size());
    for (size_t i = 0; i < A.size(); ++i) PA[i] = to_std(A[i]);
    for (int k = 0; k < n; ++k) {
        ASSERT_GE(lu.piv[k], k);
        ASSERT_LT(lu.piv[k], n);
        for (int j = 0; j < n; ++j) std::swap(PA[k * n + j], PA[lu.piv[k] * n + j]);
    }
    // Partial pivoting bounds every multiplier by 1 in modulus.
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < i; ++j) EXPECT_LE(c128_abs2(L[i * n + j]), 1.0);
    }
    EXPECT_LE(max_abs_diff(PA, from_std(naive_matmul(L, U, n, n, n))), 1e-14);
    c128_lu_free(&lu);
}

// Rows proportional, an exactly zero column, and a pivot whose squared modulus underflows.
struct SingularCase {
    const char* name;
    std::vector<cd> A;
    int n;
};

class C128Singular : public ::testing::TestWithParam<SingularCase> {};

TEST_P(C128Singular, EveryEntryReportsSingularAndLeavesOutputsUnwritten) {
    const auto& c = GetParam();
    const auto A = from_std(c.A);
    auto work = A;
    std::vector<i64> piv(c.n, -1);
    EXPECT_EQ(c128_lu_factor_inplace(work.data(), piv.data(), c.n), VELM_ERR_SINGULAR);

    c128_lu lu = c128_lu_factor(A.data(), c.n);
    EXPECT_EQ(lu.err, VELM_ERR_SINGULAR);
    EXPECT_NE(lu.lu, nullptr);  // a singular record still owns its buffers
    c128_lu_free(&lu);

    const std::vector<c128> B(c.n, c128_make(1.0, 0.0));
    std::vector<c128> X(c.n, kSentinel), Ainv(c.n * c.n, kSentinel);
    EXPECT_EQ(c128_solve(A.data(), B.data(), c.n, 1, X.data()), VELM_ERR_SINGULAR);
    EXPECT_EQ(c128_inv(A.data(), c.n, Ainv.data()), VELM_ERR_SINGULAR);
    EXPECT_TRUE(untouched(X));
    EXPECT_TRUE(untouched(Ainv));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, C128Singular,
    ::testing::Values(SingularCase{"SecondRowITimesFirst", {{1, 0}, {1, 0}, {0, 1}, {0, 1}}, 2},
                      SingularCase{"ZeroFirstColumn", {{0, 0}, {1, 1}, {0, 0}, {2, 0}}, 2},
                      SingularCase{"UnderflowingPivot", {{1e-170, 0}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(C128LuFactor, SingularStopLeavesPartlyEliminatedMatrix) {
    // Column 0 eliminates row 1 to zero; column 1 then has no non-zero candidate.
    auto A = from_std({{1, 0}, {1, 0}, {0, 1}, {0, 1}});
    i64 piv[2] = {-1, -1};
    ASSERT_EQ(c128_lu_factor_inplace(A.data(), piv, 2), VELM_ERR_SINGULAR);
    EXPECT_EQ(piv[0], 0);
    EXPECT_EQ(piv[1], 1);
    EXPECT_NEAR(std::abs(to_std(A[2]) - cd(0, 1)), 0.0, 1e-15);  // multiplier i
    EXPECT_EQ(c128_abs2(A[3]), 0.0);
}

TEST(C128LuFactor, InvalidArgumentsWriteNothing) {
    c128 a = c128_make(2.0, 0.0);
    i64 piv = -1;
    EXPECT_EQ(c128_lu_factor_inplace(&a, &piv, 0), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_lu_factor_inplace(&a, &piv, -3), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_lu_factor_inplace(nullptr, &piv, 1), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_lu_factor_inplace(&a, nullptr, 1), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(piv, -1);
    EXPECT_EQ(a.re, 2.0);

    for (i64 n : {0, -1}) {
        const c128_lu lu = c128_lu_factor(&a, n);
        EXPECT_EQ(lu.lu, nullptr);
        EXPECT_EQ(lu.piv, nullptr);
        EXPECT_EQ(lu.n, n);
        EXPECT_EQ(lu.err, VELM_ERR_INVALID_ARGUMENT);
    }
    EXPECT_EQ(c128_lu_factor(nullptr, 2).err, VELM_ERR_INVALID_ARGUMENT);

    c128 out = kSentinel;
    EXPECT_EQ(c128_solve(&a, &a, 0, 1, &out), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_inv(&a, 0, &out), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_inv(nullptr, 1, &out), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out.re, kSentinel.re);
}

TEST(C128LuFree, RepeatedAndInvalidRecordsAreHarmless) {
    const c128 a = c128_make(2.0, 1.0);
    c128_lu lu = c128_lu_factor(&a, 1);
    ASSERT_EQ(lu.err, VELM_OK);
    c128_lu_free(&lu);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, 0);
    EXPECT_EQ(lu.err, VELM_OK);
    c128_lu_free(&lu);

    c128_lu invalid = c128_lu_factor(&a, 0);
    c128_lu_free(&invalid);
    c128_lu_free(nullptr);
}

// ---- solve and inverse -------------------------------------------------------------------------

TEST(C128Solve, RandomSystemsHaveSmallResiduals) {
    std::mt19937_64 rng(2024);
    for (int n : {1, 2, 5, 9}) {
        for (int m : {1, 3}) {
            const auto A = random_matrix(rng, n, n, 2.0);
            const auto B = random_matrix(rng, n, m, 0.0);
            std::vector<c128> X(n * m, kSentinel);
            ASSERT_EQ(c128_solve(A.data(), B.data(), n, m, X.data()), VELM_OK);
            std::vector<cd> Bref(B.size());
            for (size_t i = 0; i < B.size(); ++i) Bref[i] = to_std(B[i]);
            EXPECT_LE(max_abs_diff(naive_matmul(A, X, n, n, m), from_std(Bref)), 1e-13)
                << "n=" << n << " m=" << m;
        }
    }
}

TEST(C128Solve, TinyButRegularMatrixSolvesAccurately) {
    // Entries of order 1e-150 have squared moduli of order 1e-300, still normal: the pivots are
    // accepted and the solution, of order 1e150, keeps full relative accuracy.
    const auto A = from_std({{1e-150, 1e-150}, {0, 0}, {0, 0}, {0, 2e-150}});
    const auto B = from_std({{1, 0}, {0, 1}});
    std::vector<c128> X(2, kSentinel);
    ASSERT_EQ(c128_solve(A.data(), B.data(), 2, 1, X.data()), VELM_OK);
    const cd expected[2] = {cd(1, 0) / cd(1e-150, 1e-150), cd(0, 1) / cd(0, 2e-150)};
    for (int i = 0; i < 2; ++i) {
        EXPECT_LE(std::abs(to_std(X[i]) - expected[i]), 1e-15 * std::abs(expected[i]));
    }
}

TEST(C128Solve, HugeEntriesArePivotedByTheirModulus) {
    // Both squared moduli of column 0 overflow: the larger modulus, 1e200, is still the pivot;
    // left tied, the upper row's 1e160 was, and x came back (0, 1) with a residual of 1.
    const auto A = from_std({{1e160, 0}, {1, 0}, {1e200, 0}, {1, 0}});
    const auto B = from_std({{1, 0}, {2, 0}});
    std::vector<c128> X(2, kSentinel);
    ASSERT_EQ(c128_solve(A.data(), B.data(), 2, 1, X.data()), VELM_OK);
    EXPECT_LE(std::abs(to_std(X[0]) - cd(1e-200, 0)), 1e-214);
    EXPECT_LE(std::abs(to_std(X[1]) - cd(1.0, 0)), 1e-14);
    EXPECT_EQ(c128_solve(A.data(), nullptr, 2, 1, X.data()), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(c128_inv(A.data(), 2, nullptr), VELM_ERR_INVALID_ARGUMENT);
}

TEST(C128Solve, NoRightHandSidesWritesNothingAndReportsFactorStatus) {
    const auto A = from_std({{2, 0}, {1, 0}, {1, 0}, {3, 0}});
    const auto S = from_std({{1, 0}, {1, 0}, {0, 1}, {0, 1}});
    std::vector<c128> X(2, kSentinel);
    EXPECT_EQ(c128_solve(A.data(), nullptr, 2, 0, X.data()), VELM_OK);
    EXPECT_EQ(c128_solve(S.data(), nullptr, 2, 0, X.data()), VELM_ERR_SINGULAR);
    EXPECT_TRUE(untouched(X));
}

TEST(C128LuSolve, NegativeExtentsTouchNoMemory) {
    // n * m of two negative extents is positive: nothing may be copied or swapped
    const auto B = from_std({{1, 0}, {2, 0}, {3, 0}, {4, 0}});
    const i64 piv[2] = {1, 0};
    std::vector<c128> X(4, kSentinel);
    for (const auto& [n, m] : std::vector<std::pair<i64, i64>>{{-2, -2}, {-2, 2}, {2, -2}}) {
        c128_lu_solve(B.data(), piv, B.data(), X.data(), n, m);
    }
    EXPECT_TRUE(untouched(X));
}

TEST(C128Inv, ProductWithInverseIsIdentity) {
    std::mt19937_64 rng(99);
    const int n = 7;
    const auto A = random_matrix(rng, n, n, 0.5);
    std::vector<c128> Ainv(n * n, kSentinel);
    ASSERT_EQ(c128_inv(A.data(), n, Ainv.data()), VELM_OK);
    std::vector<cd> I(n * n, cd(0, 0));
    for (int i = 0; i < n; ++i) I[i * n + i] = 1.0;
    EXPECT_LE(max_abs_diff(I, from_std(naive_matmul(A, Ainv, n, n, n))), 1e-12);
    EXPECT_LE(max_abs_diff(I, from_std(naive_matmul(Ainv, A, n, n, n))), 1e-12);
}

}  // namespace
