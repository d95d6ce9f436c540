// Tests of the linear Kalman filter loop against a plain textbook filter written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "filter_harness.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_tail.h"

namespace {

using namespace harness;
using ref::near;
using ref::tr;

constexpr double kLogTwoPi = 1.8378770664093453;

Model with_asymmetric_prior(Model md) {
    md.P0 = md.P0 + 0.2 * ref::Rng(99).mat(md.n, md.n);
    return md;
}

void append(std::vector<double>& history, const Mat& X) {
    history.insert(history.end(), X.a.begin(), X.a.end());
}

// The reference also keeps what the loop's blocks hold after the last period.
struct Reference : Histories {
    Mat x_next, P_next, S_inv_v, PCt, K, L;
};

// Textbook filter (Durbin and Koopman, sec. 4.3) with explicit inverses. The factorised matrix
// is S as its lower triangle describes it, plus the jitter.
Reference reference_filter(const Model& md, const Flags& f) {
    const Mat I = ref::identity(md.n);
    const Mat BQBT = ref::sym(md.B * md.Q * tr(md.B));
    const Mat M = md.Q * tr(md.B) * tr(md.C);
    Reference out;
    out.loglik = 0.0;
    Mat x = md.x0, P = md.P0;
    for (int64_t t = 0; t < md.T; ++t) {
        const Mat y_pred = md.C * x + md.d;
        const Mat v = ref::row(md.y, t) - y_pred;
        Mat S = md.C * P * tr(md.C) + md.R;
        if (f.symmetrize) S = ref::sym(S);
        Mat S_used = ref::mirror_lower(S);
        if (f.jitter > 0.0) S_used = S_used + f.jitter * ref::identity(md.m);
        bool ok = false;
        const Mat L = ref::chol_lower(S_used, &ok);
        if (!ok) {
            out.status = KF_ERR_CHOLESKY;
            return out;
        }
        const Mat S_inv = ref::inverse(S_used);
        const Mat PCt = P * tr(md.C);
        const Mat K = PCt * S_inv;
        const Mat x_filt = x + K * v;
        Mat P_filt;
        if (f.joseph) {
            const Mat I_KC = I - K * md.C;
            P_filt = I_KC * P * tr(I_KC) + K * md.R * tr(K);
        } else {
            P_filt = P - K * tr(PCt);
        }
        if (f.symmetrize) P_filt = ref::sym(P_filt);
        double logdet = 0.0;
        for (int64_t i = 0; i < md.m; ++i) logdet += 2.0 * std::log(L(i, i));
        out.loglik += -0.5 * (logdet + (tr(v) * S_inv * v).a[0] + md.m * kLogTwoPi);
        append(out.x_pred, x);
        append(out.x_filt, x_filt);
        append(out.P_pred, P);
        append(out.P_filt, P_filt);
        append(out.y_pred, y_pred);
        append(out.y_filt, md.C * x_filt + md.d);
        append(out.innov, v);
        append(out.std_innov, ref::inverse(L) * v);
        append(out.S, S);
        append(out.eps_hat, M * S_inv * v);
        out.S_inv_v = S_inv * v;
        out.PCt = PCt;
        out.K = K;
        out.L = L;
        x = md.A * x_filt;
        P = md.A * P_filt * tr(md.A) + BQBT;
        if (f.symmetrize) P = ref::sym(P);
    }
    out.x_next = x;
    out.P_next = P;
    return out;
}

// ---- against the reference ---------------------------------------------------------------------

struct Case {
    std::string name;
    int64_t n, m, k, T;
    Flags flags;
    bool asymmetric_p0;
};

class KfAgainstReference : public ::testing::TestWithParam<Case> {};

TEST_P(KfAgainstReference, HistoriesAndLoglik) {
    const Case& c = GetParam();
    Model md = random_model(c.n, c.m, c.k, c.T, 31 * c.n + 7 * c.m + c.k);
    if (c.asymmetric_p0) md = with_asymmetric_prior(md);
    const Reference want = reference_filter(md, c.flags);
    const Histories got = run_kf(md, c.flags);
    ASSERT_EQ(want.status, KF_OK);
    ASSERT_EQ(got.status, KF_OK);
    EXPECT_NEAR(got.loglik, want.loglik, 1e-10 * std::fabs(want.loglik));
    const std::vector<int64_t> cells = row_cells(md);
    for (size_t i = 0; i < kHistoryFields.size(); ++i) {
        const auto& [name, field] = kHistoryFields[i];
        SCOPED_TRACE(name);
        if (field == &Histories::eps_hat && !c.flags.shocks) continue;
        Mat expected(md.T, cells[i]);
        expected.a = want.*field;
        EXPECT_TRUE(near(got.*field, expected, 1e-9));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, KfAgainstReference,
    ::testing::Values(
        Case{"Scalar", 1, 1, 1, 6, {}, false},
        Case{"Standard", 3, 2, 2, 8, {false, false, 0.0, true, true}, false},
        Case{"Joseph", 3, 2, 2, 8, {false, true, 0.0, true, true}, false},
        Case{"SymmetrizedStandard", 4, 3, 2, 10, {true, false, 0.0, true, true}, false},
        Case{"SymmetrizedJosephJitter", 4, 3, 2, 10, {true, true, 1e-3, true, true}, false},
        Case{"LargeJitterNoShocks", 2, 3, 1, 7, {false, false, 0.5, false, true}, false},
        Case{"MoreObservablesThanStates", 2, 5, 3, 6, {false, true, 0.0, true, true}, false},
        Case{"AsymmetricPriorSymmetrized", 4, 2, 3, 9, {true, true, 0.0, true, true}, true},
        Case{"AsymmetricPriorAsComputed", 3, 2, 2, 5, {false, false, 0.0, true, true}, true},
        // long enough for the covariances to settle and the loop to run only the states
        Case{"SettlesSymmetrizedJoseph", 4, 3, 2, 150, {true, true, 0.0, true, true}, false},
        Case{"SettlesAsComputed", 5, 2, 3, 150, {false, false, 0.0, true, true}, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// A stationary start makes the first change of P_pred rank m: where rank-m steps pay, the loop
// takes the low-rank (Chandrasekhar) route, whose blocks close the arena and stay untouched on
// the full recursion. From a given prior the change starts at full rank and the route is taken
// later, once the rank has fallen to one that pays. Either way every history is the full
// recursion's.
struct RouteCase {
    std::string name;
    int64_t n, m, k;
    bool stationary;
    Flags flags;
    bool low_rank;  // whether the route must be taken
};

class KfLowRankRoute : public ::testing::TestWithParam<RouteCase> {};

TEST_P(KfLowRankRoute, TakenWhereItPaysAndExact) {
    const RouteCase& c = GetParam();
    Model md = random_model(c.n, c.m, c.k, 80, 101 + c.n);
    if (c.stationary) {
        std::vector<double> scratch(kf_stationary_covariance_arena_size(c.n, c.k).n_float);
        ASSERT_EQ(kf_stationary_covariance(md.A.a.data(), md.B.a.data(), md.Q.a.data(), 1e-14,
                                           64, scratch.data(), md.P0.a.data(), c.n, c.k, c.n),
                  KF_OK);
    }
    const Reference want = reference_filter(md, c.flags);
    const Histories got = run_kf(md, c.flags);
    ASSERT_EQ(got.status, KF_OK);
    EXPECT_NEAR(got.loglik, want.loglik, 1e-10 * std::fabs(want.loglik));
    const std::vector<int64_t> cells = row_cells(md);
    for (size_t i = 0; c.flags.store && i < kHistoryFields.size(); ++i) {
        const auto& [name, field] = kHistoryFields[i];
        SCOPED_TRACE(name);
        Mat expected(md.T, cells[i]);
        expected.a = want.*field;
        EXPECT_TRUE(near(got.*field, expected, 1e-8));
    }
    // the route's diagonal of P_pred: the last n cells before the settled tail's blocks
    velm_arena::ArenaCarver tail = velm_arena::ArenaCarver::counting();
    velm_tail::tail_carve(tail, c.n, c.m);
    const double* P_diag =
        got.arena.data() + got.arena.size() - kPad - tail.taken().count() - c.n;
    EXPECT_EQ(!ref::all_equal(P_diag, P_diag + c.n, kUntouched), c.low_rank);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, KfLowRankRoute,
    ::testing::Values(
        RouteCase{"StationaryStandard", 8, 2, 3, true, {false, false, 0.0, true, true}, true},
        RouteCase{"StationarySymJoseph", 8, 2, 3, true, {true, true, 0.0, true, true}, true},
        RouteCase{"StationaryJitterNoHistory", 10, 3, 2, true, {true, false, 1e-3, false, false},
                  true},
        RouteCase{"GivenPrior", 8, 2, 3, false, {true, true, 0.0, true, true}, true},
        RouteCase{"GivenPriorStandard", 8, 2, 3, false, {false, false, 0.0, true, true}, true},
        RouteCase{"TooFewStates", 3, 1, 1, true, {true, true, 0.0, true, true}, false},
        RouteCase{"RankTooHigh", 6, 5, 3, true, {true, true, 0.0, true, true}, false}),
    [](const ::testing::TestParamInfo<RouteCase>& info) { return info.param.name; });

// Once P_pred stops changing beyond rounding the loop reuses S, K and P_filt. A prior a few ulps
// away from the fixed point settles at once: every stored P_pred from period 1 on is then the
// first prediction, where the full recursion would move it by rounding. A random walk with no
// process noise keeps shrinking P_pred by a visible step and never settles.
TEST(KfLoop, CovariancesSettleOnlyAtTheirFixedPoint) {
    const Flags f{true, true, 0.0, true, true};
    Model md = random_model(12, 4, 3, 200, 5);
    const int64_t nn = md.n * md.n;
    const Histories converged = run_kf(md, f);
    md.P0.a.assign(converged.P_pred.end() - nn, converged.P_pred.end());
    md.P0(0, 0) += 8.0 * std::numeric_limits<double>::epsilon() * md.P0(0, 0);
    md.T = 20;
    md.y.a.resize(md.T * md.m);
    md.y.rows = md.T;
    const Histories settled = run_kf(md, f);
    const auto first_prediction = settled.P_pred.begin() + nn;
    for (int64_t t = 2; t < md.T; ++t) {
        ASSERT_TRUE(std::equal(first_prediction, first_prediction + nn,
                               settled.P_pred.begin() + t * nn));
    }
    const Reference want = reference_filter(md, f);
    EXPECT_NEAR(settled.loglik, want.loglik, 1e-10 * std::fabs(want.loglik));

    md.A = ref::identity(md.n);
    md.Q = Mat(md.k, md.k);
    const Histories walk = run_kf(md, f);
    const Reference walk_want = reference_filter(md, f);
    Mat expected(md.T, nn);
    expected.a = walk_want.P_pred;
    EXPECT_TRUE(near(walk.P_pred, expected, 1e-9));
    EXPECT_FALSE(std::equal(walk.P_pred.end() - 2 * nn, walk.P_pred.end() - nn,
                            walk.P_pred.end() - nn));
}

// ---- arena -------------------------------------------------------------------------------------

TEST(KfArena, SizeFormula) {
    for (const auto& [n, m, k] : std::vector<std::tuple<int64_t, int64_t, int64_t>>{
             {1, 1, 1}, {3, 2, 4}, {5, 7, 2}}) {
        const arena_size size = kf_arena_size(n, m, k);
        // the filter's blocks, then those of the low-rank route (3 n m + 4 m^2 + 2 n + m) and of
        // the settled tail (n^2 + n m, and chunk rows: 3 of n plus one, 5 of m)
        const int64_t chunk = velm_tail::kChunk;
        EXPECT_EQ(size.n_float, 7 * n * n + 6 * m * m + 8 * n * m + n * k + 2 * k * m + 4 * n +
                                    8 * m + (3 * chunk + 1) * n + 5 * chunk * m);
        EXPECT_EQ(size.n_int, 0);
    }
}

// After the last period each block holds a known value, which pins down the carve order; the
// blocks end exactly at the reported size.
TEST(KfArena, CarveOrderAndUntouchedTail) {
    const Model md = random_model(3, 2, 2, 5, 77);
    const Flags f{false, true, 0.0, true, true};
    const Reference want = reference_filter(md, f);
    const Histories got = run_kf(md, f);
    ASSERT_EQ(got.status, KF_OK);
    const int64_t n = md.n, m = md.m, k = md.k;
    const Mat none;  // a block whose content is not checked
    const std::vector<std::tuple<const char*, int64_t, Mat>> blocks = {
        {"x_pred_buf", n, want.x_next},
        {"x_filt_buf", n, last_row(want.x_filt, n)},
        {"y_pred_buf", m, last_row(want.y_pred, m)},
        {"y_filt_buf", m, last_row(want.y_filt, m)},
        {"v_buf", m, last_row(want.innov, m)},
        {"u_buf", m, last_row(want.std_innov, m)},
        {"S_inv_v", m, want.S_inv_v},
        {"solve_f", m, none},
        {"solve_b", m, none},
        {"P_pred_buf", n * n, want.P_next},
        {"P_filt_buf", n * n, last_row(want.P_filt, n * n)},
        {"KC", n * n, last_row(want.P_pred, n * n)},  // the P_pred of the last period
        {"I_minus_KC", n * n, none},
        {"temp_nn", n * n, none},
        {"BQBT", n * n, md.B * md.Q * tr(md.B)},
        {"S_buf", m * m, last_row(want.S, m * m)},
        {"L", m * m, want.L},
        {"PCt", n * m, want.PCt},
        {"K", n * m, want.K},
        {"temp_mn", n * m, none},
        {"temp_nk", n * k, md.B * md.Q},
        {"M", k * m, md.Q * tr(md.B) * tr(md.C)},
        {"temp_km", k * m, tr(md.B) * tr(md.C)},
        {"K_prev", n * m, none},
        {"low-rank route", 3 * n * m + 4 * m * m + 2 * n + m, none},
        {"settled tail",
         n * n + n * m + (3 * velm_tail::kChunk + 1) * n + 5 * velm_tail::kChunk * m, none}};
    int64_t offset = 0;
    for (const auto& [name, cells, content] : blocks) {
        SCOPED_TRACE(name);
        if (content.size() > 0) {
            EXPECT_EQ(content.size(), cells);
            EXPECT_TRUE(near(got.arena.data() + offset, content, 1e-9));
        }
        offset += cells;
    }
    EXPECT_EQ(offset, kf_arena_size(n, m, k).n_float);
}

// Every cell is written before it is read: NaN-filled and sentinel-filled arenas give
// identical results.
TEST(KfArena, InitialContentsDoNotMatter) {
    const Model md = random_model(3, 2, 2, 6, 5);
    const Flags f{true, true, 1e-6, true, true};
    const Histories a = run_kf(md, f, std::numeric_limits<double>::quiet_NaN());
    const Histories b = run_kf(md, f, 1e300);
    EXPECT_EQ(a.loglik, b.loglik);
    for (const auto& [name, field] : kHistoryFields) EXPECT_EQ(a.*field, b.*field) << name;
}

// ---- failure and degenerate samples ---------------------------------------------------------

// Prior and noise of the failing walk, and the period whose S is the first non-positive one.
struct FailingModel {
    double P0, q;
    int64_t fail_period;
};

class KfFailure : public ::testing::TestWithParam<FailingModel> {};

TEST_P(KfFailure, LeavesTheRowsAndLoglikOfTheEarlierPeriods) {
    const auto [P0, q, fail_period] = GetParam();
    const Flags f{false, false, 0.0, true, true};
    const Histories failed = run_kf(failing_walk(P0, q, 5), f);
    const Histories before = run_kf(failing_walk(P0, q, fail_period), f);
    EXPECT_EQ(failed.status, KF_ERR_CHOLESKY);
    ASSERT_EQ(before.status, KF_OK);
    EXPECT_EQ(failed.loglik, before.loglik);  // 0 when period 0 fails
    for (const auto& [name, field] : kHistoryFields) {
        SCOPED_TRACE(name);
        const std::vector<double>& rows = failed.*field;  // one cell per row here
        EXPECT_TRUE(std::equal((before.*field).begin(), (before.*field).end(), rows.begin()));
        EXPECT_TRUE(ref::all_equal(rows.data() + fail_period, rows.data() + rows.size(),
                                   kUntouched));
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, KfFailure,
                         ::testing::Values(FailingModel{0.5, 1.0, 0}, FailingModel{10.0, 1.0, 1},
                                           FailingModel{10.0, 3.0, 2}));

// The harness passes a null y for an empty sample, null histories when nothing is stored.
TEST(KfLoop, EmptySampleGivesZeroLoglik) {
    const Model md = random_model(2, 2, 1, 0, 9);
    const Histories r = run_kf(md, Flags{});
    EXPECT_EQ(r.status, KF_OK);
    EXPECT_EQ(r.loglik, 0.0);
}

TEST(KfLoop, WithoutHistoryOnlyTheLoglikIsWritten) {
    const Model md = random_model(3, 2, 2, 6, 12);
    Flags f{true, false, 0.0, true, false};  // shocks asked, but nothing is stored
    const Histories lean = run_kf(md, f);
    f.store = true;
    const Histories full = run_kf(md, f);
    ASSERT_EQ(lean.status, KF_OK);
    EXPECT_EQ(lean.loglik, full.loglik);
}

TEST(KfLoop, OneObservableWithUnitSAndZeroInnovationContributesHalfLogTwoPi) {
    // C = 0 and R = 1 make S = 1; y = d makes v = 0.
    const auto s = [](double v) { return ref::from(1, 1, {v}); };
    const Model md{1, 1, 1, 1, s(0.5), s(1.0), s(0.0), s(0.3), s(1.0), s(1.0), s(0.3), s(0.0),
                   s(1.0)};
    const Histories r = run_kf(md, Flags{});
    ASSERT_EQ(r.status, KF_OK);
    EXPECT_EQ(r.loglik, -0.5 * kLogTwoPi);
}

TEST(KfLoop, NaNObservationPoisonsStatesAndLoglikButNotCovariances) {
    const Model clean_md = random_model(3, 2, 2, 6, 14);
    Model md = clean_md;
    const int64_t bad = 2;
    md.y(bad, 0) = std::numeric_limits<double>::quiet_NaN();
    const Histories clean = run_kf(clean_md, Flags{});
    const Histories r = run_kf(md, Flags{});
    EXPECT_EQ(r.status, KF_OK);
    EXPECT_TRUE(std::isnan(r.loglik));
    for (const HistoryField field : {&Histories::P_pred, &Histories::P_filt, &Histories::S})
        EXPECT_EQ(r.*field, clean.*field);
    const int64_t n = md.n;
    for (int64_t t = 0; t < md.T; ++t) {
        for (int64_t i = 0; i < n; ++i) {
            EXPECT_EQ(std::isnan(r.x_filt[t * n + i]), t >= bad) << t << "," << i;
            EXPECT_EQ(std::isnan(r.x_pred[t * n + i]), t > bad) << t << "," << i;
        }
    }
}

TEST(KfLoop, SymmetrizeMakesStoredCovariancesExactlySymmetricButKeepsP0) {
    const Model md = with_asymmetric_prior(random_model(3, 2, 2, 5, 19));
    for (const bool symmetrize : {false, true}) {
        SCOPED_TRACE(symmetrize);
        const Histories r = run_kf(md, Flags{symmetrize, false, 0.0, true, true});
        ASSERT_EQ(r.status, KF_OK);
        EXPECT_EQ(0, std::memcmp(r.P_pred.data(), md.P0.data(), 9 * sizeof(double)));
        EXPECT_EQ(0, std::memcmp(r.x_pred.data(), md.x0.data(), 3 * sizeof(double)));
        EXPECT_EQ(ref::is_exactly_symmetric(r.S.data(), 2), symmetrize);
        if (!symmetrize) continue;
        for (int64_t t = 0; t < md.T; ++t) {
            EXPECT_TRUE(ref::is_exactly_symmetric(r.S.data() + 4 * t, 2));
            EXPECT_TRUE(ref::is_exactly_symmetric(r.P_filt.data() + 9 * t, 3));
            if (t > 0) {
                EXPECT_TRUE(ref::is_exactly_symmetric(r.P_pred.data() + 9 * t, 3));
            }
        }
    }
}

}  // namespace
