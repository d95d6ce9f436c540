// Tests of the second-order unscented Kalman filter loop (ukf_hot_loop) and its arena size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "dense_reference.h"
#include "kalman/kalman.h"

namespace {

using ref::Mat;
using Vec = std::vector<f64>;

constexpr f64 kSentinel = -777.0;
constexpr f64 kLogTwoPi = 1.8378770664093453;

// ---- measurement callbacks -------------------------------------------------------------------
// Plain native functions, as the host would hand over. params holds the no x nv matrix C; the
// dimensions and the call log live in a thread-local record set up by each run.
struct MeasLog {
    i64 nv = 0, no = 0;
    i64 calls = 0;
    i64 zero_after = -1;  // >= 0: every call after this many writes zeros
    std::vector<Vec> seen;
};
thread_local MeasLog g_meas;

void record_and_project(const f64* x, const f64* C, f64* out) {
    g_meas.seen.emplace_back(x, x + g_meas.nv);
    ++g_meas.calls;
    for (i64 i = 0; i < g_meas.no; ++i) {
        f64 s = 0.0;
        for (i64 j = 0; j < g_meas.nv; ++j) s += C[i * g_meas.nv + j] * x[j];
        out[i] = (g_meas.zero_after >= 0 && g_meas.calls > g_meas.zero_after) ? 0.0 : s;
    }
}

// y = C x
void linear_meas(const f64* x, const f64* params, f64* out) { record_and_project(x, params, out); }

// y = C x + (C x)^2 / 2, cell by cell
f64 quadratic_of(f64 lin) { return lin + 0.5 * lin * lin; }
void quadratic_meas(const f64* x, const f64* params, f64* out) {
    record_and_project(x, params, out);
    for (i64 i = 0; i < g_meas.no; ++i) out[i] = quadratic_of(out[i]);
}

// ---- problems ---------------------------------------------------------------------------------
struct Problem {
    i64 ns = 1, nc = 0, ne = 0, no = 1, T = 1;
    Mat hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, ss;
    Mat C, Q, R, obs, z0, P0;
    f64 alpha = 1.0, beta = 2.0, kappa = 0.0, jitter = 0.0;
    int symmetrize = 1, store_history = 1;
    meas_fn meas = linear_meas;
    i64 zero_after = -1;

