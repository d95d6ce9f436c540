// Tests of the Cholesky family and the normal equations against naive reference implementations.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "_common/velm_linalg.h"
#include "linalg_testing.h"

namespace {

using namespace linalg_testing;

// ==== Cholesky =================================================================================

// Naive determinant by Gaussian elimination with partial pivoting, for log-determinant checks.
f64 ref_det(Mat A, i64 n) {
    f64 det = 1.0;
    for (i64 k = 0; k < n; ++k) {
        i64 piv = k;
        for (i64 i = k + 1; i < n; ++i)
            if (std::fabs(A[i * n + k]) > std::fabs(A[piv * n + k])) piv = i;
        if (piv != k) {
            for (i64 j = 0; j < n; ++j) std::swap(A[k * n + j], A[piv * n + j]);
            det = -det;
        }
        det *= A[k * n + k];
        for (i64 i = k + 1; i < n; ++i) {
            const f64 f = A[i * n + k] / A[k * n + k];
            for (i64 j = k; j < n; ++j) A[i * n + j] -= f * A[k * n + j];
        }
    }
    return det;
}

TEST(Chol, FactorsTheTwoByTwoExample) {
    const Mat S = {4, 2, 2, 3};
    Mat L(4, kSentinel);
    ASSERT_EQ(velm_chol(S.data(), 0.0, L.data(), 2), VELM_OK);
    expect_near_all(L, Mat{2, 0, 1, std::sqrt(2.0)}, 1e-15);
    EXPECT_NEAR(velm_logdet_from_chol(L.data(), 2), std::log(8.0), 1e-15);
}

TEST(Chol, ReadsOnlyItsOwnTriangle) {
    const Mat lower_only = {4, 99, 2, 3}, upper_only = {4, 2, 99, 3};
    Mat L(4), U(4);
    ASSERT_EQ(velm_chol(lower_only.data(), 0.0, L.data(), 2), VELM_OK);
    expect_near_all(L, Mat{2, 0, 1, std::sqrt(2.0)}, 1e-15);
    ASSERT_EQ(velm_chol_upper(upper_only.data(), 0.0, U.data(), 2), VELM_OK);
    expect_near_all(U, Mat{std::sqrt(4.0 - 4.0 / 3.0), 2.0 / std::sqrt(3.0), 0, std::sqrt(3.0)},
                    1e-15);
}

TEST(Chol, IndefiniteStopsAtSecondPivotWithFinishedEntries) {
    const Mat S = {1, 2, 2, 1};
    Mat L(4, kSentinel);
    EXPECT_EQ(velm_chol(S.data(), 0.0, L.data(), 2), VELM_ERR_NOT_POSITIVE_DEFINITE);
    EXPECT_EQ(L, (Mat{1, 0, 2, 0}));
}

struct FailingCase {
    const char* name;
    Mat S;
    f64 jitter;
};

void PrintTo(const FailingCase& c, std::ostream* os) { *os << c.name; }

class CholFailure : public ::testing::TestWithParam<FailingCase> {};

// Every case must fail in both factor orders (the matrices are symmetric, so both read the same).
TEST_P(CholFailure, ReportsNotPositiveDefinite) {
    const FailingCase& c = GetParam();
    const i64 n = static_cast<i64>(std::lround(std::sqrt(static_cast<f64>(c.S.size()))));
    Mat factor(c.S.size());
    EXPECT_EQ(velm_chol(c.S.data(), c.jitter, factor.data(), n), VELM_ERR_NOT_POSITIVE_DEFINITE);
    EXPECT_EQ(velm_chol_upper(c.S.data(), c.jitter, factor.data(), n),
              VELM_ERR_NOT_POSITIVE_DEFINITE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CholFailure,
    ::testing::Values(FailingCase{"Zero", {0, 0, 0, 0}, 0.0},
                      FailingCase{"ZeroNegativeJitter", {0, 0, 0, 0}, -1.0},
                      FailingCase{"ZeroNaNJitter", {0, 0, 0, 0}, kNaN},
                      FailingCase{"NegativeDiagonal", {-1, 0, 0, -2}, 0.0},
                      FailingCase{"PivotBelowTolerance", {1, 0, 0, 1e-17}, 0.0},
                      FailingCase{"NaNFirstPivot", {kNaN, 0, 0, 1}, 0.0},
                      FailingCase{"NaNLastPivot", {4, 2, 2, kNaN}, 0.0},
                      FailingCase{"NaNOffDiagonal", {4, kNaN, kNaN, 3}, 0.0},
                      FailingCase{"NaNInThreeByThree", {4, 0, 1, 0, 5, kNaN, 1, kNaN, 6}, 0.0},
                      FailingCase{"InfiniteDiagonal", {kInf, 0, 0, 1}, 0.0}),
    [](const ::testing::TestParamInfo<FailingCase>& info) { return info.param.name; });

// A factor that fails at pivot p holds what the row-by-row order had finished: for L the rows
// above p and row p's entries left of its diagonal, for U the rows below p and row p's entries
// right of it, and zeros in every other cell.
TEST(Chol, FailedFactorHoldsTheRowsFinishedBeforeThePivot) {
    const i64 n = 6;
    std::mt19937_64 rng(31);
    for (i64 p = 0; p < n; ++p) {
        SCOPED_TRACE(::testing::Message() << "failing pivot " << p);
        const Mat S = random_spd(rng, n);
        Mat L_whole(S.size()), U_whole(S.size());
        ASSERT_EQ(velm_chol(S.data(), 0.0, L_whole.data(), n), VELM_OK);
        ASSERT_EQ(velm_chol_upper(S.data(), 0.0, U_whole.data(), n), VELM_OK);
        // pivot p of each order goes negative; the entries before it do not read S(p, p)
        Mat lower_fails = S, upper_fails = S;
        lower_fails[p * n + p] -= 2.0 * L_whole[p * n + p] * L_whole[p * n + p];
        upper_fails[p * n + p] -= 2.0 * U_whole[p * n + p] * U_whole[p * n + p];
        Mat L(S.size(), kSentinel), U(S.size(), kSentinel);
        ASSERT_EQ(velm_chol(lower_fails.data(), 0.0, L.data(), n), VELM_ERR_NOT_POSITIVE_DEFINITE);
        ASSERT_EQ(velm_chol_upper(upper_fails.data(), 0.0, U.data(), n),
                  VELM_ERR_NOT_POSITIVE_DEFINITE);
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < n; ++j) {
                const bool lower_kept = j <= i && (i < p || (i == p && j < p));
                const bool upper_kept = j >= i && (i > p || (i == p && j > p));
                const size_t cell = static_cast<size_t>(i * n + j);
                if (lower_kept) EXPECT_NEAR(L[cell], L_whole[cell], 1e-12) << i << "," << j;
                else EXPECT_EQ(L[cell], 0.0) << i << "," << j;
                if (upper_kept) EXPECT_NEAR(U[cell], U_whole[cell], 1e-12) << i << "," << j;
                else EXPECT_EQ(U[cell], 0.0) << i << "," << j;
            }
        }
    }
}

