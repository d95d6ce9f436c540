// The missing-data filter and the smoothers in their arenas: nothing written past the counted
// size, the same log-likelihood from each, and the smoothed covariances symmetric, with gaps and
// with a sample long enough to settle.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "filter_harness.h"

namespace {

using namespace harness;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

kf_inputs inputs_of(const Model& md) {
    return kf_inputs{md.n, md.m, md.k, md.T, md.A.data(), md.B.data(), md.C.data(),
                     md.d.data(), md.Q.data(), md.R.data(), md.y.data(), md.x0.data(),
                     md.P0.data(), 1, 0, 0.0, 0, 0};
}

void expect_pad_untouched(const std::vector<double>& arena, int64_t cells) {
    for (int64_t i = cells; i < cells + kPad; ++i) EXPECT_EQ(arena[i], kUntouched);
}

struct Smoothed {
    std::vector<double> x, P, eps, eta;
    double loglik = 0.0;
    int status = KF_OK;
};

// The smoother in its counted arena, with the pad after it checked.
Smoothed smooth_in_arena(const kf_inputs& in) {
    const int64_t n = in.n, m = in.m, k = in.k, T = in.T;
    Smoothed s{std::vector<double>(T * n), std::vector<double>(T * n * n),
               std::vector<double>(T * k), std::vector<double>(T * m)};
    const int64_t cells = kfs_arena_size(n, m, k, T).n_float;
    std::vector<double> arena(cells + kPad, kUntouched);
    kfs_outputs out{s.x.data(), s.P.data(), s.eps.data(), s.eta.data(), &s.loglik};
    s.status = kfs_smoother(&in, arena.data(), &out);
    expect_pad_untouched(arena, cells);
    return s;
}

// (gaps, n): three states run the full recursion and settle; twelve from P0 = 10 I take the
// filter's rank-m steps mid-sample when the sample is complete.
class Smoother : public ::testing::TestWithParam<std::tuple<bool, int64_t>> {};

TEST_P(Smoother, StaysInItsArenaAndAgreesWithTheFilter) {
    const auto [gaps, states] = GetParam();
    Model md = states == 3 ? random_model(3, 2, 2, 150, 21) : random_model(states, 3, 3, 150, 22);
    if (states > 3) {
        for (int64_t i = 0; i < md.n; ++i) {
            for (int64_t j = 0; j < md.n; ++j) md.P0(i, j) = i == j ? 10.0 : 0.0;
        }
    }
    if (gaps) {
        for (int64_t t = 0; t < md.T; t += 7) md.y(t, t % 2) = kNaN;
        md.y(10, 0) = md.y(10, 1) = kNaN;
    }
    const kf_inputs in = inputs_of(md);
    const int64_t n = md.n, m = md.m, k = md.k, T = md.T;

    // the filter whose pass the smoother runs: the hot loop's for a complete sample
    double filter_loglik = 0.0;
    const int64_t filter_cells =
        (gaps ? kf_missing_arena_size(n, m, k) : kf_arena_size(n, m, k)).n_float;
    std::vector<double> filter_arena(filter_cells + kPad, kUntouched);
    kf_outputs none{};
    none.loglik = &filter_loglik;
    ASSERT_EQ((gaps ? kf_missing_loop : kf_hot_loop)(&in, filter_arena.data(), &none), KF_OK);
    expect_pad_untouched(filter_arena, filter_cells);

    const Smoothed smoothed = smooth_in_arena(in);
    ASSERT_EQ(smoothed.status, KF_OK);
    EXPECT_EQ(smoothed.loglik, filter_loglik);
    const std::vector<double>& P = smoothed.P;
    for (int64_t t = 0; t < T; ++t) {
        for (int64_t i = 0; i < n; ++i) {
            EXPECT_GT(P[t * n * n + i * n + i], 0.0);
            for (int64_t j = 0; j < i; ++j) EXPECT_EQ(P[t * n * n + i * n + j], P[t * n * n + j * n + i]);
        }
    }

    std::vector<double> z_x0(n, 0.5), z_eps(T * k, -0.25), z_eta(T * m, 1.0), xd(T * n),
        ed(T * k);
    for (int64_t i = 0; i < n; ++i) md.P0(i, i) += 10.0;  // P0 - B Q B' positive definite
    const kf_inputs sim_in = inputs_of(md);
    const kfs_variates z{z_x0.data(), z_eps.data(), z_eta.data()};
    kfs_draw draw{xd.data(), ed.data()};
    const int64_t sim_cells = kfs_simulation_arena_size(n, m, k, T).n_float;
    std::vector<double> sim_arena(sim_cells + kPad, kUntouched);
    ASSERT_EQ(kfs_simulation_smoother(&sim_in, &z, sim_arena.data(), &draw), KF_OK);
    expect_pad_untouched(sim_arena, sim_cells);
    for (double v : xd) EXPECT_TRUE(std::isfinite(v));
}

// With R diagonal and a gap, the missing-data filter and the smoother's forward pass take the
// rows one at a time: each in its arena, with the same log-likelihood whatever they keep.
TEST(MissingLoop, RowsOneAtATimeStayInTheArenaAndAgree) {
    Model md = random_model(7, 3, 2, 60, 23);
    for (int64_t i = 0; i < md.m; ++i) {
        for (int64_t j = 0; j < md.m; ++j) md.R(i, j) = i == j ? 0.2 + i : 0.0;
    }
    for (int64_t t = 0; t < md.T; t += 5) md.y(t, t % 3) = kNaN;
    md.y(9, 0) = md.y(9, 1) = md.y(9, 2) = kNaN;
    kf_inputs in = inputs_of(md);
    const int64_t n = md.n, m = md.m, k = md.k, T = md.T;
    const int64_t cells = kf_missing_arena_size(n, m, k).n_float;
    std::vector<double> arena(cells + kPad, kUntouched);
    double alone = 0.0, full = 0.0;
    kf_outputs none{};
    none.loglik = &alone;
    ASSERT_EQ(kf_missing_loop(&in, arena.data(), &none), KF_OK);
    expect_pad_untouched(arena, cells);

    std::vector<double> xp(T * n), xf(T * n), Pp(T * n * n), Pf(T * n * n), yp(T * m),
        yf(T * m), iv(T * m), si(T * m), S(T * m * m), eh(T * k);
    kf_outputs histories{xp.data(), xf.data(), Pp.data(), Pf.data(), yp.data(), yf.data(),
                         iv.data(), si.data(), S.data(), eh.data(), &full};
    in.store_history = 1;
    ASSERT_EQ(kf_missing_loop(&in, arena.data(), &histories), KF_OK);
    EXPECT_EQ(alone, full);

    const Smoothed smoothed = smooth_in_arena(in);
    ASSERT_EQ(smoothed.status, KF_OK);
    EXPECT_EQ(smoothed.loglik, full);
}

INSTANTIATE_TEST_SUITE_P(GapsAndStates, Smoother,
                         ::testing::Combine(::testing::Bool(), ::testing::Values<int64_t>(3, 12)));

}  // namespace
