// Tests of the pruned second-order transition step of _common/velm_perturbation.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "_common/velm_perturbation.h"

namespace {

using Vec = std::vector<f64>;

// A model with nx states, ny controls and ne shocks; blocks a call must not read stay empty so
// that the step receives null pointers for them.
struct Model {
    i64 nx, ny, ne;
    Vec hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, ss;
};

Vec random_vec(std::mt19937_64& rng, i64 n) {
    std::uniform_real_distribution<f64> dist(-1.0, 1.0);
    Vec v(static_cast<size_t>(n));
    for (f64& x : v) x = dist(rng);
    return v;
}

Model random_model(std::mt19937_64& rng, i64 nx, i64 ny, i64 ne) {
    Model m{nx, ny, ne, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    m.hx = random_vec(rng, nx * nx);
    m.gx = random_vec(rng, ny * nx);
    m.bu = random_vec(rng, (nx + ny) * ne);
    m.hxx = random_vec(rng, nx * nx * nx);
    m.gxx = random_vec(rng, ny * nx * nx);
    m.hxu = random_vec(rng, nx * nx * ne);
    m.gxu = random_vec(rng, ny * nx * ne);
    m.huu = random_vec(rng, nx * ne * ne);
    m.guu = random_vec(rng, ny * ne * ne);
    m.hss = random_vec(rng, nx);
    m.gss = random_vec(rng, ny);
    m.ss = random_vec(rng, nx + ny);
    return m;
}

const f64* ptr(const Vec& v) { return v.empty() ? nullptr : v.data(); }

struct StepResult {
    Vec x1_next, x2_next, vars;
};

// Calls the step with outputs pre-filled with NaN (so an unwritten cell shows) and a scratch
// followed by sentinel cells (so a write past the scratch shows).
StepResult run_step(const Model& m, const Vec& x1, const Vec& x2, const Vec& u, const f64* ss) {
    const f64 nan = std::numeric_limits<f64>::quiet_NaN();
    const f64 sentinel = 12345.0;
    const i64 n_scratch = velm_second_order_step_scratch(m.nx, m.ne);
    Vec arena(static_cast<size_t>(n_scratch + 4), sentinel);
    StepResult r{Vec(m.nx, nan), Vec(m.nx, nan), Vec(m.nx + m.ny, nan)};
    velm_second_order_step(ptr(m.hx), ptr(m.gx), ptr(m.bu), ptr(m.hxx), ptr(m.gxx), ptr(m.hxu),
                           ptr(m.gxu), ptr(m.huu), ptr(m.guu), ptr(m.hss), ptr(m.gss), ptr(x1),
                           ptr(x2), ptr(u), ss, r.x1_next.data(), r.x2_next.data(),
                           r.vars.data(), arena.data(), m.nx, m.ny, m.ne);
    for (i64 p = n_scratch; p < n_scratch + 4; ++p) EXPECT_EQ(arena[p], sentinel);
    return r;
}

// Textbook evaluation with explicit tensor indices, no Kronecker scratch.
StepResult naive_step(const Model& m, const Vec& x1, const Vec& x2, const Vec& u) {
    const i64 nx = m.nx, ny = m.ny, ne = m.ne;
    StepResult r{Vec(nx, 0.0), Vec(nx, 0.0), Vec(nx + ny, 0.0)};
    auto quad = [&](const Vec& Fxx, const Vec& Fxu, const Vec& Fuu, i64 i) {
        f64 s = 0.0;
        for (i64 j = 0; j < nx; ++j)
            for (i64 k = 0; k < nx; ++k) s += 0.5 * Fxx[(i * nx + j) * nx + k] * x1[j] * x1[k];
        for (i64 j = 0; j < nx; ++j)
            for (i64 l = 0; l < ne; ++l) s += Fxu[(i * nx + j) * ne + l] * x1[j] * u[l];
        for (i64 l = 0; l < ne; ++l)
            for (i64 k = 0; k < ne; ++k) s += 0.5 * Fuu[(i * ne + l) * ne + k] * u[l] * u[k];
        return s;
    };
    for (i64 i = 0; i < nx; ++i) {
        f64 s1 = 0.0, s2 = 0.5 * m.hss[i];
        for (i64 j = 0; j < nx; ++j) {
            s1 += m.hx[i * nx + j] * x1[j];
            s2 += m.hx[i * nx + j] * x2[j];
        }
        for (i64 l = 0; l < ne; ++l) s1 += m.bu[i * ne + l] * u[l];
        s2 += quad(m.hxx, m.hxu, m.huu, i);
        r.x1_next[i] = s1;
        r.x2_next[i] = s2;
        r.vars[i] = m.ss[i] + s1 + s2;
    }
    for (i64 i = 0; i < ny; ++i) {
        f64 s = 0.5 * m.gss[i];
        for (i64 j = 0; j < nx; ++j) s += m.gx[i * nx + j] * (x1[j] + x2[j]);
        for (i64 l = 0; l < ne; ++l) s += m.bu[(nx + i) * ne + l] * u[l];
        s += quad(m.gxx, m.gxu, m.guu, i);
        r.vars[nx + i] = m.ss[nx + i] + s;
    }
    return r;
}

void expect_near_all(const Vec& got, const Vec& want, f64 tol) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t p = 0; p < got.size(); ++p) EXPECT_NEAR(got[p], want[p], tol) << "cell " << p;
}

