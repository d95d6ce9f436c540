// Tests of the process-noise covariance and the doubling solver of P = A P A' + B Q B'.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dense_reference.h"
#include "kalman/kalman.h"

namespace {

using ref::Mat;
using ref::near;
using ref::tr;

constexpr double kUntouched = -7.25e77;
constexpr int64_t kPad = 8;  // sentinel cells after every buffer

struct Solve {
    int status;
    std::vector<double> out;    // n * ld_out cells, then kPad sentinels
    std::vector<double> arena;  // the reported size, then kPad sentinels
};

Solve solve(const Mat& A, const Mat& B, const Mat& Q, double tol, int64_t max_iter,
            int64_t ld_out = -1) {
    const int64_t n = A.rows, k = B.cols;
    if (ld_out < 0) ld_out = n;
    const arena_size size = kf_stationary_covariance_arena_size(n, k);
    Solve s;
    s.out.assign(n * ld_out + kPad, kUntouched);
    s.arena.assign(size.n_float + kPad, kUntouched);
    s.status = kf_stationary_covariance(A.data(), B.data(), Q.data(), tol, max_iter,
                                        s.arena.data(), s.out.data(), n, k, ld_out);
    return s;
}

// vec(P) = (I - A (x) A)^-1 vec(B Q B'), row-major vec: an independent direct solution.
Mat kronecker_lyapunov(const Mat& A, const Mat& BQBT) {
    const int64_t n = A.rows;
    Mat K = ref::identity(n * n);
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < n; ++j)
            for (int64_t a = 0; a < n; ++a)
                for (int64_t b = 0; b < n; ++b) K(i * n + j, a * n + b) -= A(i, a) * A(j, b);
    Mat vec_q(n * n, 1);
    vec_q.a = BQBT.a;
    Mat P = ref::inverse(K) * vec_q;
    P.rows = n;
    P.cols = n;
    return P;
}

TEST(BuildBqbt, MatchesFormulaAndIsSymmetricForNonSymmetricQ) {
    ref::Rng rng(11);
    const Mat B = rng.mat(4, 3), Q = rng.mat(3, 3);  // Q not symmetric
    std::vector<double> temp_nk(12), out(16);
    kf_build_bqbt(B.data(), Q.data(), temp_nk.data(), out.data(), 4, 3);
    EXPECT_TRUE(near(out, B * ref::sym(Q) * tr(B), 1e-14));
    EXPECT_TRUE(ref::is_exactly_symmetric(out.data(), 4));
}

TEST(BuildBqbt, NoShocksGivesZeros) {
    std::vector<double> out(4, kUntouched);
    kf_build_bqbt(nullptr, nullptr, nullptr, out.data(), 2, 0);
    EXPECT_TRUE(ref::all_equal(out.data(), out.data() + 4, 0.0));
}

TEST(StationaryArena, SizeIsFourSquaresPlusNk) {
    for (const auto& [n, k] : std::vector<std::pair<int64_t, int64_t>>{{1, 1}, {3, 2}, {5, 7}}) {
        const arena_size size = kf_stationary_covariance_arena_size(n, k);
        EXPECT_EQ(size.n_float, 4 * n * n + n * k);
        EXPECT_EQ(size.n_int, 0);
    }
}

struct Scalar {
    double a, q;
};

class ScalarClosedForm : public ::testing::TestWithParam<Scalar> {};

TEST_P(ScalarClosedForm, ConvergesToQOverOneMinusASquared) {
    const auto [a, q] = GetParam();
    const Solve s = solve(ref::from(1, 1, {a}), ref::from(1, 1, {1.0}), ref::from(1, 1, {q}),
                          1e-12, 64);
    ASSERT_EQ(s.status, KF_OK);
    EXPECT_NEAR(s.out[0], q / (1.0 - a * a), 1e-11 * q / (1.0 - a * a));
}

INSTANTIATE_TEST_SUITE_P(Values, ScalarClosedForm,
                         ::testing::Values(Scalar{0.0, 2.0}, Scalar{0.5, 1.0},
                                           Scalar{-0.9, 0.3}, Scalar{0.999, 1e-3},
                                           Scalar{0.95, 40.0}));

TEST(Stationary, ZeroTransitionConvergesOnTheFirstPassToBqbt) {
    ref::Rng rng(5);
    const Mat A(3, 3), B = rng.mat(3, 2), Q = rng.spd(2);
    const Solve s = solve(A, B, Q, 1e-12, 1);
    ASSERT_EQ(s.status, KF_OK);
    EXPECT_TRUE(near(s.out.data(), B * Q * tr(B), 1e-14));
}

TEST(Stationary, MatchesKroneckerSolutionAndTheScratchStaysInsideTheArena) {
    ref::Rng rng(21);
    const Mat B = rng.mat(4, 2), Q = rng.spd(2);
    for (const double radius : {0.5, 0.95}) {
        SCOPED_TRACE(radius);
        const Mat A = (2.0 * radius) * rng.stable(4);  // row sums at most radius
        const Solve s = solve(A, B, Q, 1e-12, 64);
        ASSERT_EQ(s.status, KF_OK);
        const Mat want = kronecker_lyapunov(A, B * Q * tr(B));
        EXPECT_TRUE(near(s.out.data(), want, 1e-10));
        EXPECT_TRUE(ref::is_exactly_symmetric(s.out.data(), 4));
        const double* pad = s.arena.data() + s.arena.size() - kPad;
        EXPECT_TRUE(ref::all_equal(pad, pad + kPad, kUntouched));
    }
}

