// Tests of the real LU solver: pivot records, packed factors, solves, inverse and ownership.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "_common/velm_linalg.h"

namespace {

using Mat = std::vector<f64>;

constexpr f64 kSentinel = 777.0;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

Mat identity(i64 n) {
    Mat out(static_cast<size_t>(n * n), 0.0);
    for (i64 i = 0; i < n; ++i) out[i * n + i] = 1.0;
    return out;
}

Mat ref_matmul(const Mat& A, const Mat& B, i64 n, i64 p, i64 m) {
    Mat out(static_cast<size_t>(n * m), 0.0);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j)
            for (i64 k = 0; k < p; ++k) out[i * m + j] += A[i * p + k] * B[k * m + j];
    return out;
}

// Random matrix with a dominant diagonal, so its condition number stays small.
Mat well_conditioned(std::mt19937_64& rng, i64 n) {
    std::uniform_real_distribution<f64> unit(-1.0, 1.0);
    Mat A(static_cast<size_t>(n * n));
    for (f64& v : A) v = unit(rng);
    for (i64 i = 0; i < n; ++i) A[i * n + i] += (A[i * n + i] < 0 ? -1.0 : 1.0) * static_cast<f64>(n);
    return A;
}

Mat random_rhs(std::mt19937_64& rng, i64 n, i64 m) {
    std::uniform_real_distribution<f64> unit(-5.0, 5.0);
    Mat B(static_cast<size_t>(n * m));
    for (f64& v : B) v = unit(rng);
    return B;
}

// P A rebuilt from the interchange sequence, and L U from the packed factors.
Mat apply_interchanges(Mat A, const std::vector<i64>& piv, i64 n) {
    for (i64 k = 0; k < n; ++k)
        for (i64 j = 0; j < n; ++j) std::swap(A[k * n + j], A[piv[k] * n + j]);
    return A;
}

Mat unpack_product(const Mat& LU, i64 n) {
    Mat L = identity(n), U(LU.size(), 0.0);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) (j < i ? L : U)[i * n + j] = LU[i * n + j];
    return ref_matmul(L, U, n, n, n);
}

