// Tests of the linear filter's score against central finite differences of kf_hot_loop's
// log-likelihood.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "filter_harness.h"

namespace {

using namespace harness;

struct Score {
    std::vector<double> A, B, C, d, Q, R, x0, P0, arena;
    double loglik = kUntouched;
    int status = KF_OK;
};

Score run_score(const Model& md, const Flags& f, double arena_fill = kUntouched) {
    Score s;
    for (auto [grad, input] : {std::pair{&s.A, &md.A}, {&s.B, &md.B}, {&s.C, &md.C},
                               {&s.d, &md.d}, {&s.Q, &md.Q}, {&s.R, &md.R}, {&s.x0, &md.x0},
                               {&s.P0, &md.P0}})
        grad->assign(input->size(), kUntouched);
    s.arena.assign(kf_loglik_grad_arena_size(md.n, md.m, md.k, md.T).n_float + kPad, arena_fill);
    const kf_inputs in{md.n, md.m, md.k, md.T, md.A.data(), md.B.data(), md.C.data(),
                       md.d.data(), md.Q.data(), md.R.data(), md.T > 0 ? md.y.data() : nullptr,
                       md.x0.data(), md.P0.data(), f.symmetrize, f.joseph, f.jitter, 0, 0};
    kf_grad_outputs out{&s.loglik, s.A.data(), s.B.data(), s.C.data(), s.d.data(),
                        s.Q.data(), s.R.data(), s.x0.data(), s.P0.data()};
    s.status = kf_loglik_grad(&in, s.arena.data(), &out);
    return s;
}

double loglik_of(const Model& md, const Flags& f) {
    Flags lean = f;
    lean.store = false;
    return run_kf(md, lean).loglik;
}

// Central difference of kf_hot_loop's log-likelihood in every cell of one input.
ref::Mat central_differences(Model md, ref::Mat Model::*input, const Flags& f) {
    ref::Mat& X = md.*input;
    ref::Mat grad(X.rows, X.cols);
    for (int64_t i = 0; i < X.size(); ++i) {
        const double x = X.a[i], h = 1e-5 * std::max(1.0, std::fabs(x));
        X.a[i] = x + h;
        const double up = loglik_of(md, f);
        X.a[i] = x - h;
        const double down = loglik_of(md, f);
        X.a[i] = x;
        grad.a[i] = (up - down) / (2.0 * h);
    }
    return grad;
}

// Every gradient cell against central differences of kf_hot_loop's log-likelihood. Once the
// covariances settle, the tape's last full row is never written.
void expect_differences(const Model& md, const Flags& f, bool settles) {
    const Score got = run_score(md, f);
    ASSERT_EQ(got.status, KF_OK);
    const double want = loglik_of(md, f);
    EXPECT_NEAR(got.loglik, want, 1e-12 * std::fabs(want));
    const int64_t size = kf_loglik_grad_arena_size(md.n, md.m, md.k, md.T).n_float;
    EXPECT_EQ(got.arena[size - 1] == kUntouched, settles);
    const std::vector<std::tuple<const char*, const std::vector<double>*, ref::Mat Model::*>>
        inputs = {{"A", &got.A, &Model::A},    {"B", &got.B, &Model::B},
                  {"C", &got.C, &Model::C},    {"d", &got.d, &Model::d},
                  {"Q", &got.Q, &Model::Q},    {"R", &got.R, &Model::R},
                  {"x0", &got.x0, &Model::x0}, {"P0", &got.P0, &Model::P0}};
    for (const auto& [name, grad, input] : inputs) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(ref::near(*grad, central_differences(md, input, f), 1e-7));
    }
}

struct Case {
    std::string name;
    int64_t n, m, k, T;
    Flags flags;
    bool asymmetric;  // P0, Q and R given with unequal mirrored cells
    bool settles = false;
};

class ScoreAgainstDifferences : public ::testing::TestWithParam<Case> {};

