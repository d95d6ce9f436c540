// Tests of the Kalman building blocks against naive formulas and small worked cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "_common/velm_perturbation.h"
#include "dense_reference.h"
#include "kalman/kalman.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

namespace {

using ref::Mat;
using ref::near;
using ref::tr;

constexpr double kTol = 1e-12;
constexpr double kUntouched = -7.25e77;

struct Dims {
    int64_t n, m, k;
};

// A random model of one period: symmetric P_pred, a lower factor L of S = L L', and the
// optimal gain for S = C P_pred C' + R.
struct Period {
    int64_t n, m, k;
    Mat A, B, C, Q, R, P, BQBT, PCt, S, L, K;

    explicit Period(const Dims& d) : n(d.n), m(d.m), k(d.k) {
        ref::Rng rng(1000 + 100 * n + 10 * m + k);
        A = rng.mat(n, n);
        B = rng.mat(n, k);
        C = rng.mat(m, n);
        Q = rng.spd(k);
        R = rng.spd(m);
        P = rng.spd(n);
        BQBT = B * Q * tr(B);
        PCt = P * tr(C);
        S = C * P * tr(C) + R;
        bool ok = false;
        L = ref::chol_lower(S, &ok);
        K = PCt * ref::inverse(S);
    }
};

class BlocksOnRandomModel : public ::testing::TestWithParam<Dims> {};

TEST_P(BlocksOnRandomModel, CovariancesMatchTheirFormulas) {
    const Period p(GetParam());
    const int64_t n = p.n, m = p.m;
    std::vector<double> out(n * n), temp_nn(n * n), temp_mn(m * n), S(m * m), PCt(n * m);

    kf_predict_cov(p.A.data(), p.P.data(), p.BQBT.data(), temp_nn.data(), out.data(), n);
    EXPECT_TRUE(near(out, p.A * p.P * tr(p.A) + p.BQBT, kTol));

    kf_measurement_cov(p.C.data(), p.P.data(), p.R.data(), temp_mn.data(), S.data(), n, m);
    EXPECT_TRUE(near(S, p.S, kTol));

    kf_pc_t(p.P.data(), p.C.data(), PCt.data(), n, m);
    EXPECT_TRUE(near(PCt, p.PCt, kTol));
}

TEST_P(BlocksOnRandomModel, GainSolvesAgainstTheFactor) {
    const Period p(GetParam());
    const int64_t n = p.n, m = p.m;
    std::vector<double> K(n * m), fbuf(m), bbuf(m);
    kf_gain_from_pc_t(p.L.data(), p.PCt.data(), fbuf.data(), bbuf.data(), K.data(), n, m);
    EXPECT_TRUE(near(K, p.K, 1e-10));
}

TEST_P(BlocksOnRandomModel, StateUpdateAndInnovation) {
    const Period p(GetParam());
    ref::Rng rng(7);
    const Mat x = rng.mat(p.n, 1), v = rng.mat(p.m, 1), Y = rng.mat(3, p.m);
    std::vector<double> out(p.n), innov(p.m);
    kf_state_update(x.data(), p.K.data(), v.data(), out.data(), p.n, p.m);
    EXPECT_TRUE(near(out, x + p.K * v, kTol));
    kf_row_minus_vec(Y.data(), 2, v.data(), innov.data(), p.m);
    EXPECT_TRUE(near(innov, ref::row(Y, 2) - v, kTol));
}

// With the optimal gain both forms give P - K C P; for any other gain only the Joseph form
// gives (I - K C) P (I - K C)' + K R K'.
TEST_P(BlocksOnRandomModel, JosephAndStandardForms) {
    const Period p(GetParam());
    const int64_t n = p.n, m = p.m;
    std::vector<double> KC(n * n), IKC(n * n), temp_nn(n * n), temp_nm(n * m), joseph(n * n),
        simple(n * n);
    const Mat standard = p.P - p.K * p.C * p.P;
    kf_joseph_cov(p.K.data(), p.C.data(), p.P.data(), p.R.data(), KC.data(), IKC.data(),
                  temp_nn.data(), temp_nm.data(), joseph.data(), n, m);
    kf_simple_cov(p.K.data(), p.PCt.data(), p.P.data(), simple.data(), n, m);
    EXPECT_TRUE(near(joseph, standard, 1e-10));
    EXPECT_TRUE(near(simple, standard, 1e-10));

    const Mat K_other = p.K + 0.3 * ref::Rng(3).mat(n, m);
    const Mat I_KC = ref::identity(n) - K_other * p.C;
    kf_joseph_cov(K_other.data(), p.C.data(), p.P.data(), p.R.data(), KC.data(), IKC.data(),
                  temp_nn.data(), temp_nm.data(), joseph.data(), n, m);
    EXPECT_TRUE(near(joseph, I_KC * p.P * tr(I_KC) + K_other * p.R * tr(K_other), kTol));

    // The Joseph form is exact algebra for any P, also an asymmetric one.
    const Mat P_asym = p.P + 0.2 * ref::Rng(5).mat(n, n);
    kf_joseph_cov(K_other.data(), p.C.data(), P_asym.data(), p.R.data(), KC.data(), IKC.data(),
                  temp_nn.data(), temp_nm.data(), joseph.data(), n, m);
    EXPECT_TRUE(near(joseph, I_KC * P_asym * tr(I_KC) + K_other * p.R * tr(K_other), kTol));
}

TEST_P(BlocksOnRandomModel, ShockProjection) {
    const Period p(GetParam());
    std::vector<double> temp_km(p.k * p.m), M(p.k * p.m);
    kf_build_shock_projection(p.B.data(), p.C.data(), p.Q.data(), temp_km.data(), M.data(), p.n,
                              p.k, p.m);
    EXPECT_TRUE(near(M, p.Q * tr(p.B) * tr(p.C), kTol));
}

INSTANTIATE_TEST_SUITE_P(Dims, BlocksOnRandomModel,
                         ::testing::Values(Dims{1, 1, 1}, Dims{3, 2, 2}, Dims{4, 3, 1},
                                           Dims{2, 4, 3}, Dims{5, 1, 5}));

// ---- worked cases ----------------------------------------------------------------------------

TEST(CholSolveRow, ScalarFactorDividesBySquareAndWritesOnlyItsRow) {
    const double L[] = {2.0};
    const double B[] = {3.0, 8.0};
    double fbuf[1], bbuf[1];
    double out[] = {kUntouched, kUntouched};
    kf_chol_solve_row(L, B, 1, fbuf, bbuf, out, 1);
    EXPECT_EQ(out[0], kUntouched);
    EXPECT_DOUBLE_EQ(out[1], 2.0);
}

TEST(CholSolveRow, ReadsOnlyTheLowerTriangle) {
    // L L' = [[4, 2], [2, 5]]; the cell above the diagonal is garbage.
    const double L[] = {2.0, 99.0, 1.0, 2.0};
    const double B[] = {6.0, 7.0};
    double fbuf[2], bbuf[2], out[2];
    kf_chol_solve_row(L, B, 0, fbuf, bbuf, out, 2);
    // [[4, 2], [2, 5]] z = [6, 7]  ->  z = [1, 1]
    EXPECT_DOUBLE_EQ(out[0], 1.0);
    EXPECT_DOUBLE_EQ(out[1], 1.0);
}

TEST(GainFromPcT, OneObservableDividesEachRowByS) {
    const double L[] = {2.0};
    const double PCt[] = {1.0, 2.0, -3.0};
    double fbuf[1], bbuf[1], K[3];
    kf_gain_from_pc_t(L, PCt, fbuf, bbuf, K, 3, 1);
    EXPECT_DOUBLE_EQ(K[0], 0.25);
    EXPECT_DOUBLE_EQ(K[1], 0.5);
    EXPECT_DOUBLE_EQ(K[2], -0.75);
}

TEST(IdentityMinus, ZeroGivesIdentityAndGeneralMatrixIsNegated) {
    const double zero[9] = {};
    double out[9];
    kf_identity_minus(zero, out, 3);
    EXPECT_TRUE(near(out, ref::identity(3), 0.0));
    const double A[] = {1.0, 2.0, 3.0, 4.0};
    kf_identity_minus(A, out, 2);
    EXPECT_TRUE(near(out, ref::from(2, 2, {0.0, -2.0, -3.0, -3.0}), 0.0));
}

TEST(ShockProjection, NoStatesGivesZeros) {
    const double Q[] = {2.0, 0.5, 0.5, 1.0};
    double temp_km[4], M[4];
    std::fill(M, M + 4, kUntouched);
    kf_build_shock_projection(nullptr, nullptr, Q, temp_km, M, 0, 2, 2);
    EXPECT_TRUE(ref::all_equal(M, M + 4, 0.0));
}

TEST(PcT, EmptyDimensionWritesNothing) {
    const double P[] = {1.0};
    double out[2] = {kUntouched, kUntouched};
    kf_pc_t(P, nullptr, out, 1, 0);
    kf_pc_t(nullptr, nullptr, out, 0, 2);
    EXPECT_TRUE(ref::all_equal(out, out + 2, kUntouched));
}

// Sizes whose formulas overflow i64 (or start from a negative dimension) come back as -1, which no
// allocation can satisfy, instead of wrapping around to a plausible or negative count.
struct Oversize {
    int64_t a, b, c, d;
};

class ArenaSizeOverflow : public ::testing::TestWithParam<Oversize> {};

TEST_P(ArenaSizeOverflow, ReportsMinusOne) {
    const auto [a, b, c, d] = GetParam();
    EXPECT_EQ(kf_arena_size(a, b, c).n_float, -1);
    EXPECT_EQ(ekf_arena_size(a, b, c).n_float, -1);
    EXPECT_EQ(ukf_arena_size(a, b, c, d).n_float, -1);
    EXPECT_EQ(kf_stationary_covariance_arena_size(a, b + c).n_float, -1);
    EXPECT_EQ(velm_second_order_step_scratch(a, b + c), -1);
}

constexpr int64_t kBig = int64_t{1} << 32, kHuge = INT64_MAX / 2;

INSTANTIATE_TEST_SUITE_P(Dims, ArenaSizeOverflow,
                         ::testing::Values(Oversize{kBig, 1, 1, 1}, Oversize{kHuge, 0, 0, 1},
                                           Oversize{-1, 1, 1, 1}, Oversize{INT64_MAX, 0, 0, 0}));

// A loop's size is the count of its own carve: carving a real arena takes exactly the cells the
// sizing function reports, and the last block ends at the arena's end.
TEST(ArenaSize, CarveTakesExactlyTheReportedCells) {
    using velm_steps::FilterKind;
    for (const auto& [n, m, k] : std::vector<std::tuple<int64_t, int64_t, int64_t>>{
             {1, 1, 1}, {4, 2, 3}, {2, 5, 1}}) {
        for (const FilterKind kind : {FilterKind::linear, FilterKind::extended}) {
            const int64_t size = kind == FilterKind::linear ? kf_arena_size(n, m, k).n_float
                                                            : ekf_arena_size(n, m, k).n_float;
            std::vector<double> arena(static_cast<size_t>(size));
            velm_arena::ArenaCarver carver{arena.data()};
            const velm_steps::FilterBlocks b = velm_steps::kf_filter_carve(carver, kind, n, m, k);
            f64* last = b.temp_km;
            int64_t last_cells = k * m;
            if (kind == FilterKind::linear) {  // then the low-rank route's and the tail's blocks
                velm_chandrasekhar::low_rank_carve(carver, n, m);
                last = velm_tail::tail_carve(carver, n, m).Bx;
                last_cells = velm_tail::kChunk * n;
            }
            EXPECT_EQ(carver.taken().count(), size);
            EXPECT_EQ(last + last_cells, arena.data() + size);
        }
    }
}

TEST(ArenaSize, LargestExactCountsStillFit) {
    // 4 n^2 + n k just below 2^63: no false overflow
    const int64_t n = int64_t{1} << 30;
    EXPECT_EQ(kf_stationary_covariance_arena_size(n, 0).n_float, 4 * n * n);
    EXPECT_EQ(velm_second_order_step_scratch(n, 0), n * n);
}

}  // namespace

// The settle test's running maximum: a NaN anywhere in a matrix keeps it NaN, whatever follows,
// so that a NaN never reads as a change within rounding.
TEST(SettleFold, NaNSticksWhereverItComes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::vector<double>& changes : std::vector<std::vector<double>>{
             {nan, 0.0, 1e-20}, {1e-3, nan, 0.0}, {0.0, 1e-20, nan}}) {
        double largest = 0.0;
        for (const double change : changes) largest = velm_settle::settle_fold(largest, change);
        EXPECT_TRUE(std::isnan(largest));
    }
    double largest = 0.0;
    for (const double change : {1e-20, 3e-16, 0.0, 2e-16}) {
        largest = velm_settle::settle_fold(largest, change);
    }
    EXPECT_EQ(largest, 3e-16);
}