TEST(Chol, JitterRescuesTheZeroMatrix) {
    const Mat S(9, 0.0);
    const f64 root = std::sqrt(1e-8);
    const Mat expected = {root, 0, 0, 0, root, 0, 0, 0, root};
    Mat L(9), U(9);
    ASSERT_EQ(velm_chol(S.data(), 1e-8, L.data(), 3), VELM_OK);
    expect_near_all(L, expected, 1e-20);
    ASSERT_EQ(velm_chol_upper(S.data(), 1e-8, U.data(), 3), VELM_OK);
    expect_near_all(U, expected, 1e-20);
}

TEST(Chol, EmptyMatrixSucceedsAndWritesNothing) {
    Mat L = guarded(0);
    for (const i64 n : {0, -3}) {
        EXPECT_EQ(velm_chol(nullptr, 0.0, L.data(), n), VELM_OK);
        EXPECT_EQ(velm_chol_upper(nullptr, 0.0, L.data(), n), VELM_OK);
    }
    expect_sentinel_from(L, 0);
    EXPECT_EQ(velm_logdet_from_chol(L.data(), 0), 0.0);
}

class CholRandom : public ::testing::TestWithParam<i64> {};

// L is lower with a positive diagonal and L L^T = S + jitter I; likewise U is upper, U U^T = S.
TEST_P(CholRandom, FactorsReproduceTheMatrix) {
    const i64 n = GetParam();
    std::mt19937_64 rng(1000 + static_cast<uint64_t>(n));
    for (const f64 jitter : {0.0, 0.25}) {
        const Mat S = random_spd(rng, n);
        Mat shifted = S;
        for (i64 i = 0; i < n; ++i) shifted[i * n + i] += jitter;
        Mat L(S.size()), U(S.size());
        ASSERT_EQ(velm_chol(S.data(), jitter, L.data(), n), VELM_OK);
        ASSERT_EQ(velm_chol_upper(S.data(), jitter, U.data(), n), VELM_OK);
        for (i64 i = 0; i < n; ++i) {
            EXPECT_GT(L[i * n + i], 0.0);
            EXPECT_GT(U[i * n + i], 0.0);
            for (i64 j = i + 1; j < n; ++j) {
                EXPECT_EQ(L[i * n + j], 0.0);
                EXPECT_EQ(U[j * n + i], 0.0);
            }
        }
        const f64 tol = 1e-12 * static_cast<f64>(n);
        expect_near_all(ref_matmul(L, ref_transpose(L, n, n), n, n, n), shifted, tol);
        expect_near_all(ref_matmul(U, ref_transpose(U, n, n), n, n, n), shifted, tol);
        EXPECT_NEAR(velm_logdet_from_chol(L.data(), n), std::log(ref_det(shifted, n)), 1e-10);
    }
}