TEST_P(ScoreAgainstDifferences, EveryGradientCell) {
    const Case& c = GetParam();
    Model md = random_model(c.n, c.m, c.k, c.T, 13 * c.n + 5 * c.m + c.k + c.T);
    if (c.asymmetric) {
        ref::Rng rng(4);
        md.P0 = md.P0 + 0.2 * rng.mat(c.n, c.n);
        md.Q = md.Q + 0.2 * rng.mat(c.k, c.k);
        md.R = md.R + 0.2 * rng.mat(c.m, c.m);
    }
    expect_differences(md, c.flags, c.settles);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ScoreAgainstDifferences,
    ::testing::Values(
        Case{"Scalar", 1, 1, 1, 5, {}, false},
        Case{"Standard", 3, 2, 2, 8, {false, false, 0.0}, false},
        Case{"Joseph", 3, 2, 2, 8, {false, true, 0.0}, false},
        Case{"SymmetrizedStandardJitter", 4, 3, 2, 7, {true, false, 0.3}, false},
        Case{"SymmetrizedJoseph", 4, 3, 2, 7, {true, true, 0.0}, false},
        Case{"AsymmetricAsComputedJosephJitter", 3, 2, 3, 6, {false, true, 0.05}, true},
        Case{"AsymmetricAsComputedStandard", 3, 3, 2, 6, {false, false, 0.0}, true},
        Case{"AsymmetricSymmetrizedJoseph", 3, 2, 2, 6, {true, true, 0.0}, true},
        Case{"MoreObservablesThanStates", 2, 4, 3, 6, {false, true, 0.0}, false},
        Case{"SettledStandardJitter", 4, 2, 2, 150, {true, false, 0.05}, true, true},
        Case{"SettledJoseph", 4, 3, 2, 150, {true, true, 0.0}, false, true},
        Case{"LongAsComputedStandard", 3, 5, 4, 150, {false, false, 0.0}, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// A prior at the fixed point settles P_pred at once, but not its sensitivity to A, B, C, Q and R,
// which the score follows until it has forgotten the prior.
TEST(Score, PriorAtTheFixedPointSettlesOnlyOnceItsSensitivityHas) {
    const Flags f{true, true, 0.0};
    Model md = random_model(4, 2, 2, 300, 5);
    const int64_t nn = md.n * md.n;
    const Histories converged = run_kf(md, f);
    md.P0.a.assign(converged.P_pred.end() - nn, converged.P_pred.end());
    md.T = 150;
    md.y.a.resize(md.T * md.m);
    md.y.rows = md.T;
    const Histories settled = run_kf(md, f);
    // the filter settles at period 1: its P_pred stands for every later one
    ASSERT_TRUE(std::equal(settled.P_pred.begin() + nn, settled.P_pred.begin() + 2 * nn,
                           settled.P_pred.end() - nn));
    expect_differences(md, f, true);
}

// Period 1 of the failing walk cannot be factorised: the log-likelihood of period 0 stays, and
// no gradient is given.
TEST(Score, FailedFactorisationLeavesEarlierLoglikAndZeroGradients) {
    const Score s = run_score(failing_walk(10.0, 1.0, 5), Flags{});
    EXPECT_EQ(s.status, KF_ERR_CHOLESKY);
    EXPECT_EQ(s.loglik, loglik_of(failing_walk(10.0, 1.0, 1), Flags{}));
    for (const std::vector<double>* grad : {&s.A, &s.B, &s.C, &s.d, &s.Q, &s.R, &s.x0, &s.P0})
        EXPECT_TRUE(ref::all_equal(grad->data(), grad->data() + grad->size(), 0.0));
}

TEST(Score, EmptySampleGivesZeroLoglikAndGradients) {
    const Score s = run_score(random_model(2, 1, 1, 0, 3), Flags{});
    EXPECT_EQ(s.status, KF_OK);
    EXPECT_EQ(s.loglik, 0.0);
    for (const std::vector<double>* grad : {&s.A, &s.B, &s.C, &s.d, &s.Q, &s.R, &s.x0, &s.P0})
        EXPECT_TRUE(ref::all_equal(grad->data(), grad->data() + grad->size(), 0.0));
}

// Every arena cell is written before it is read, and none beyond the reported size is touched.
TEST(ScoreArena, ContentsDoNotMatterAndTheTailIsUntouched) {
    const Model md = random_model(3, 2, 2, 6, 21);
    const Flags f{true, true, 1e-6};
    const Score a = run_score(md, f, std::numeric_limits<double>::quiet_NaN());
    const Score b = run_score(md, f, 1e300);
    ASSERT_EQ(a.status, KF_OK);
    EXPECT_EQ(a.loglik, b.loglik);
    EXPECT_EQ(a.A, b.A);
    EXPECT_EQ(a.P0, b.P0);
    const int64_t size = kf_loglik_grad_arena_size(3, 2, 2, 6).n_float;
    EXPECT_TRUE(ref::all_equal(b.arena.data() + size, b.arena.data() + b.arena.size(), 1e300));
}

}  // namespace
