// Tests of the dense kernels and the Cholesky family against naive reference implementations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "_common/velm_linalg.h"

namespace {

using Mat = std::vector<f64>;

constexpr f64 kSentinel = 777.0;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
constexpr f64 kInf = std::numeric_limits<f64>::infinity();

Mat random_mat(std::mt19937_64& rng, i64 rows, i64 cols) {
    std::uniform_real_distribution<f64> unit(-1.0, 1.0);
    Mat out(static_cast<size_t>(rows * cols));
    for (f64& v : out) v = unit(rng);
    return out;
}

// Naive reference: out(i,j) = sum_k A(i,k) B(k,j), A n x p, B p x m.
Mat ref_matmul(const Mat& A, const Mat& B, i64 n, i64 p, i64 m) {
    Mat out(static_cast<size_t>(n * m), 0.0);
    for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < m; ++j)
            for (i64 k = 0; k < p; ++k) out[i * m + j] += A[i * p + k] * B[k * m + j];
    return out;
}

Mat ref_transpose(const Mat& A, i64 rows, i64 cols) {
    Mat out(A.size());
    for (i64 i = 0; i < rows; ++i)
        for (i64 j = 0; j < cols; ++j) out[j * rows + i] = A[i * cols + j];
    return out;
}

// Symmetric positive definite test matrix: X^T X / n + n * I-ish shift for conditioning.
Mat random_spd(std::mt19937_64& rng, i64 n) {
    const Mat X = random_mat(rng, n, n);
    Mat S = ref_matmul(ref_transpose(X, n, n), X, n, n, n);
    for (i64 i = 0; i < n; ++i) S[i * n + i] += 0.5;
    return S;
}

// Output buffer of `used` cells followed by a guard, all holding the sentinel.
Mat guarded(i64 used) { return Mat(static_cast<size_t>(used) + 4, kSentinel); }

void expect_near_all(const Mat& actual, const Mat& expected, f64 tol) {
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "at " << i;
}

void expect_sentinel_from(const Mat& buffer, size_t first) {
    for (size_t i = first; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kSentinel) << "at " << i;
}

// ==== products =================================================================================

struct Shape {
    i64 n, p, m;
};

class ProductTest : public ::testing::TestWithParam<Shape> {
  protected:
    std::mt19937_64 rng{20240611};
};

TEST_P(ProductTest, MatmulMatchesReference) {
    const auto [n, p, m] = GetParam();
    const Mat A = random_mat(rng, n, p), B = random_mat(rng, p, m);
    Mat out = guarded(n * m);
    velm_matmul(A.data(), B.data(), out.data(), n, p, m);
    expect_near_all(out, ref_matmul(A, B, n, p, m), 1e-12);
    expect_sentinel_from(out, static_cast<size_t>(n * m));
}

TEST_P(ProductTest, MatmulAtbMatchesReference) {
    const auto [n, p, m] = GetParam();
    const Mat A = random_mat(rng, n, p), B = random_mat(rng, n, m);
    Mat out = guarded(p * m);
    velm_matmul_atb(A.data(), B.data(), out.data(), n, p, m);
    expect_near_all(out, ref_matmul(ref_transpose(A, n, p), B, p, n, m), 1e-12);
    expect_sentinel_from(out, static_cast<size_t>(p * m));
}

TEST_P(ProductTest, MatmulAbtAndPlusCMatchReference) {
    const auto [n, p, m] = GetParam();
    const Mat A = random_mat(rng, n, p), B = random_mat(rng, m, p), C = random_mat(rng, n, m);
    Mat expected = ref_matmul(A, ref_transpose(B, m, p), n, p, m);
    Mat out = guarded(n * m);
    velm_matmul_abt(A.data(), B.data(), out.data(), n, p, m);
    expect_near_all(out, expected, 1e-12);
    expect_sentinel_from(out, static_cast<size_t>(n * m));

    for (size_t i = 0; i < expected.size(); ++i) expected[i] += C[i];
    Mat out_c = guarded(n * m);
    velm_matmul_abt_plus_c(A.data(), B.data(), C.data(), out_c.data(), n, p, m);
    expect_near_all(out_c, expected, 1e-12);
    expect_sentinel_from(out_c, static_cast<size_t>(n * m));
}

