// Tests of the dense products, matrix-vector products and element-wise kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "_common/velm_linalg.h"
#include "linalg_testing.h"

namespace {

using namespace linalg_testing;

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

// Every remainder of the register blocking (blocks of 6 rows and panels of 4 or 8 columns with
// two- or four-lane vectors, 8 rows and 16 columns with eight, slices of 128 steps of the sum),
// the ragged ends under one vector that join the panel before them (m = 9, 10, 17, 18, ...), and
// both sides of the small-product cut-off.
TEST(Products, BlockingRemaindersMatchReference) {
    std::mt19937_64 rng(20240612);
    for (const i64 n : {1, 5, 6, 7, 11, 12, 13, 17, 25}) {
        for (const i64 m : {1, 2, 3, 4, 5, 7, 8, 9, 10, 12, 16, 17, 18, 24, 25, 33}) {
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
    for (const i64 n : {1, 2, 3, 5, 7, 9, 13, 19, 20, 31, 40, 50}) {
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
        for (const i64 m : {0, 1, 3, 4, 5, 7, 8, 9, 15, 17, 64}) {
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

// An infinity in any column of A or x gives infinite sums, never NaN: the lanes that a ragged
// row end reads a second time are cleared, not multiplied by zero (0 * inf is NaN).
TEST(Matvec, InfinityInAnyColumnGivesInfiniteSums) {
    std::mt19937_64 rng(19);
    const f64 inf = std::numeric_limits<f64>::infinity();
    const i64 n = 13;  // a block of eight rows, one of four and a single row
    for (const i64 m : {3, 9, 10, 15, 17, 30}) {
        Mat A = random_mat(rng, n, m), x = random_mat(rng, m, 1);
        for (f64& a : A) a = std::fabs(a) + 0.5;
        for (f64& v : x) v = std::fabs(v) + 0.5;
        for (i64 j = 0; j < m; ++j) {
            SCOPED_TRACE(::testing::Message() << "m=" << m << " column " << j);
            Mat A_inf = A, x_inf = x, out(static_cast<size_t>(n));
            for (i64 i = 0; i < n; ++i) A_inf[i * m + j] = inf;
            velm_matvec(A_inf.data(), x.data(), out.data(), n, m);
            for (const f64 v : out) EXPECT_EQ(v, inf);
            x_inf[j] = inf;
            velm_matvec(A.data(), x_inf.data(), out.data(), n, m);
            for (const f64 v : out) EXPECT_EQ(v, inf);
        }
    }
}

// The settle rule's measure of a change: the largest |B - A| scale_i scale_j, on every table and
// through the ragged row ends; an exact repeat is no change even with an infinite scale, and a
// NaN anywhere is NaN.
TEST(MaxScaledChange, LargestScaledChangeRepeatsAndNaN) {
    std::mt19937_64 rng(23);
    const f64 inf = std::numeric_limits<f64>::infinity();
    for (const i64 n : {1, 5, 19, 20, 21, 24, 30}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n);
        const Mat A = random_mat(rng, n, n);
        Mat B = random_mat(rng, n, n), scale = random_mat(rng, n, 1);
        for (f64& s : scale) s = std::fabs(s) + 0.1;
        f64 expected = 0.0;
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < n; ++j) {
                const f64 change = std::fabs(B[i * n + j] - A[i * n + j]) * scale[i] * scale[j];
                expected = std::max(expected, change);
            }
        }
        EXPECT_NEAR(velm_max_scaled_change(A.data(), B.data(), scale.data(), n), expected,
                    1e-15 * expected);
        // the last state has no scale: its row and column repeat exactly, so nothing changes
        Mat B_repeat = B;
        scale[n - 1] = inf;
        for (i64 i = 0; i < n; ++i) {
            B_repeat[i * n + n - 1] = A[i * n + n - 1];
            B_repeat[(n - 1) * n + i] = A[(n - 1) * n + i];
        }
        const f64 repeated = velm_max_scaled_change(A.data(), B_repeat.data(), scale.data(), n);
        EXPECT_TRUE(std::isfinite(repeated)) << repeated;
        B_repeat[(n - 1) * n] += 1.0;  // a change where the scale is infinite
        EXPECT_EQ(velm_max_scaled_change(A.data(), B_repeat.data(), scale.data(), n), inf);
        B[n * n - 1] = std::numeric_limits<f64>::quiet_NaN();
        EXPECT_TRUE(std::isnan(velm_max_scaled_change(A.data(), B.data(), scale.data(), n)));
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

    // Small orders pair by pair; larger ones in tiles of the lane count (2, 4 or 8) with every
    // ragged end.
    std::mt19937_64 rng(11);
    for (const i64 n : {9, 20, 21, 22, 23, 24, 31, 41}) {
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

}  // namespace