// One state, one control, one shock: every block is a scalar and the step has a closed form.
struct ScalarCase {
    f64 a, b, e;
};

class SecondOrderStepScalar : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(SecondOrderStepScalar, MatchesClosedForm) {
    const auto [a, b, e] = GetParam();
    const f64 hx = 0.9, gx = -0.4, bu_x = 0.7, bu_y = 1.3, hxx = 0.25, gxx = -1.5, hxu = 0.6,
              gxu = 2.1, huu = -0.8, guu = 0.35, hss = 0.12, gss = -0.3;
    Model m{1, 1, 1, {hx}, {gx}, {bu_x, bu_y}, {hxx}, {gxx}, {hxu}, {gxu}, {huu}, {guu},
            {hss}, {gss}, {1.5, -2.0}};
    const StepResult r = run_step(m, {a}, {b}, {e}, m.ss.data());
    const f64 x1n = hx * a + bu_x * e;
    const f64 x2n = 0.5 * hss + hx * b + 0.5 * hxx * a * a + hxu * a * e + 0.5 * huu * e * e;
    const f64 y = -2.0 + 0.5 * gss + gx * (a + b) + bu_y * e + 0.5 * gxx * a * a + gxu * a * e +
                  0.5 * guu * e * e;
    EXPECT_NEAR(r.x1_next[0], x1n, 1e-14);
    EXPECT_NEAR(r.x2_next[0], x2n, 1e-14);
    EXPECT_NEAR(r.vars[0], 1.5 + x1n + x2n, 1e-14);
    EXPECT_NEAR(r.vars[1], y, 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Values, SecondOrderStepScalar,
                         ::testing::Values(ScalarCase{0.0, 0.0, 0.0}, ScalarCase{0.5, 0.0, 0.0},
                                           ScalarCase{0.0, -0.7, 0.0}, ScalarCase{0.0, 0.0, 1.2},
                                           ScalarCase{-0.3, 0.8, -1.1},
                                           ScalarCase{2.0, -1.0, 0.5}));

// Random sizes against the naive evaluation; ny = 0 and ne = 0 pass null for every block the
// step must not read, so a stray read faults.
struct Sizes {
    i64 nx, ny, ne;
};

class SecondOrderStepRandom : public ::testing::TestWithParam<Sizes> {};

TEST_P(SecondOrderStepRandom, MatchesNaiveReference) {
    const auto [nx, ny, ne] = GetParam();
    std::mt19937_64 rng(1000 + 100 * nx + 10 * ny + ne);
    const Model m = random_model(rng, nx, ny, ne);
    const Vec x1 = random_vec(rng, nx), x2 = random_vec(rng, nx), u = random_vec(rng, ne);
    const StepResult got = run_step(m, x1, x2, u, m.ss.data());
    const StepResult want = naive_step(m, x1, x2, u);
    expect_near_all(got.x1_next, want.x1_next, 1e-12);
    expect_near_all(got.x2_next, want.x2_next, 1e-12);
    expect_near_all(got.vars, want.vars, 1e-12);
}

TEST_P(SecondOrderStepRandom, ZeroInputsGiveHalfTheConstantTerms) {
    const auto [nx, ny, ne] = GetParam();
    std::mt19937_64 rng(2000 + 100 * nx + 10 * ny + ne);
    const Model m = random_model(rng, nx, ny, ne);
    const StepResult r = run_step(m, Vec(nx, 0.0), Vec(nx, 0.0), Vec(ne, 0.0), m.ss.data());
    for (i64 i = 0; i < nx; ++i) {
        EXPECT_EQ(r.x1_next[i], 0.0);
        EXPECT_NEAR(r.x2_next[i], 0.5 * m.hss[i], 1e-15);
        EXPECT_NEAR(r.vars[i], m.ss[i] + 0.5 * m.hss[i], 1e-15);
    }
    for (i64 i = 0; i < ny; ++i) EXPECT_NEAR(r.vars[nx + i], m.ss[nx + i] + 0.5 * m.gss[i], 1e-15);
}

TEST_P(SecondOrderStepRandom, NullSteadyStateCountsAsZero) {
    const auto [nx, ny, ne] = GetParam();
    std::mt19937_64 rng(3000 + 100 * nx + 10 * ny + ne);
    const Model m = random_model(rng, nx, ny, ne);
    const Vec x1 = random_vec(rng, nx), x2 = random_vec(rng, nx), u = random_vec(rng, ne);
    const Vec zero_ss(nx + ny, 0.0);
    const StepResult with_null = run_step(m, x1, x2, u, nullptr);
    const StepResult with_zero = run_step(m, x1, x2, u, zero_ss.data());
    expect_near_all(with_null.x1_next, with_zero.x1_next, 0.0);
    expect_near_all(with_null.x2_next, with_zero.x2_next, 0.0);
    expect_near_all(with_null.vars, with_zero.vars, 0.0);
}

// The batched step against the point-by-point step. Besides random points, the batch holds
// points that share x1 and u with point 0 (only x2 differs, or an exact copy), which take
// point 0's quadratic terms, and points that differ from it in u only or in x1 only, which
// must not; null ss counts as zero as in the single step.
TEST_P(SecondOrderStepRandom, BatchMatchesPointByPoint) {
    const auto [nx, ny, ne] = GetParam();
    std::mt19937_64 rng(4000 + 100 * nx + 10 * ny + ne);
    const Model m = random_model(rng, nx, ny, ne);
    const i64 na = 2 * nx + ne, nz = 2 * nx, nv = nx + ny, n_pts = 7;
    Vec points = random_vec(rng, n_pts * na);
    auto point = [&](i64 r) { return points.begin() + r * na; };
    std::copy(point(0), point(1), point(1));
    std::copy(point(0), point(1), point(2));
    std::copy(point(0), point(1), point(3));
    std::copy(point(0), point(1), point(6));
    for (i64 j = nx; j < nz; ++j) point(1)[j] += 0.5;                 // x2 only
    if (ne > 0) point(2)[nz] -= 0.25;                                 // u only
    point(3)[nx - 1] *= -2.0;                                         // x1 only

    const f64 sentinel = 12345.0, nan = std::numeric_limits<f64>::quiet_NaN();
    const i64 n_coef = velm_second_order_fold_size(nx, ny, ne);
    const i64 n_scratch = velm_second_order_batch_scratch(n_pts, nx, ny, ne);
    Vec coef(static_cast<size_t>(n_coef + 4), sentinel);
    velm_second_order_fold(ptr(m.hx), ptr(m.gx), ptr(m.bu), ptr(m.hxx), ptr(m.gxx), ptr(m.hxu),
                           ptr(m.gxu), ptr(m.huu), ptr(m.guu), ptr(m.hss), ptr(m.gss),
                           coef.data(), nx, ny, ne);
    for (const f64* ss : {static_cast<const f64*>(m.ss.data()), static_cast<const f64*>(nullptr)}) {
        Vec scratch(static_cast<size_t>(n_scratch + 4), sentinel);
        Vec z_next(n_pts * nz, nan), vars(n_pts * nv, nan);
        velm_second_order_step_batch(coef.data(), points.data(), ss, z_next.data(), vars.data(),
                                     scratch.data(), n_pts, nx, ny, ne);
        for (i64 p = 0; p < 4; ++p) {
            EXPECT_EQ(coef[n_coef + p], sentinel);
            EXPECT_EQ(scratch[n_scratch + p], sentinel);
        }
        for (i64 r = 0; r < n_pts; ++r) {
            SCOPED_TRACE("point " + std::to_string(r) + (ss ? "" : ", null ss"));
            const Vec x1(point(r), point(r) + nx), x2(point(r) + nx, point(r) + nz),
                u(point(r) + nz, point(r) + na);
            const StepResult want = run_step(m, x1, x2, u, ss);
            expect_near_all(Vec(z_next.begin() + r * nz, z_next.begin() + r * nz + nx),
                            want.x1_next, 1e-12);
            expect_near_all(Vec(z_next.begin() + r * nz + nx, z_next.begin() + (r + 1) * nz),
                            want.x2_next, 1e-12);
            expect_near_all(Vec(vars.begin() + r * nv, vars.begin() + (r + 1) * nv), want.vars,
                            1e-12);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SecondOrderStepRandom,
                         ::testing::Values(Sizes{1, 1, 1}, Sizes{3, 2, 2}, Sizes{4, 3, 1},
                                           Sizes{2, 5, 3}, Sizes{5, 0, 2}, Sizes{3, 2, 0},
                                           Sizes{4, 0, 0}, Sizes{7, 4, 5}),
                         [](const ::testing::TestParamInfo<Sizes>& info) {
                             return "nx" + std::to_string(info.param.nx) + "_ny" +
                                    std::to_string(info.param.ny) + "_ne" +
                                    std::to_string(info.param.ne);
                         });

}  // namespace