f64 max_abs_diff(const Mat& a, const Mat& b) {
    f64 worst = 0.0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

bool all_sentinel(const Mat& m) {
    for (f64 v : m)
        if (v != kSentinel) return false;
    return true;
}

// ==== pivot choice on small examples ===========================================================

struct PivotCase {
    const char* name;
    i64 n;
    Mat A;
    std::vector<i64> piv;
    Mat lu;
};

void PrintTo(const PivotCase& c, std::ostream* os) { *os << c.name; }

class LuPivot : public ::testing::TestWithParam<PivotCase> {};

TEST_P(LuPivot, RecordsInterchangesAndPackedFactors) {
    const PivotCase& c = GetParam();
    Mat A = c.A;
    std::vector<i64> piv(static_cast<size_t>(c.n), -1);
    ASSERT_EQ(velm_lu_factor_inplace(A.data(), piv.data(), c.n), 0);
    EXPECT_EQ(piv, c.piv);
    for (size_t i = 0; i < A.size(); ++i) {
        if (std::isnan(c.lu[i]))
            EXPECT_TRUE(std::isnan(A[i])) << "at " << i;
        else
            EXPECT_NEAR(A[i], c.lu[i], 1e-15) << "at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LuPivot,
    ::testing::Values(
        // Column 0 must take row 1; L = I and U = I.
        PivotCase{"Exchange", 2, {0, 1, 1, 0}, {1, 1}, {1, 0, 0, 1}},
        // Equal magnitudes in column 0: the topmost row stays.
        PivotCase{"TieKeepsTopRow", 2, {2, 1, -2, 3}, {0, 1}, {2, 1, -1, 4}},
        // Largest |.| at the bottom of column 0; after elimination column 1 ties and keeps row 1.
        PivotCase{"LargestMagnitudeWins", 3, {1, 2, 0, 2, 2, 1, -4, 0, 2}, {2, 1, 2},
                  {-4, 0, 2, -0.5, 2, 2, -0.25, 1, -1.5}},
        // A NaN below the diagonal never compares greater, so it is not chosen; it then spreads
        // into the last pivot, which passes the exact-zero test.
        PivotCase{"NaNBelowDiagonalNotChosen", 2, {1, 0, kNaN, 1}, {0, 1}, {1, 0, kNaN, kNaN}}),
    [](const ::testing::TestParamInfo<PivotCase>& info) { return info.param.name; });

TEST(LuInv, PermutationMatrixIsItsOwnInverse) {
    const Mat A = {0, 1, 1, 0};
    Mat Ainv(4, kSentinel);
    ASSERT_EQ(velm_inv(A.data(), 2, Ainv.data()), 0);
    EXPECT_EQ(Ainv, A);
}

// ==== singular matrices ========================================================================

TEST(LuSingular, RankOneFailsAtTheLastPivotAndStillOwnsItsBuffers) {
    const Mat A = {1, 2, 2, 4};
    f64_lu lu = velm_lu_factor(A.data(), 2);
    EXPECT_EQ(lu.err, VELM_ERR_SINGULAR);
    ASSERT_NE(lu.lu, nullptr);
    ASSERT_NE(lu.piv, nullptr);
    EXPECT_EQ(lu.piv[0], 1);
    EXPECT_EQ(lu.lu[3], 0.0);  // 1 - 0.5 * 2 after the exchange: exactly zero
    velm_lu_free(&lu);

    Mat X(4, kSentinel), Ainv(4, kSentinel);
    const Mat B = {1, 0, 0, 1};
    EXPECT_EQ(velm_solve(A.data(), B.data(), 2, 2, X.data()), VELM_ERR_SINGULAR);
    EXPECT_EQ(velm_inv(A.data(), 2, Ainv.data()), VELM_ERR_SINGULAR);
    EXPECT_TRUE(all_sentinel(X));
    EXPECT_TRUE(all_sentinel(Ainv));
}

TEST(LuSingular, ZeroColumnStopsAtItsStep) {
    Mat A = {0, 1, 2, 0, 3, 4, 0, 5, 7};
    std::vector<i64> piv(3, -1);
    EXPECT_EQ(velm_lu_factor_inplace(A.data(), piv.data(), 3), VELM_ERR_SINGULAR);
    EXPECT_EQ(piv, (std::vector<i64>{0, -1, -1}));
}

// ==== invalid arguments and ownership ==========================================================

TEST(LuArguments, InvalidOrderOrNullPointersReport102) {
    Mat A = {1.0};
    i64 piv = -1;
    Mat X = {kSentinel};
    for (const i64 n : {0, -1}) {
        EXPECT_EQ(velm_lu_factor_inplace(A.data(), &piv, n), VELM_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(velm_solve(A.data(), A.data(), n, 1, X.data()), VELM_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(velm_inv(A.data(), n, X.data()), VELM_ERR_INVALID_ARGUMENT);
        f64_lu lu = velm_lu_factor(A.data(), n);
        EXPECT_EQ(lu.lu, nullptr);
        EXPECT_EQ(lu.piv, nullptr);
        EXPECT_EQ(lu.n, n);
        EXPECT_EQ(lu.err, VELM_ERR_INVALID_ARGUMENT);
        velm_lu_free(&lu);
    }
    EXPECT_EQ(velm_lu_factor_inplace(nullptr, &piv, 1), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(velm_lu_factor_inplace(A.data(), nullptr, 1), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(velm_lu_factor(nullptr, 1).err, VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(velm_inv(nullptr, 1, X.data()), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(A[0], 1.0);
    EXPECT_EQ(piv, -1);
    EXPECT_EQ(X[0], kSentinel);
}

TEST(LuFree, IsIdempotentAndClearsTheRecord) {
    const Mat A = {3, 1, 1, 2};
    f64_lu lu = velm_lu_factor(A.data(), 2);
    ASSERT_EQ(lu.err, VELM_OK);
    velm_lu_free(&lu);
    EXPECT_EQ(lu.lu, nullptr);
    EXPECT_EQ(lu.piv, nullptr);
    EXPECT_EQ(lu.n, 0);
    EXPECT_EQ(lu.err, VELM_OK);
    velm_lu_free(&lu);
    velm_lu_free(nullptr);
}

// ==== right-hand sides =========================================================================

TEST(LuSolve, NoRightHandSidesWritesNothingAndReturnsTheStatus) {
    const Mat regular = {2, 1, 1, 3}, singular = {1, 2, 2, 4};
    Mat X = {kSentinel};
    EXPECT_EQ(velm_solve(regular.data(), nullptr, 2, 0, X.data()), 0);
    EXPECT_EQ(velm_solve(singular.data(), nullptr, 2, 0, X.data()), VELM_ERR_SINGULAR);
    EXPECT_EQ(X[0], kSentinel);
}

// A subnormal pivot's reciprocal overflows: it is divided by instead, as the factor and the
// solve divide by a normal pivot's reciprocal.
TEST(LuSolve, SubnormalPivotsDivide) {
    const Mat one_by_one = {1e-310}, b1 = {1e-310};
    Mat x1 = {kSentinel};
    ASSERT_EQ(velm_solve(one_by_one.data(), b1.data(), 1, 1, x1.data()), VELM_OK);
    EXPECT_EQ(x1[0], 1.0);
    const Mat A = {1e-309, 0.0, 1e-310, 2e-309}, b = {1e-309, 5e-310};  // x = (1, 0.2)
    Mat x = {kSentinel, kSentinel};
    ASSERT_EQ(velm_solve(A.data(), b.data(), 2, 1, x.data()), VELM_OK);
    EXPECT_NEAR(x[0], 1.0, 1e-12);
    EXPECT_NEAR(x[1], 0.2, 1e-12);
}

TEST(LuSolve, NullRightHandSideOrResultIsRefused) {
    const Mat A = {2, 1, 1, 3}, b = {1, 2};
    Mat x = {kSentinel, kSentinel};
    EXPECT_EQ(velm_solve(A.data(), nullptr, 2, 1, x.data()), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(velm_solve(A.data(), b.data(), 2, 1, nullptr), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(velm_inv(A.data(), 2, nullptr), VELM_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(x[0], kSentinel);
}

struct SolveCase {
    i64 n, m;
};

class LuRandom : public ::testing::TestWithParam<SolveCase> {};

// P A = L U with valid interchange records, A X = B with a small residual, A A^-1 = I.
TEST_P(LuRandom, FactorsSolvesAndInverts) {
    const auto [n, m] = GetParam();
    std::mt19937_64 rng(500 + static_cast<uint64_t>(n * 10 + m));
    const Mat A = well_conditioned(rng, n), B = random_rhs(rng, n, m);
    const f64 tol = 1e-12 * static_cast<f64>(n);

    f64_lu lu = velm_lu_factor(A.data(), n);
    ASSERT_EQ(lu.err, VELM_OK);
    const std::vector<i64> piv(lu.piv, lu.piv + n);
    for (i64 k = 0; k < n; ++k) {
        EXPECT_GE(piv[k], k);
        EXPECT_LT(piv[k], n);
    }
    EXPECT_EQ(piv[n - 1], n - 1);
    const Mat packed(lu.lu, lu.lu + n * n);
    EXPECT_LT(max_abs_diff(unpack_product(packed, n), apply_interchanges(A, piv, n)), tol * n);

    Mat X(static_cast<size_t>(n * m));
    velm_lu_solve(lu.lu, lu.piv, B.data(), X.data(), n, m);
    velm_lu_free(&lu);
    EXPECT_LT(max_abs_diff(ref_matmul(A, X, n, n, m), B), tol * 10);

    Mat X_once(X.size());
    ASSERT_EQ(velm_solve(A.data(), B.data(), n, m, X_once.data()), 0);
    EXPECT_LT(max_abs_diff(X_once, X), tol);

    Mat Ainv(A.size());
    ASSERT_EQ(velm_inv(A.data(), n, Ainv.data()), 0);
    EXPECT_LT(max_abs_diff(ref_matmul(A, Ainv, n, n, n), identity(n)), tol);
}

INSTANTIATE_TEST_SUITE_P(Systems, LuRandom,
                         ::testing::Values(SolveCase{1, 1}, SolveCase{2, 3}, SolveCase{3, 3},
                                           SolveCase{7, 1}, SolveCase{16, 3}, SolveCase{33, 2}));

}  // namespace