// Forward and backward substitution, out of place and in place: residuals of L x = b, L^T x = b.
TEST_P(CholRandom, SubstitutionsSolveTriangularSystems) {
    const i64 n = GetParam();
    std::mt19937_64 rng(2000 + static_cast<uint64_t>(n));
    const Mat S = random_spd(rng, n);
    Mat L(S.size());
    ASSERT_EQ(velm_chol(S.data(), 0.0, L.data(), n), VELM_OK);
    const Mat b = random_mat(rng, n, 1);
    const Mat LT = ref_transpose(L, n, n);

    Mat x(b.size()), x_inplace = b;
    velm_forward_subst(L.data(), b.data(), x.data(), n);
    velm_forward_subst(L.data(), x_inplace.data(), x_inplace.data(), n);
    expect_near_all(ref_matmul(L, x, n, n, 1), b, 1e-12);
    expect_near_all(x_inplace, x, 1e-14);

    Mat y(b.size()), y_inplace = b;
    velm_backward_subst_chol_t(L.data(), b.data(), y.data(), n);
    velm_backward_subst_chol_t(L.data(), y_inplace.data(), y_inplace.data(), n);
    expect_near_all(ref_matmul(LT, y, n, n, 1), b, 1e-12);
    expect_near_all(y_inplace, y, 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Orders, CholRandom, ::testing::Values(1, 2, 3, 5, 8, 17));

// All rows solved at once: ragged row tiles, every order up to the tile bound and past it (one
// row at a time), out of place and in place; each row z of the result satisfies z S = b.
TEST(CholSolveRows, EveryRowSolvesAgainstTheFactor) {
    std::mt19937_64 rng(23);
    for (const i64 m : {1, 2, 3, 4, 5, 8, 15, 17, 32, 33}) {
        for (const i64 rows : {1, 3, 4, 5, 9, 16, 21, 40}) {
            SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
            const Mat S = random_spd(rng, m), B = random_mat(rng, rows, m);
            Mat L(static_cast<size_t>(m * m));
            ASSERT_EQ(velm_chol(S.data(), 0.0, L.data(), m), VELM_OK);
            Mat out = guarded(rows * m);
            velm_chol_solve_rows(L.data(), B.data(), out.data(), rows, m);
            expect_near_all(ref_matmul(out, S, rows, m, m), B, 1e-10);
            expect_sentinel_from(out, static_cast<size_t>(rows * m));
            Mat in_place = B;
            velm_chol_solve_rows(L.data(), in_place.data(), in_place.data(), rows, m);
            expect_near_all(in_place, Mat(out.begin(), out.begin() + rows * m), 1e-13);
        }
    }
}

TEST(Substitution, EmptySystemWritesNothing) {
    Mat out = guarded(0);
    velm_forward_subst(nullptr, nullptr, out.data(), 0);
    velm_backward_subst_chol_t(nullptr, nullptr, out.data(), 0);
    expect_sentinel_from(out, 0);
}

// ==== normal equations =========================================================================

TEST(Gram, MatchesReferenceAndIsExactlySymmetric) {
    std::mt19937_64 rng(31);
    for (const auto& [n, p] : std::vector<std::pair<i64, i64>>{{10, 4}, {3, 5}, {1, 1}, {0, 3}}) {
        const Mat X = random_mat(rng, n, p), y = random_mat(rng, n, 1);
        Mat G = guarded(p * p);
        velm_gram(X.data(), G.data(), n, p);
        expect_near_all(G, ref_matmul(ref_transpose(X, n, p), X, p, n, p), 1e-12);
        expect_sentinel_from(G, static_cast<size_t>(p * p));
        for (i64 a = 0; a < p; ++a)
            for (i64 b = 0; b < a; ++b) EXPECT_EQ(G[a * p + b], G[b * p + a]);

        Mat g = guarded(p);
        velm_gram_rhs(X.data(), y.data(), g.data(), n, p);
        expect_near_all(g, ref_matmul(ref_transpose(X, n, p), y, p, n, 1), 1e-12);
        expect_sentinel_from(g, static_cast<size_t>(p));
    }
    Mat untouched = guarded(0);
    velm_gram_rhs(nullptr, nullptr, untouched.data(), 5, 0);
    expect_sentinel_from(untouched, 0);
}

TEST(CholSolve, SolvesTheNormalEquations) {
    std::mt19937_64 rng(41);
    const i64 n = 40, p = 6;
    const Mat X = random_mat(rng, n, p), y = random_mat(rng, n, 1);
    Mat G(p * p), g(p), coef(p), scratch(p * p);
    velm_gram(X.data(), G.data(), n, p);
    velm_gram_rhs(X.data(), y.data(), g.data(), n, p);
    ASSERT_EQ(velm_chol_solve(G.data(), g.data(), coef.data(), scratch.data(), p), VELM_OK);
    expect_near_all(ref_matmul(G, coef, p, p, 1), g, 1e-11);
}

TEST(CholInv, MultipliesToTheIdentity) {
    std::mt19937_64 rng(43);
    for (const i64 p : {1, 2, 4, 9}) {
        const Mat G = random_spd(rng, p);
        Mat Pinv(G.size(), kSentinel), scratch(G.size());
        ASSERT_EQ(velm_chol_inv(G.data(), Pinv.data(), scratch.data(), p), VELM_OK);
        Mat identity(G.size(), 0.0);
        for (i64 i = 0; i < p; ++i) identity[i * p + i] = 1.0;
        expect_near_all(ref_matmul(G, Pinv, p, p, p), identity, 1e-11);
    }
}

TEST(CholSolveAndInv, PassFailureThroughWithoutWritingOutputs) {
    const Mat G = {1, 2, 2, 1}, g = {1, 1};
    Mat coef(2, kSentinel), Pinv(4, kSentinel), scratch(4);
    EXPECT_EQ(velm_chol_solve(G.data(), g.data(), coef.data(), scratch.data(), 2),
              VELM_ERR_NOT_POSITIVE_DEFINITE);
    EXPECT_EQ(velm_chol_inv(G.data(), Pinv.data(), scratch.data(), 2),
              VELM_ERR_NOT_POSITIVE_DEFINITE);
    expect_sentinel_from(coef, 0);
    expect_sentinel_from(Pinv, 0);
}

}  // namespace