TEST(Stationary, NonSymmetricQGivesSymmetricSolution) {
    ref::Rng rng(8);
    const Mat A = rng.stable(3), B = rng.mat(3, 3), Q = rng.spd(3) + 0.2 * rng.mat(3, 3);
    const Solve s = solve(A, B, Q, 1e-12, 64);
    ASSERT_EQ(s.status, KF_OK);
    EXPECT_TRUE(ref::is_exactly_symmetric(s.out.data(), 3));
    EXPECT_TRUE(near(s.out.data(), kronecker_lyapunov(A, B * ref::sym(Q) * tr(B)), 1e-10));
}

// Every run that must end with KF_ERR_NO_CONVERGENCE, with the value the packed iterate's first
// cell holds.
struct Failure {
    std::string name;
    double a, q, tol;
    int64_t max_iter;
    double first_cell;
};

class StationaryFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(StationaryFailure, ReturnsNoConvergenceWithTheIterateLeftInOut) {
    const Failure& f = GetParam();
    const int64_t ld_out = 3;  // wider rows: a failed run must not re-lay the iterate
    const Solve s = solve(ref::from(1, 1, {f.a}), ref::from(1, 1, {1.0}),
                          ref::from(1, 1, {f.q}), f.tol, f.max_iter, ld_out);
    EXPECT_EQ(s.status, KF_ERR_NO_CONVERGENCE);
    if (std::isinf(f.first_cell)) {
        EXPECT_EQ(s.out[0], f.first_cell);
    } else if (!std::isnan(f.first_cell)) {  // NaN: the value is not pinned down
        EXPECT_NEAR(s.out[0], f.first_cell, 1e-12 * std::fabs(f.first_cell));
    }
    EXPECT_TRUE(ref::all_equal(s.out.data() + 1, s.out.data() + s.out.size(), kUntouched));
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, StationaryFailure,
    ::testing::Values(
        // A = 1: each pass doubles P, the correction stays half of the entry; 2^5 after 5
        Failure{"UnitRoot", 1.0, 1.0, 1e-12, 5, 32.0},
        Failure{"NoPasses", 0.5, 2.0, 1e-12, 0, 2.0},
        Failure{"NegativeBound", 0.5, 2.0, 1e-12, -4, 2.0},
        Failure{"NegativeTolerance", 0.5, 1.0, -1.0, 64, 4.0 / 3.0},
        Failure{"NaNTolerance", 0.5, 1.0, kNaN, 64, 4.0 / 3.0},
        // the first correction A P A' = 1e400 is infinite: P keeps B Q B'
        Failure{"CorrectionOverflow", 1e200, 1.0, 1e-12, 64, 1.0},
        // the correction is finite, the updated entry 3e308 is not and stays in out
        Failure{"EntryOverflow", 1.0, 1.5e308, 1e-12, 64, kInf},
        Failure{"NaNTransition", kNaN, 1.0, 1e-12, 64, 1.0},
        // explosive: an overflow ends the run long before the bound
        Failure{"Explosive", 3.0, 1.0, 1e-12, 64, kNaN}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

// A tolerance that can never be met used to keep a huge iteration bound busy for years; the run
// must stop once A^(2^j) has underflowed and the passes no longer change anything.
class StationaryUnreachableTolerance : public ::testing::TestWithParam<double> {};

TEST_P(StationaryUnreachableTolerance, StopsOnceThePassesChangeNothing) {
    ref::Rng rng(17);
    const Mat A = rng.stable(3), B = rng.mat(3, 2), Q = rng.spd(2);
    const Solve s = solve(A, B, Q, GetParam(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(s.status, KF_ERR_NO_CONVERGENCE);
    EXPECT_TRUE(near(s.out.data(), kronecker_lyapunov(A, B * Q * tr(B)), 1e-10));
}

INSTANTIATE_TEST_SUITE_P(Tolerances, StationaryUnreachableTolerance,
                         ::testing::Values(0.0, -1.0, kNaN));

// Without noise P stays 0 while the powers of a cyclic permutation never repeat themselves by
// squaring (A^2, A^4 = A, ...): the run must still end at the first pass that adds nothing. With
// a tolerance of 0, P = 0 solves the equation exactly.
TEST_P(StationaryUnreachableTolerance, NoiseFreePermutationStopsAtOnce) {
    Mat A(3, 3);
    for (int64_t i = 0; i < 3; ++i) A(i, (i + 2) % 3) = 1.0;
    const double tol = GetParam();
    const Solve s = solve(A, Mat(3, 1), Mat(1, 1), tol, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(s.status, tol == 0.0 ? KF_OK : KF_ERR_NO_CONVERGENCE);
    EXPECT_TRUE(ref::all_equal(s.out.data(), s.out.data() + 9, 0.0));
}

class StationaryStride : public ::testing::TestWithParam<int64_t> {};

TEST_P(StationaryStride, WidensRowsWithZeroPadding) {
    const int64_t n = 3, ld_out = n + GetParam();
    ref::Rng rng(13);
    const Mat A = rng.stable(n), B = rng.mat(n, 2), Q = rng.spd(2);
    const Solve packed = solve(A, B, Q, 1e-12, 64);
    const Solve wide = solve(A, B, Q, 1e-12, 64, ld_out);
    ASSERT_EQ(wide.status, KF_OK);
    for (int64_t r = 0; r < n; ++r) {
        for (int64_t c = 0; c < n; ++c)
            EXPECT_EQ(wide.out[r * ld_out + c], packed.out[r * n + c]) << r << "," << c;
        const double* padding = wide.out.data() + r * ld_out + n;
        EXPECT_TRUE(ref::all_equal(padding, padding + (ld_out - n), 0.0));
    }
    const double* after = wide.out.data() + n * ld_out;
    EXPECT_TRUE(ref::all_equal(after, after + kPad, kUntouched));
}

INSTANTIATE_TEST_SUITE_P(ExtraColumns, StationaryStride, ::testing::Values(0, 1, 2, 5));

}  // namespace