TEST_P(ProductTest, MatvecAndPlusVecMatchReference) {
    const auto [n, p, m] = GetParam();
    (void)m;
    const Mat A = random_mat(rng, n, p), x = random_mat(rng, p, 1), b = random_mat(rng, n, 1);
    Mat expected = ref_matmul(A, x, n, p, 1);
    Mat out = guarded(n);
    velm_matvec(A.data(), x.data(), out.data(), n, p);
    expect_near_all(out, expected, 1e-12);
    expect_sentinel_from(out, static_cast<size_t>(n));

    for (size_t i = 0; i < expected.size(); ++i) expected[i] += b[i];
    Mat out_b = guarded(n);
    velm_matvec_plus_vec(A.data(), x.data(), b.data(), out_b.data(), n, p);
    expect_near_all(out_b, expected, 1e-12);
    expect_sentinel_from(out_b, static_cast<size_t>(n));
}

// Zero dimensions: p = 0 gives zeros (or C, b), n = 0 or m = 0 writes nothing, and matmul_atb with
// n = 0 clears its p x m output; the reference covers each since its sums start at 0.
INSTANTIATE_TEST_SUITE_P(Shapes, ProductTest,
                         ::testing::Values(Shape{1, 1, 1}, Shape{2, 3, 4}, Shape{5, 1, 3},
                                           Shape{7, 9, 2}, Shape{13, 17, 11}, Shape{3, 0, 4},
                                           Shape{0, 3, 4}, Shape{3, 4, 0}, Shape{0, 0, 0}));

// Every remainder of the register blocking (blocks of 6 rows, panels of 8 and 4 columns or of 4
// and 2 without AVX2, slices of 128 steps of the sum) and both sides of the small-product cut-off.
TEST(Products, BlockingRemaindersMatchReference) {
    std::mt19937_64 rng(20240612);
    for (const i64 n : {1, 5, 6, 7, 12, 17}) {
        for (const i64 m : {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17}) {
            for (const i64 p : {1, 2, 9, 128, 129, 300}) {
                SCOPED_TRACE(::testing::Message() << "n=" << n << " p=" << p << " m=" << m);
                const Mat A = random_mat(rng, n, p), B = random_mat(rng, p, m);
                const Mat Bt = ref_transpose(B, p, m), C = random_mat(rng, n, m);
                const Mat AB = ref_matmul(A, B, n, p, m);

                Mat out = guarded(n * m);
                velm_matmul(A.data(), B.data(), out.data(), n, p, m);
                expect_near_all(out, AB, 1e-12);
                expect_sentinel_from(out, static_cast<size_t>(n * m));

                Mat out_abt = guarded(n * m);
                velm_matmul_abt(A.data(), Bt.data(), out_abt.data(), n, p, m);
                expect_near_all(out_abt, AB, 1e-12);
                expect_sentinel_from(out_abt, static_cast<size_t>(n * m));

                Mat out_c = guarded(n * m), ABC = AB;
                for (size_t i = 0; i < ABC.size(); ++i) ABC[i] += C[i];
                velm_matmul_abt_plus_c(A.data(), Bt.data(), C.data(), out_c.data(), n, p, m);
                expect_near_all(out_c, ABC, 1e-12);
                expect_sentinel_from(out_c, static_cast<size_t>(n * m));

                // C - A B and C - A B', the second in place on C
                Mat CmAB = C;
                for (size_t i = 0; i < CmAB.size(); ++i) CmAB[i] -= AB[i];
                Mat out_minus = guarded(n * m);
                velm_c_minus_matmul(A.data(), B.data(), C.data(), out_minus.data(), n, p, m);
                expect_near_all(out_minus, CmAB, 1e-12);
                expect_sentinel_from(out_minus, static_cast<size_t>(n * m));
                Mat in_place = C;
                velm_c_minus_matmul_abt(A.data(), Bt.data(), in_place.data(), in_place.data(), n,
                                        p, m);
                expect_near_all(in_place, CmAB, 1e-12);

                // A' B with A' = the p x n matrix At: out (n x m) = At' B
                const Mat At = ref_transpose(A, n, p);
                Mat out_atb = guarded(n * m);
                velm_matmul_atb(At.data(), B.data(), out_atb.data(), p, n, m);
                expect_near_all(out_atb, AB, 1e-12);
                expect_sentinel_from(out_atb, static_cast<size_t>(n * m));
            }
        }
    }
}

// Inputs may name the same array: A A (the stationary solver's squaring), A A' and C + A A'.
TEST(Products, SameArrayAsBothOperands) {
    std::mt19937_64 rng(7);
    for (const i64 n : {3, 6, 13, 30}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        const Mat A = random_mat(rng, n, n), C = random_mat(rng, n, n);
        const Mat AAt = ref_matmul(A, ref_transpose(A, n, n), n, n, n);
        Mat out(static_cast<size_t>(n * n));
        velm_matmul(A.data(), A.data(), out.data(), n, n, n);
        expect_near_all(out, ref_matmul(A, A, n, n, n), 1e-12);
        velm_matmul_abt(A.data(), A.data(), out.data(), n, n, n);
        expect_near_all(out, AAt, 1e-12);
        Mat AAtC = AAt;
        for (size_t i = 0; i < AAtC.size(); ++i) AAtC[i] += C[i];
        velm_matmul_abt_plus_c(A.data(), A.data(), C.data(), out.data(), n, n, n);
        expect_near_all(out, AAtC, 1e-12);
    }
}

