// Tests of the score from the stationary start: its total gradient against the partial score
// carried through the stationary covariance's adjoint, on the rank-m route and off it, and its
// arena.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "filter_harness.h"

namespace {

using namespace harness;

constexpr double kTol = 1e-14;
constexpr int64_t kMaxIter = 80;

struct Gradients {
    std::vector<double> A, B, C, d, Q, R, x0, P0, arena;
    double loglik = kUntouched;
    int status = KF_OK;

    Gradients(const Model& md, int64_t arena_cells, double fill) {
        for (auto [grad, input] : {std::pair{&A, &md.A}, {&B, &md.B}, {&C, &md.C}, {&d, &md.d},
                                   {&Q, &md.Q}, {&R, &md.R}, {&x0, &md.x0}, {&P0, &md.P0}})
            grad->assign(input->size(), kUntouched);
        arena.assign(arena_cells + kPad, fill);
    }
    kf_grad_outputs outputs() {
        return {&loglik,  A.data(), B.data(), C.data(), d.data(),
                Q.data(), R.data(), x0.data(), P0.data()};
    }
};

kf_inputs inputs_of(const Model& md, const Flags& f) {
    return {md.n,        md.m,        md.k,        md.T,        md.A.data(),
            md.B.data(), md.C.data(), md.d.data(), md.Q.data(), md.R.data(),
            md.y.data(), md.x0.data(), md.P0.data(), f.symmetrize, f.joseph, f.jitter, 0, 0};
}

// The model with P0 its stationary covariance.
Model stationary_model(int64_t n, int64_t m, int64_t k, int64_t T, uint64_t seed) {
    Model md = random_model(n, m, k, T, seed);
    std::vector<double> arena(kf_stationary_covariance_arena_size(n, k).n_float);
    EXPECT_EQ(kf_stationary_covariance(md.A.data(), md.B.data(), md.Q.data(), kTol, kMaxIter,
                                       arena.data(), md.P0.data(), n, k, n),
              KF_OK);
    return md;
}

Gradients total(const Model& md, const Flags& f, double fill = kUntouched) {
    Gradients g(md, kf_loglik_grad_stationary_arena_size(md.n, md.m, md.k, md.T).n_float, fill);
    const kf_inputs in = inputs_of(md, f);
    kf_grad_outputs out = g.outputs();
    g.status = kf_loglik_grad_stationary(&in, kTol, kMaxIter, g.arena.data(), &out);
    return g;
}

// kf_loglik_grad's partial derivatives with P0_bar pushed through the solver's adjoint.
Gradients chained(const Model& md, const Flags& f) {
    Gradients g(md, kf_loglik_grad_arena_size(md.n, md.m, md.k, md.T).n_float, kUntouched);
    const kf_inputs in = inputs_of(md, f);
    kf_grad_outputs out = g.outputs();
    EXPECT_EQ(kf_loglik_grad(&in, g.arena.data(), &out), KF_OK);
    std::vector<double> arena(kf_stationary_covariance_grad_arena_size(md.n, md.k).n_float);
    std::vector<double> A_bar(g.A.size()), B_bar(g.B.size()), Q_bar(g.Q.size());
    EXPECT_EQ(kf_stationary_covariance_grad(md.A.data(), md.B.data(), md.Q.data(), g.P0.data(),
                                            kTol, kMaxIter, arena.data(), A_bar.data(),
                                            B_bar.data(), Q_bar.data(), md.n, md.k),
              KF_OK);
    for (auto [sum, part] : {std::pair{&g.A, &A_bar}, {&g.B, &B_bar}, {&g.Q, &Q_bar}})
        for (size_t i = 0; i < sum->size(); ++i) (*sum)[i] += (*part)[i];
    return g;
}

struct Case {
    std::string name;
    int64_t n, m, k, T;
    Flags flags;
};

class StationaryScore : public ::testing::TestWithParam<Case> {};

TEST_P(StationaryScore, TotalGradientIsThePartialsThroughTheSolver) {
    const Case& c = GetParam();
    const Model md = stationary_model(c.n, c.m, c.k, c.T, 3 * c.n + c.m + c.T);
    const Gradients got = total(md, c.flags, std::numeric_limits<double>::quiet_NaN());
    const Gradients want = chained(md, c.flags);
    ASSERT_EQ(got.status, KF_OK);
    Flags lean = c.flags;
    lean.store = false;
    const double filtered = run_kf(md, lean).loglik;
    EXPECT_NEAR(got.loglik, filtered, 1e-12 * std::fabs(filtered));
    const std::vector<std::pair<const char*, std::pair<const std::vector<double>*,
                                                       const std::vector<double>*>>>
        pairs = {{"A", {&got.A, &want.A}}, {"B", {&got.B, &want.B}}, {"C", {&got.C, &want.C}},
                 {"d", {&got.d, &want.d}}, {"Q", {&got.Q, &want.Q}}, {"R", {&got.R, &want.R}},
                 {"x0", {&got.x0, &want.x0}}};
    for (const auto& [name, grads] : pairs) {
        SCOPED_TRACE(name);
        double scale = 1.0;
        for (double v : *grads.second) scale = std::max(scale, std::fabs(v));
        for (size_t i = 0; i < grads.first->size(); ++i)
            EXPECT_NEAR((*grads.first)[i], (*grads.second)[i], 1e-9 * scale);
    }
    // whatever the arena held, and nothing written beyond its size
    const Gradients again = total(md, c.flags, 1e300);
    EXPECT_EQ(again.A, got.A);
    EXPECT_EQ(again.loglik, got.loglik);
    const int64_t size = kf_loglik_grad_stationary_arena_size(c.n, c.m, c.k, c.T).n_float;
    EXPECT_TRUE(
        ref::all_equal(again.arena.data() + size, again.arena.data() + again.arena.size(), 1e300));
}

INSTANTIATE_TEST_SUITE_P(
    Models, StationaryScore,
    ::testing::Values(Case{"Scalar", 1, 1, 1, 30, {true, true, 0.0}},
                      Case{"SymmetrizedJoseph", 5, 2, 3, 120, {true, true, 0.0}},
                      Case{"SymmetrizedStandard", 5, 2, 3, 120, {true, false, 0.0}},
                      Case{"Standard", 4, 3, 2, 80, {false, false, 0.0}},
                      Case{"MoreObservablesThanStates", 2, 4, 3, 40, {true, false, 0.0}},
                      // off the rank-m route: the partial score does the work
                      Case{"UnsymmetrizedJoseph", 4, 2, 2, 40, {false, true, 0.0}},
                      Case{"JosephWithJitter", 4, 2, 2, 40, {true, true, 1e-3}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