    i64 nz() const { return 2 * ns; }
    i64 na() const { return nz() + ne; }
    i64 n_sig() const { return 2 * na() + 1; }
    i64 nv() const { return ns + nc; }
};

const f64* ptr(const Mat& X) { return X.size() > 0 ? X.data() : nullptr; }

// Seeded model; the second-order blocks are zero unless asked for. Blocks with no cells stay
// empty, so the loop receives null pointers for them.
Problem random_problem(uint64_t seed, i64 ns, i64 nc, i64 ne, i64 no, i64 T, bool second_order) {
    ref::Rng rng(seed);
    Problem p;
    p.ns = ns, p.nc = nc, p.ne = ne, p.no = no, p.T = T;
    const f64 q = second_order ? 0.2 : 0.0;
    p.hx = rng.stable(ns);
    p.gx = rng.mat(nc, ns);
    p.bu = rng.mat(ns + nc, ne);
    p.hxx = q * rng.mat(ns, ns * ns);
    p.gxx = q * rng.mat(nc, ns * ns);
    p.hxu = q * rng.mat(ns, ns * ne);
    p.gxu = q * rng.mat(nc, ns * ne);
    p.huu = q * rng.mat(ns, ne * ne);
    p.guu = q * rng.mat(nc, ne * ne);
    p.hss = q * rng.mat(ns, 1);
    p.gss = q * rng.mat(nc, 1);
    p.ss = rng.mat(ns + nc, 1);
    p.C = rng.mat(no, ns + nc);
    p.Q = 0.3 * rng.spd(ne);
    p.R = 0.1 * rng.spd(no);
    p.obs = rng.mat(T, no);
    p.z0 = 0.3 * rng.mat(2 * ns, 1);
    p.P0 = 0.2 * rng.spd(2 * ns);
    return p;
}

ukf_inputs inputs_of(const Problem& p) {
    ukf_inputs in{};
    in.meas = p.meas;
    in.hx = ptr(p.hx), in.gx = ptr(p.gx), in.bu = ptr(p.bu);
    in.hxx = ptr(p.hxx), in.gxx = ptr(p.gxx), in.hxu = ptr(p.hxu), in.gxu = ptr(p.gxu);
    in.huu = ptr(p.huu), in.guu = ptr(p.guu), in.hss = ptr(p.hss), in.gss = ptr(p.gss);
    in.steady_state = ptr(p.ss);
    in.params = ptr(p.C);
    in.Q = ptr(p.Q), in.R = ptr(p.R), in.obs = ptr(p.obs), in.z0 = ptr(p.z0), in.P0 = ptr(p.P0);
    in.T = p.T, in.n_state = p.ns, in.n_ctrl = p.nc, in.n_exog = p.ne, in.n_obs = p.no;
    in.n_params = p.C.size();
    in.alpha = p.alpha, in.beta = p.beta, in.kappa = p.kappa, in.jitter = p.jitter;
    in.symmetrize = p.symmetrize, in.store_history = p.store_history;
    return in;
}

struct LoopResult {
    i64 status = 0;
    f64 loglik = kSentinel;
    Vec x1_pred, x2_pred, x1_filt, x2_filt, x_pred, x_filt, P_pred, P_filt, y_pred, y_filt,
        innov, std_innov, S;
    i64 calls = 0;
    std::vector<Vec> seen;
};

// Runs the loop with histories filled with kSentinel (null pointers without histories) and an
// arena of ukf_arena_size cells filled with NaN, so that a cell read before it is written
// shows up in the results, followed by guard cells that must stay untouched.
LoopResult run_loop(const Problem& p, std::function<void(ukf_inputs&)> tweak = nullptr) {
    ukf_inputs in = inputs_of(p);
    if (tweak) tweak(in);
    const i64 T = p.T > 0 ? p.T : 0, ns = p.ns, nz = p.nz(), nv = p.nv(), no = p.no;
    LoopResult r;
    auto history = [&](Vec& h, i64 cells) {
        h.assign(static_cast<size_t>(T * cells), kSentinel);
        return p.store_history ? h.data() : nullptr;
    };
    ukf_outputs out{};
    out.x1_pred = history(r.x1_pred, ns), out.x2_pred = history(r.x2_pred, ns);
    out.x1_filt = history(r.x1_filt, ns), out.x2_filt = history(r.x2_filt, ns);
    out.x_pred = history(r.x_pred, nv), out.x_filt = history(r.x_filt, nv);
    out.P_pred = history(r.P_pred, nz * nz), out.P_filt = history(r.P_filt, nz * nz);
    out.y_pred = history(r.y_pred, no), out.y_filt = history(r.y_filt, no);
    out.innov = history(r.innov, no), out.std_innov = history(r.std_innov, no);
    out.S = history(r.S, no * no);
    out.loglik = &r.loglik;

    const i64 n_arena = ukf_arena_size(p.ns, p.nc, p.ne, p.no).n_float, n_guard = 16;
    Vec arena(static_cast<size_t>(n_arena + n_guard), std::numeric_limits<f64>::quiet_NaN());
    std::fill(arena.begin() + n_arena, arena.end(), kSentinel);
    g_meas = MeasLog{};
    g_meas.nv = nv, g_meas.no = no, g_meas.zero_after = p.zero_after;
    r.status = ukf_hot_loop(&in, arena.data(), &out);
    EXPECT_TRUE(ref::all_equal(arena.data() + n_arena, arena.data() + n_arena + n_guard,
                               kSentinel))
        << "write past the arena";
    r.calls = g_meas.calls;
    r.seen = g_meas.seen;
    return r;
}

Mat blockdiag(const Mat& A, const Mat& B) {
    Mat D(A.rows + B.rows, A.cols + B.cols);
    for (i64 i = 0; i < A.rows; ++i)
        for (i64 j = 0; j < A.cols; ++j) D(i, j) = A(i, j);
    for (i64 i = 0; i < B.rows; ++i)
        for (i64 j = 0; j < B.cols; ++j) D(A.rows + i, A.cols + j) = B(i, j);
    return D;
}

TEST(UkfArenaSize, MatchesTheBlockCountOfASmallModel) {
    // ns = nc = ne = no = 1: nz 2, na 3, n_sig 7, nv 2; the first 29 blocks add up to 114
    // cells, the folded step coefficients to 4 x 2 + 3 x 3 = 17 (four quadratic terms per
    // point), the batched step scratch to 7 x (4 + 2 + 3) = 63 and the deviations of z, y and
    // the variables to 7 x (2 + 2 + 1 + 1 + 2) = 56.
    const arena_size size = ukf_arena_size(1, 1, 1, 1);
    EXPECT_EQ(size.n_float, 114 + 17 + 63 + 56);
    EXPECT_EQ(size.n_int, 0);
}

// ---- linear case: the unscented transform is exact -------------------------------------------
// With every second-order block zero the step is linear, (x1', x2') = M (z, u) and
// vars' = ss + V (z, u), so the filter must reproduce the Kalman filter of the augmented linear
// model, with jitter added to the factored matrices P_prev, Q and S.
struct LinearCase {
    i64 ns, nc, ne, no, T;
    f64 jitter;
    int symmetrize;
};

class UkfLinear : public ::testing::TestWithParam<LinearCase> {};

TEST_P(UkfLinear, ReproducesTheKalmanFilterOfTheAugmentedModel) {
    const LinearCase c = GetParam();
    Problem p = random_problem(100 + c.ns * 10 + c.ne, c.ns, c.nc, c.ne, c.no, c.T, false);
    p.jitter = c.jitter;
    p.symmetrize = c.symmetrize;
    p.alpha = 0.7, p.kappa = 0.5;  // the result must not depend on the spread
    const LoopResult r = run_loop(p);
    ASSERT_EQ(r.status, KF_OK);
    ASSERT_EQ(r.calls, p.T * (p.n_sig() + 1));

    const i64 ns = p.ns, nc = p.nc, ne = p.ne, nz = p.nz(), na = p.na(), nv = p.nv(), no = p.no;
    Mat M(nz, na), V(nv, na);
    for (i64 i = 0; i < ns; ++i) {
        for (i64 j = 0; j < ns; ++j) {
            M(i, j) = M(ns + i, ns + j) = p.hx(i, j);
            V(i, j) = V(i, ns + j) = p.hx(i, j);
        }
        for (i64 l = 0; l < ne; ++l) M(i, nz + l) = V(i, nz + l) = p.bu(i, l);
    }
    for (i64 i = 0; i < nc; ++i) {
        for (i64 j = 0; j < ns; ++j) V(ns + i, j) = V(ns + i, ns + j) = p.gx(i, j);
        for (i64 l = 0; l < ne; ++l) V(ns + i, nz + l) = p.bu(ns + i, l);
    }
    auto jittered = [&](const Mat& X) {
        return c.jitter > 0.0 ? X + c.jitter * ref::identity(X.rows) : X;
    };

    Mat z = p.z0, P = p.P0;
    f64 loglik = 0.0;
    const f64 tol = 1e-9;
    for (i64 t = 0; t < p.T; ++t) {
        SCOPED_TRACE("period " + std::to_string(t));
        const Mat Pa = blockdiag(jittered(P), jittered(p.Q));
        const Mat a = blockdiag(z, Mat(ne, 0));
        const Mat z_pred = M * a, vars_pred = p.ss + V * a, y_pred = p.C * vars_pred;
        const Mat P_pred = M * Pa * ref::tr(M), Pvv = V * Pa * ref::tr(V);
        const Mat S = p.C * Pvv * ref::tr(p.C) + p.R;
        const Mat Pzy = M * Pa * ref::tr(V) * ref::tr(p.C), Pvy = Pvv * ref::tr(p.C);
        const Mat S_inv = ref::inverse(jittered(S));
        const Mat v = ref::row(p.obs, t) - y_pred;
        const Mat K = Pzy * S_inv;
        const Mat z_filt = z_pred + K * v, P_filt = P_pred - K * ref::tr(Pzy);
        const Mat vars_filt = vars_pred + Pvy * S_inv * v;
        bool ok = false;
        const Mat L = ref::chol_lower(jittered(S), &ok);
        ASSERT_TRUE(ok);
        const Mat std_innov = ref::inverse(L) * v;
        f64 logdet = 0.0;
        for (i64 i = 0; i < no; ++i) logdet += 2.0 * std::log(L(i, i));
        loglik += -0.5 * (logdet + (ref::tr(v) * S_inv * v).a[0] + no * kLogTwoPi);

        Mat x1_pred(ns, 1), x2_pred(ns, 1), x1_filt(ns, 1), x2_filt(ns, 1);
        for (i64 i = 0; i < ns; ++i) {
            x1_pred.a[i] = z_pred.a[i], x2_pred.a[i] = z_pred.a[ns + i];
            x1_filt.a[i] = z_filt.a[i], x2_filt.a[i] = z_filt.a[ns + i];
        }
        EXPECT_TRUE(ref::near(r.x1_pred.data() + t * ns, x1_pred, tol));
        EXPECT_TRUE(ref::near(r.x2_pred.data() + t * ns, x2_pred, tol));
        EXPECT_TRUE(ref::near(r.x1_filt.data() + t * ns, x1_filt, tol));
        EXPECT_TRUE(ref::near(r.x2_filt.data() + t * ns, x2_filt, tol));
        EXPECT_TRUE(ref::near(r.x_pred.data() + t * nv, vars_pred, tol));
        EXPECT_TRUE(ref::near(r.x_filt.data() + t * nv, vars_filt, tol));
        EXPECT_TRUE(ref::near(r.P_pred.data() + t * nz * nz, P_pred, tol));
        EXPECT_TRUE(ref::near(r.P_filt.data() + t * nz * nz, P_filt, tol));
        EXPECT_TRUE(ref::near(r.y_pred.data() + t * no, y_pred, tol));
        EXPECT_TRUE(ref::near(r.y_filt.data() + t * no, p.C * vars_filt, tol));
        EXPECT_TRUE(ref::near(r.innov.data() + t * no, v, tol));
        EXPECT_TRUE(ref::near(r.std_innov.data() + t * no, std_innov, tol));
        EXPECT_TRUE(ref::near(r.S.data() + t * no * no, S, tol));
        z = z_filt;
        P = P_filt;
    }
    EXPECT_NEAR(r.loglik, loglik, 1e-9 * std::max(1.0, std::fabs(loglik)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UkfLinear,
    ::testing::Values(LinearCase{2, 1, 1, 2, 4, 0.0, 1}, LinearCase{3, 2, 2, 2, 3, 0.0, 0},
                      LinearCase{2, 0, 1, 1, 3, 1e-3, 1},  // no controls
                      LinearCase{2, 2, 0, 2, 3, 0.0, 1},   // no shocks: Q is never read
                      LinearCase{1, 1, 3, 3, 2, 1e-2, 0}, LinearCase{4, 3, 2, 3, 5, 0.0, 1}),
    [](const ::testing::TestParamInfo<LinearCase>& info) {
        const LinearCase& c = info.param;
        return "ns" + std::to_string(c.ns) + "_nc" + std::to_string(c.nc) + "_ne" +
               std::to_string(c.ne) + "_no" + std::to_string(c.no) +
               (c.jitter > 0.0 ? "_jitter" : "") + (c.symmetrize ? "_sym" : "");
    });

// ---- sigma points and weights -----------------------------------------------------------------
// One state, one shock, no controls, hx = bu = 1: the callback sees the state level
// ss + x1 + x2 + u of each sigma point, so the calls reveal the spread gamma and the columns of
// the factor blockdiag(chol(P0), sqrt(Q)); a quadratic measurement makes y_pred and S depend
// on every weight.
struct SpreadCase {
    const char* name;
    f64 alpha, beta, kappa;
    f64 c, w0_m, w0_c, wi;  // worked by hand for na = 3
};

class UkfSpread : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(UkfSpread, SigmaPointsAndWeights) {
    const SpreadCase sc = GetParam();
    Problem p;
    p.ns = 1, p.nc = 0, p.ne = 1, p.no = 1, p.T = 1;
    p.hx = ref::from(1, 1, {1.0});
    p.bu = ref::from(1, 1, {1.0});
    p.hxx = Mat(1, 1), p.hxu = Mat(1, 1), p.huu = Mat(1, 1), p.hss = Mat(1, 1);
    p.ss = ref::from(1, 1, {0.3});
    p.C = ref::from(1, 1, {1.0});
    p.Q = ref::from(1, 1, {0.09});
    p.R = ref::from(1, 1, {0.01});
    p.obs = ref::from(1, 1, {0.5});
    p.z0 = ref::from(2, 1, {0.2, -0.1});
    p.P0 = ref::from(2, 2, {0.5, 0.2, 0.2, 0.4});
    p.alpha = sc.alpha, p.beta = sc.beta, p.kappa = sc.kappa;
    p.meas = quadratic_meas;
    const LoopResult r = run_loop(p);
    ASSERT_EQ(r.status, KF_OK);
    ASSERT_EQ(r.calls, 8);

    // Columns of the augmented factor and their state-level sums.
    const f64 L00 = std::sqrt(0.5), L10 = 0.2 / L00, L11 = std::sqrt(0.4 - L10 * L10);
    const f64 column_sums[3] = {L00 + L10, L11, 0.3};
    const f64 centre = 0.3 + 0.2 - 0.1, gamma = std::sqrt(sc.c);
    Vec levels(7);
    levels[0] = centre;
    for (int col = 0; col < 3; ++col) {
        levels[1 + col] = centre + gamma * column_sums[col];
        levels[4 + col] = centre - gamma * column_sums[col];
    }
    for (int k = 0; k < 7; ++k) EXPECT_NEAR(r.seen[k][0], levels[k], 1e-12) << "sigma " << k;

    f64 x_pred = sc.w0_m * levels[0], y_pred = sc.w0_m * quadratic_of(levels[0]);
    for (int k = 1; k < 7; ++k) {
        x_pred += sc.wi * levels[k];
        y_pred += sc.wi * quadratic_of(levels[k]);
    }
    f64 S = 0.01;
    for (int k = 0; k < 7; ++k) {
        const f64 d = quadratic_of(levels[k]) - y_pred;
        S += (k == 0 ? sc.w0_c : sc.wi) * d * d;
    }
    EXPECT_NEAR(r.x_pred[0], x_pred, 1e-12);
    EXPECT_NEAR(r.y_pred[0], y_pred, 1e-12);
    EXPECT_NEAR(r.S[0], S, 1e-12);
    // The extra call filters the variable levels: it reads the row just written to x_filt.
    EXPECT_EQ(r.seen[7][0], r.x_filt[0]);
    EXPECT_NEAR(r.y_filt[0], quadratic_of(r.x_filt[0]), 1e-14);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UkfSpread,
    ::testing::Values(SpreadCase{"unit_alpha", 1.0, 2.0, 0.0, 3.0, 0.0, 2.0, 1.0 / 6.0},
                      SpreadCase{"unit_alpha_no_beta", 1.0, 0.0, 0.0, 3.0, 0.0, 0.0, 1.0 / 6.0},
                      SpreadCase{"negative_lambda", 0.5, 2.0, 1.0, 1.0, -2.0, 0.75, 0.5},
                      SpreadCase{"negative_centre_weight", 2.0, 0.0, -1.0, 8.0, 0.625, -2.375,
                                 0.0625}),
    [](const ::testing::TestParamInfo<SpreadCase>& info) { return info.param.name; });

// ---- set-up failures --------------------------------------------------------------------------
struct SetupCase {
    const char* name;
    std::function<void(ukf_inputs&)> tweak;
    i64 status;
};

const f64 kBadQ[4] = {-1.0, 0.0, 0.0, 1.0};
const f64 kZeroQ[4] = {0.0, 0.0, 0.0, 0.0};

class UkfSetupFailure : public ::testing::TestWithParam<std::tuple<SetupCase, i64>> {};

TEST_P(UkfSetupFailure, ReturnsBeforeAnyCallbackAndLeavesEverythingUntouched) {
    const auto& [sc, T] = GetParam();
    Problem p = random_problem(7, 2, 1, 2, 2, T, true);
    const LoopResult r = run_loop(p, sc.tweak);
    EXPECT_EQ(r.status, sc.status);
    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(r.loglik, kSentinel);
    EXPECT_TRUE(ref::all_equal(r.x_pred.data(), r.x_pred.data() + r.x_pred.size(), kSentinel));
    EXPECT_TRUE(ref::all_equal(r.P_filt.data(), r.P_filt.data() + r.P_filt.size(), kSentinel));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UkfSetupFailure,
    ::testing::Combine(
        ::testing::Values(
            SetupCase{"null_meas", [](ukf_inputs& in) { in.meas = nullptr; }, KF_ERR_INVALID_INPUT},
            SetupCase{"no_states", [](ukf_inputs& in) { in.n_state = 0; }, KF_ERR_INVALID_INPUT},
            SetupCase{"negative_states",
                      [](ukf_inputs& in) { in.n_state = -2; }, KF_ERR_INVALID_INPUT},
            SetupCase{"no_observables", [](ukf_inputs& in) { in.n_obs = 0; }, KF_ERR_INVALID_INPUT},
            SetupCase{"negative_controls",
                      [](ukf_inputs& in) { in.n_ctrl = -1; }, KF_ERR_INVALID_INPUT},
            SetupCase{"negative_shocks",
                      [](ukf_inputs& in) { in.n_exog = -1; }, KF_ERR_INVALID_INPUT},
            SetupCase{"spread_zero",
                      [](ukf_inputs& in) { in.kappa = -6.0; }, KF_ERR_CHOLESKY},  // -na
            SetupCase{"spread_negative", [](ukf_inputs& in) { in.kappa = -9.0; }, KF_ERR_CHOLESKY},
            SetupCase{"spread_nan",
                      [](ukf_inputs& in) { in.alpha = std::nan(""); }, KF_ERR_CHOLESKY},
            SetupCase{"spread_infinite",
                      [](ukf_inputs& in) { in.kappa = std::numeric_limits<f64>::infinity(); },
                      KF_ERR_CHOLESKY},
            SetupCase{"indefinite_Q", [](ukf_inputs& in) { in.Q = kBadQ; }, KF_ERR_CHOLESKY},
            SetupCase{"zero_Q", [](ukf_inputs& in) { in.Q = kZeroQ; }, KF_ERR_CHOLESKY}),
        ::testing::Values<i64>(0, 3)),
    [](const ::testing::TestParamInfo<std::tuple<SetupCase, i64>>& info) {
        return std::string(std::get<0>(info.param).name) + "_T" +
               std::to_string(std::get<1>(info.param));
    });

// ---- factorisation inside the loop ------------------------------------------------------------
// P0 and Q given by their diagonals; the retry adds 1e-10 times the largest diagonal cell.
struct RetryCase {
    const char* name;
    Vec P0_diag, Q_diag;
    f64 jitter;
    i64 status;
};

class UkfCholRetry : public ::testing::TestWithParam<RetryCase> {};

TEST_P(UkfCholRetry, SingularOnlyToRoundingIsAcceptedOnTheRetry) {
    const RetryCase rc = GetParam();
    Problem p = random_problem(21, 1, 1, static_cast<i64>(rc.Q_diag.size()), 1, 2, true);
    p.P0 = Mat(2, 2);
    for (i64 i = 0; i < 2; ++i) p.P0(i, i) = rc.P0_diag[i];
    p.Q = Mat(p.ne, p.ne);
    for (i64 i = 0; i < p.ne; ++i) p.Q(i, i) = rc.Q_diag[i];
    p.jitter = rc.jitter;
    const LoopResult r = run_loop(p);
    EXPECT_EQ(r.status, rc.status);
    if (rc.status == KF_OK) {
        EXPECT_EQ(r.calls, p.T * (p.n_sig() + 1));
        EXPECT_TRUE(std::isfinite(r.loglik));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UkfCholRetry,
    ::testing::Values(RetryCase{"P0_zero_x2_variance", {1.0, 0.0}, {0.5}, 0.0, KF_OK},
                      RetryCase{"P0_zero_x2_variance_jittered", {1.0, 0.0}, {0.5}, 1e-8, KF_OK},
                      RetryCase{"Q_one_zero_variance", {1.0, 0.5}, {0.5, 0.0}, 0.0, KF_OK},
                      RetryCase{"Q_zero", {1.0, 0.5}, {0.0}, 0.0, KF_ERR_CHOLESKY}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

TEST(UkfPeriodFailure, StateCovarianceFailingAtPeriodZeroWritesZeroLoglik) {
    Problem p = random_problem(22, 1, 1, 1, 1, 3, true);
    p.P0 = ref::from(2, 2, {1.0, 0.0, 0.0, -1e-3});  // beyond what the retry can mend
    const LoopResult r = run_loop(p);
    EXPECT_EQ(r.status, KF_ERR_CHOLESKY);
    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(r.loglik, 0.0);
    EXPECT_TRUE(ref::all_equal(r.S.data(), r.S.data() + r.S.size(), kSentinel));
}

TEST(UkfPeriodFailure, InnovationCovarianceFailingAtPeriodOneKeepsPeriodZero) {
    // R = 0 and a measurement that turns constant in period 1: S of period 1 is the zero matrix.
    Problem p = random_problem(23, 2, 1, 1, 2, 4, true);
    p.R = Mat(2, 2);
    p.zero_after = p.n_sig() + 1;
    const LoopResult r = run_loop(p);
    EXPECT_EQ(r.status, KF_ERR_CHOLESKY);
    EXPECT_EQ(r.calls, 2 * p.n_sig() + 1);  // period 1's sigma points were measured

    Problem first = p;
    first.T = 1;
    const LoopResult r1 = run_loop(first);
    ASSERT_EQ(r1.status, KF_OK);
    EXPECT_NEAR(r.loglik, r1.loglik, 1e-12 * std::max(1.0, std::fabs(r1.loglik)));
    const i64 nv = p.nv(), nz2 = p.nz() * p.nz();
    EXPECT_TRUE(ref::near(r.x_filt.data(), ref::from(nv, 1, r1.x_filt), 0.0));
    EXPECT_TRUE(ref::all_equal(r.x_filt.data() + nv, r.x_filt.data() + r.x_filt.size(),
                               kSentinel));
    EXPECT_TRUE(ref::all_equal(r.P_pred.data() + nz2, r.P_pred.data() + r.P_pred.size(),
                               kSentinel));
}

// ---- second-order model: properties -----------------------------------------------------------
struct ModelCase {
    i64 ns, nc, ne, no;
};

class UkfSecondOrder : public ::testing::TestWithParam<ModelCase> {};

// The state part of vars is ss + x1 + x2, linear in z, and the mean weights sum to one; the
// state rows of Kv are the sums of the x1 and x2 rows of K.
TEST_P(UkfSecondOrder, StateLevelsAreSteadyStatePlusBothComponents) {
    const ModelCase c = GetParam();
    Problem p = random_problem(31 + c.ns + c.ne, c.ns, c.nc, c.ne, c.no, 4, true);
    p.meas = quadratic_meas;
    const LoopResult r = run_loop(p);
    ASSERT_EQ(r.status, KF_OK);
    const i64 ns = p.ns, nv = p.nv();
    for (i64 t = 0; t < p.T; ++t) {
        for (i64 i = 0; i < ns; ++i) {
            const f64 pred = p.ss.a[i] + r.x1_pred[t * ns + i] + r.x2_pred[t * ns + i];
            const f64 filt = p.ss.a[i] + r.x1_filt[t * ns + i] + r.x2_filt[t * ns + i];
            EXPECT_NEAR(r.x_pred[t * nv + i], pred, 1e-10) << "t " << t << " state " << i;
            EXPECT_NEAR(r.x_filt[t * nv + i], filt, 1e-10) << "t " << t << " state " << i;
        }
    }
}

TEST_P(UkfSecondOrder, SymmetrisedCovariancesAreExactlySymmetric) {
    const ModelCase c = GetParam();
    Problem p = random_problem(41 + c.ns + c.ne, c.ns, c.nc, c.ne, c.no, 3, true);
    p.meas = quadratic_meas;
    const LoopResult r = run_loop(p);
    ASSERT_EQ(r.status, KF_OK);
    const i64 nz = p.nz(), no = p.no;
    for (i64 t = 0; t < p.T; ++t) {
        EXPECT_TRUE(ref::is_exactly_symmetric(r.P_pred.data() + t * nz * nz, nz));
        EXPECT_TRUE(ref::is_exactly_symmetric(r.P_filt.data() + t * nz * nz, nz));
        EXPECT_TRUE(ref::is_exactly_symmetric(r.S.data() + t * no * no, no));
    }
}

// Histories off: exactly n_sig calls per period, null history pointers never touched, and the
// same log-likelihood.
TEST_P(UkfSecondOrder, HistoriesOffChangeOnlyTheCallCount) {
    const ModelCase c = GetParam();
    Problem p = random_problem(51 + c.ns + c.ne, c.ns, c.nc, c.ne, c.no, 5, true);
    p.meas = quadratic_meas;
    const LoopResult with = run_loop(p);
    p.store_history = 0;
    const LoopResult without = run_loop(p);
    ASSERT_EQ(with.status, KF_OK);
    ASSERT_EQ(without.status, KF_OK);
    EXPECT_EQ(with.calls, p.T * (p.n_sig() + 1));
    EXPECT_EQ(without.calls, p.T * p.n_sig());
    EXPECT_EQ(without.loglik, with.loglik);
}

TEST_P(UkfSecondOrder, NoPeriodsCallNothingAndGiveZeroLoglik) {
    const ModelCase c = GetParam();
    Problem p = random_problem(61, c.ns, c.nc, c.ne, c.no, 0, true);
    const LoopResult r = run_loop(p, [](ukf_inputs& in) { in.obs = nullptr; });
    EXPECT_EQ(r.status, KF_OK);
    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(r.loglik, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, UkfSecondOrder,
                         ::testing::Values(ModelCase{1, 1, 1, 1}, ModelCase{3, 2, 2, 2},
                                           ModelCase{2, 0, 2, 1},   // no controls
                                           ModelCase{2, 3, 0, 2},   // no shocks
                                           ModelCase{4, 2, 3, 3}),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                             const ModelCase& c = info.param;
                             return "ns" + std::to_string(c.ns) + "_nc" + std::to_string(c.nc) +
                                    "_ne" + std::to_string(c.ne) + "_no" +
                                    std::to_string(c.no);
                         });

}  // namespace