// A P A' + Q with P and Q symmetric: the mirrored lower triangle matches the full product and
// is exactly symmetric, across the tiny cut-off, the row blocks and the panel remainders.
TEST(Products, SymmetricProductMirrorsItsLowerTriangle) {
    std::mt19937_64 rng(11);
    for (const i64 n : {1, 2, 3, 5, 7, 9, 13, 19, 20, 31, 50}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        const Mat A = random_mat(rng, n, n), P = random_spd(rng, n), Q = random_spd(rng, n);
        const Mat AP = ref_matmul(A, P, n, n, n);
        Mat expected = ref_matmul(AP, ref_transpose(A, n, n), n, n, n);
        for (size_t i = 0; i < expected.size(); ++i) expected[i] += Q[i];
        Mat out = guarded(n * n);
        velm_matmul_abt_plus_c_sym(AP.data(), A.data(), Q.data(), out.data(), n, n);
        expect_near_all(out, expected, 1e-11);
        expect_sentinel_from(out, static_cast<size_t>(n * n));
        for (i64 i = 0; i < n; ++i)
            for (i64 j = 0; j < i; ++j) EXPECT_EQ(out[i * n + j], out[j * n + i]);
    }
}

// Blocks of 4 rows and vector steps along the row, with every ragged end, small and large.
TEST(Matvec, RowAndColumnRemaindersMatchReference) {
    std::mt19937_64 rng(17);
    for (const i64 n : {1, 3, 4, 5, 8, 9, 13}) {
        for (const i64 m : {0, 1, 3, 4, 5, 7, 8, 9, 17, 64}) {
            SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m);
            const Mat A = random_mat(rng, n, m), x = random_mat(rng, m, 1);
            const Mat b = random_mat(rng, n, 1);
            Mat expected = ref_matmul(A, x, n, m, 1);
            Mat out = guarded(n);
            velm_matvec(A.data(), x.data(), out.data(), n, m);
            expect_near_all(out, expected, 1e-13);
            expect_sentinel_from(out, static_cast<size_t>(n));
            for (size_t i = 0; i < expected.size(); ++i) expected[i] += b[i];
            velm_matvec_plus_vec(A.data(), x.data(), b.data(), out.data(), n, m);
            expect_near_all(out, expected, 1e-13);
        }
    }
}

// ==== element-wise kernels =====================================================================

TEST(ZeroMat, ClearsOnlyNonEmptyBlocks) {
    Mat out = guarded(6);
    velm_zero_mat(out.data(), 2, 3);
    expect_near_all(out, Mat(6, 0.0), 0.0);
    expect_sentinel_from(out, 6);

    Mat untouched = guarded(0);
    velm_zero_mat(untouched.data(), 0, 3);
    velm_zero_mat(untouched.data(), 3, 0);
    velm_zero_mat(untouched.data(), -2, -2);  // the product of the extents would be 4
    velm_zero_mat(untouched.data(), -2, 3);
    expect_sentinel_from(untouched, 0);
}

TEST(SymInplace, ReplacesMirroredPairsByTheirMean) {
    Mat P = {1, 2, 4, 3};
    velm_sym_inplace(P.data(), 2);
    EXPECT_EQ(P, (Mat{1, 3, 3, 3}));

    // Small orders pair by pair; larger ones in tiles of 4 (2 without AVX2) with every ragged end.
    std::mt19937_64 rng(11);
    for (const i64 n : {9, 20, 21, 22, 23, 41}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        const Mat original = random_mat(rng, n, n);
        Mat sym = original;
        velm_sym_inplace(sym.data(), n);
        const Mat originalT = ref_transpose(original, n, n);
        for (i64 i = 0; i < n * n; ++i) {
            EXPECT_NEAR(sym[i], 0.5 * (original[i] + originalT[i]), 1e-15) << "at " << i;
        }
        EXPECT_EQ(sym, ref_transpose(sym, n, n));  // exactly symmetric

        Mat again = sym;
        velm_sym_inplace(again.data(), n);
        EXPECT_EQ(again, sym);
    }
}

TEST(Vsub, WorksOutOfPlaceAndInPlaceOnEitherOperand) {
    const Mat a = {5, 7, -1, 2.5, 0}, b = {1, 2, 3, 4, 5};
    const Mat expected = {4, 5, -4, -1.5, -5};
    Mat out = guarded(5);
    velm_vsub(a.data(), b.data(), out.data(), 5);
    expect_near_all(out, expected, 0.0);
    expect_sentinel_from(out, 5);

    Mat in_a = a;
    velm_vsub(in_a.data(), b.data(), in_a.data(), 5);
    EXPECT_EQ(in_a, expected);
    Mat in_b = b;
    velm_vsub(a.data(), in_b.data(), in_b.data(), 5);
    EXPECT_EQ(in_b, expected);

    Mat empty = guarded(0);
    velm_vsub(a.data(), b.data(), empty.data(), 0);
    expect_sentinel_from(empty, 0);
}

TEST(Dot, SumsProductsOfEveryLengthAndIsZeroWhenEmpty) {
    std::mt19937_64 rng(3);
    const Mat a = random_mat(rng, 41, 1), b = random_mat(rng, 41, 1);
    for (i64 n = 0; n <= 41; ++n) {
        f64 expected = 0.0;
        for (i64 i = 0; i < n; ++i) expected += a[i] * b[i];
        EXPECT_NEAR(velm_dot(a.data(), b.data(), n), expected, 1e-13) << "n=" << n;
    }
    EXPECT_EQ(velm_dot(a.data(), b.data(), 0), 0.0);
}

// ==== sort and median ==========================================================================

TEST(Sort, AgreesWithStdSort) {
    std::mt19937_64 rng(5);
    Mat values = random_mat(rng, 501, 1);
    values[10] = values[20] = values[30];  // duplicates
    values[40] = -0.0;
    values[41] = 0.0;
    Mat expected = values;
    std::sort(expected.begin(), expected.end());
    velm_sort_f64(values.data(), static_cast<i64>(values.size()));
    EXPECT_EQ(values, expected);
}

TEST(Sort, PutsNaNsAfterAllNumbers) {
    const std::vector<Mat> cases = {
        {kNaN, 3, 1, 2},
        {3, kNaN, 1, kNaN, -kInf, 2},
        {kNaN, kNaN, kNaN},
        {kInf, kNaN, -5, kNaN, 0},
    };
    for (Mat values : cases) {
        const size_t n_nan = static_cast<size_t>(std::count_if(values.begin(), values.end(),
                                                               [](f64 v) { return std::isnan(v); }));
        Mat numbers;
        for (f64 v : values)
            if (!std::isnan(v)) numbers.push_back(v);
        std::sort(numbers.begin(), numbers.end());

        velm_sort_f64(values.data(), static_cast<i64>(values.size()));
        for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(values[i], numbers[i]);
        for (size_t i = numbers.size(); i < values.size(); ++i) EXPECT_TRUE(std::isnan(values[i]));
        EXPECT_EQ(values.size() - numbers.size(), n_nan);
    }
}

// Large enough for qsort's general paths, where an inconsistent comparison scatters the NaNs.
TEST(Sort, ManyNaNsSortSafely) {
    std::mt19937_64 rng(9);
    std::bernoulli_distribution is_nan(0.3);
    Mat values = random_mat(rng, 4000, 1);
    for (f64& v : values)
        if (is_nan(rng)) v = kNaN;
    velm_sort_f64(values.data(), static_cast<i64>(values.size()));
    const auto first_nan =
        std::find_if(values.begin(), values.end(), [](f64 v) { return std::isnan(v); });
    EXPECT_TRUE(std::is_sorted(values.begin(), first_nan));
    EXPECT_TRUE(std::all_of(first_nan, values.end(), [](f64 v) { return std::isnan(v); }));
}

TEST(Median, OddEvenEmptyAndNaN) {
    Mat odd = {3, 1, 2};
    EXPECT_EQ(velm_median_f64(odd.data(), 3), 2.0);
    EXPECT_EQ(odd, (Mat{1, 2, 3}));

    Mat even = {4, 1, 3, 2};
    EXPECT_EQ(velm_median_f64(even.data(), 4), 2.5);

    Mat empty = {kSentinel};
    EXPECT_TRUE(std::isnan(velm_median_f64(empty.data(), 0)));
    EXPECT_EQ(empty[0], kSentinel);

    Mat with_nan = {kNaN, 5, 1};  // sorts to {1, 5, NaN}
    EXPECT_EQ(velm_median_f64(with_nan.data(), 3), 5.0);
}

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
    for (const i64 m : {1, 2, 3, 4, 5, 8, 17, 32, 33}) {
        for (const i64 rows : {1, 3, 4, 5, 9, 21}) {
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
