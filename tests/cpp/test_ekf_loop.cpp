// Tests of the extended Kalman filter loop: a linear measurement supplied as callbacks must
// reproduce the linear loop, and the callbacks must be called as the loop's contract says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "filter_harness.h"

namespace {

using namespace harness;
using ref::near;
using ref::tr;

// ---- callbacks -------------------------------------------------------------------------------

// h(x) = C x + d, handed to the callbacks as the parameter pointer.
struct LinearMeasurement {
    int64_t n, m;
    const double* C;
    const double* d;
};

const LinearMeasurement& measurement_of(const f64* params) {
    return *reinterpret_cast<const LinearMeasurement*>(params);
}

struct Call {
    char fn;  // 'h' for meas, 'J' for jac
    const f64* x;
    const f64* out;
    bool operator==(const Call& o) const { return fn == o.fn && x == o.x && out == o.out; }
};

thread_local std::vector<Call> call_log;

void linear_meas(const f64* x, const f64* params, f64* out) {
    const LinearMeasurement& h = measurement_of(params);
    call_log.push_back({'h', x, out});
    for (int64_t i = 0; i < h.m; ++i) {
        double s = h.d[i];
        for (int64_t j = 0; j < h.n; ++j) s += h.C[i * h.n + j] * x[j];
        out[i] = s;
    }
}

void linear_jac(const f64* x, const f64* params, f64* out) {
    const LinearMeasurement& h = measurement_of(params);
    call_log.push_back({'J', x, out});
    std::memcpy(out, h.C, sizeof(double) * h.n * h.m);
}

// ---- harness ---------------------------------------------------------------------------------

Histories run_ekf(const Model& md, const Flags& f) {
    Histories h = allocate(md, f, ekf_arena_size(md.n, md.m, md.k).n_float, kUntouched);
    const LinearMeasurement lin{md.n, md.m, md.C.data(), md.d.data()};
    const ekf_inputs in{linear_meas, linear_jac, md.A.data(), md.B.data(),
                        reinterpret_cast<const f64*>(&lin), md.Q.data(), md.R.data(),
                        md.T > 0 ? md.y.data() : nullptr, md.x0.data(), md.P0.data(),
                        md.T, md.n, md.m, md.k, /*n_par=*/0, f.jitter,
                        f.symmetrize, f.joseph, f.y_filt, f.shocks, f.store};
    ekf_outputs out{ptr(h.x_pred), ptr(h.x_filt), ptr(h.P_pred), ptr(h.P_filt),
                    ptr(h.y_pred), f.y_filt ? ptr(h.y_filt) : nullptr,
                    ptr(h.innov), ptr(h.std_innov), ptr(h.S),
                    f.shocks ? ptr(h.eps_hat) : nullptr, &h.loglik};
    call_log.clear();
    h.status = ekf_hot_loop(&in, h.arena.data(), &out);
    return h;
}

// Offset of every block of the extended loop's carve, and of its end under "end".
std::map<std::string, int64_t> ekf_offsets(int64_t n, int64_t m, int64_t k) {
    const std::vector<std::pair<std::string, int64_t>> carve = {
        {"x_pred_buf", n},     {"x_filt_buf", n},     {"y_pred_buf", m}, {"v_buf", m},
        {"u_buf", m},          {"S_inv_v", m},        {"solve_f", m},    {"solve_b", m},
        {"P_pred_buf", n * n}, {"P_filt_buf", n * n}, {"KC", n * n},     {"I_minus_KC", n * n},
        {"temp_nn", n * n},    {"BQBT", n * n},       {"S_buf", m * m},  {"L", m * m},
        {"PCt", n * m},        {"K", n * m},          {"temp_nm", n * m}, {"H_buf", m * n},
        {"temp_mn", m * n},    {"temp_nk", n * k},    {"M", k * m},      {"temp_km", k * m}};
    std::map<std::string, int64_t> offsets;
    int64_t offset = 0;
    for (const auto& [name, cells] : carve) {
        offsets[name] = offset;
        offset += cells;
    }
    offsets["end"] = offset;
    return offsets;
}

// ---- linear measurement reproduces the linear loop -------------------------------------------

class EkfMatchesKf : public ::testing::TestWithParam<Flags> {};

TEST_P(EkfMatchesKf, OnTheSameModelAndFlags) {
    const Flags f = GetParam();
    const Model md = random_model(4, 3, 2, 9, 41);
    const Histories want = run_kf(md, f);
    const Histories got = run_ekf(md, f);
    ASSERT_EQ(want.status, KF_OK);
    ASSERT_EQ(got.status, KF_OK);
    EXPECT_NEAR(got.loglik, want.loglik, 1e-12 * std::fabs(want.loglik));
    const std::vector<int64_t> cells = row_cells(md);
    for (size_t i = 0; i < kHistoryFields.size(); ++i) {
        const auto& [name, field] = kHistoryFields[i];
        SCOPED_TRACE(name);
        Mat expected(md.T, cells[i]);
        expected.a = want.*field;
        EXPECT_TRUE(near(got.*field, expected, 1e-11));
    }
}

INSTANTIATE_TEST_SUITE_P(FlagSets, EkfMatchesKf,
                         ::testing::Values(Flags{false, false, 0.0, true},
                                           Flags{false, true, 0.0, true},
                                           Flags{true, false, 1e-4, true},
                                           Flags{true, true, 0.0, true},
                                           Flags{false, false, 0.3, false}));

// ---- callback protocol -----------------------------------------------------------------------

struct Protocol {
    bool store, y_filt, shocks;
};

class EkfCallOrder : public ::testing::TestWithParam<Protocol> {};

TEST_P(EkfCallOrder, PerPeriodMeasThenJacThenFilteredMeasWhenAsked) {
    const auto [store, y_filt, shocks] = GetParam();
    const Model md = random_model(3, 2, 2, 4, 43);
    Flags f;
    f.store = store;
    f.y_filt = y_filt;
    f.shocks = shocks;
    Histories h = run_ekf(md, f);
    ASSERT_EQ(h.status, KF_OK);
    auto at = ekf_offsets(md.n, md.m, md.k);
    const double* arena = h.arena.data();
    std::vector<Call> want;
    for (int64_t t = 0; t < md.T; ++t) {
        want.push_back({'h', arena + at["x_pred_buf"], arena + at["y_pred_buf"]});
        want.push_back({'J', arena + at["x_pred_buf"], arena + at["H_buf"]});
        if (store && y_filt) {
            want.push_back({'h', arena + at["x_filt_buf"], h.y_filt.data() + t * md.m});
        }
    }
    EXPECT_TRUE(call_log == want);
    EXPECT_EQ(call_log.size(), want.size());
    if (store && !y_filt) {
        const double* y_filt_end = h.y_filt.data() + h.y_filt.size();
        EXPECT_TRUE(ref::all_equal(h.y_filt.data(), y_filt_end, kUntouched));
    }
}

INSTANTIATE_TEST_SUITE_P(FlagSets, EkfCallOrder,
                         ::testing::Values(Protocol{true, true, true}, Protocol{true, false, true},
                                           Protocol{false, true, true},
                                           Protocol{false, false, false}));

TEST(EkfLoop, EmptySampleCallsNothing) {
    const Model md = random_model(2, 2, 1, 0, 3);
    const Histories h = run_ekf(md, Flags{});
    EXPECT_EQ(h.status, KF_OK);
    EXPECT_EQ(h.loglik, 0.0);
    EXPECT_TRUE(call_log.empty());
}

// The failing walk observed through h(x) = x: S stays positive in periods 0 and 1 and fails in
// period 2.
TEST(EkfLoop, FailureAfterMeasAndJacOfTheFailingPeriod) {
    const int64_t fail_period = 2;
    const auto walk = [](int64_t T) { return failing_walk(10.0, 3.0, T); };
    const Histories before = run_ekf(walk(fail_period), Flags{});
    ASSERT_EQ(before.status, KF_OK);
    const Histories failed = run_ekf(walk(5), Flags{});
    EXPECT_EQ(failed.status, KF_ERR_CHOLESKY);
    EXPECT_EQ(failed.loglik, before.loglik);
    ASSERT_EQ(call_log.size(), 3u * fail_period + 2);
    EXPECT_EQ(call_log[3 * fail_period].fn, 'h');
    EXPECT_EQ(call_log[3 * fail_period + 1].fn, 'J');
    for (const auto& [name, field] : kHistoryFields) {
        SCOPED_TRACE(name);
        const std::vector<double>& rows = failed.*field;
        EXPECT_TRUE(std::equal((before.*field).begin(), (before.*field).end(), rows.begin()));
        EXPECT_TRUE(ref::all_equal(rows.data() + fail_period, rows.data() + rows.size(),
                                   kUntouched));
    }
}

TEST(EkfLoop, FirstPredictedCovarianceIsTheSymmetrisedPrior) {
    Model md = random_model(3, 2, 2, 3, 47);
    md.P0 = md.P0 + 0.3 * ref::Rng(4).mat(3, 3);
    for (const bool symmetrize : {false, true}) {
        SCOPED_TRACE(symmetrize);
        Flags f;
        f.symmetrize = symmetrize;
        const Histories h = run_ekf(md, f);
        ASSERT_EQ(h.status, KF_OK);
        EXPECT_TRUE(near(h.P_pred.data(), symmetrize ? ref::sym(md.P0) : md.P0, 0.0));
    }
}

// ---- arena -----------------------------------------------------------------------------------

TEST(EkfArena, SizeFormulaAndCarve) {
    const Model md = random_model(3, 2, 2, 5, 53);
    const int64_t n = md.n, m = md.m, k = md.k;
    const arena_size size = ekf_arena_size(n, m, k);
    EXPECT_EQ(size.n_float, 6 * n * n + 2 * m * m + 5 * n * m + n * k + 2 * k * m + 2 * n + 6 * m);
    EXPECT_EQ(size.n_int, 0);
    auto at = ekf_offsets(n, m, k);
    EXPECT_EQ(at["end"], size.n_float);

    const Histories h = run_ekf(md, Flags{});
    ASSERT_EQ(h.status, KF_OK);
    const Mat x_filt = ref::from(n, 1, last_row(h.x_filt, n).a);
    const Mat P_filt = ref::from(n, n, last_row(h.P_filt, n * n).a);
    const Mat BQBT = md.B * md.Q * tr(md.B);
    const std::vector<std::pair<const char*, Mat>> contents = {
        {"x_pred_buf", md.A * x_filt},
        {"x_filt_buf", x_filt},
        {"y_pred_buf", last_row(h.y_pred, m)},
        {"v_buf", last_row(h.innov, m)},
        {"u_buf", last_row(h.std_innov, m)},
        {"P_pred_buf", md.A * P_filt * tr(md.A) + BQBT},
        {"P_filt_buf", P_filt},
        {"BQBT", BQBT},
        {"S_buf", last_row(h.S, m * m)},
        {"H_buf", md.C},
        {"temp_nk", md.B * md.Q},
        {"M", md.Q * tr(md.B) * tr(md.C)},
        {"temp_km", tr(md.B) * tr(md.C)}};
    for (const auto& [name, content] : contents) {
        EXPECT_TRUE(near(h.arena.data() + at[name], content, 1e-12)) << name;
    }
    EXPECT_TRUE(ref::all_equal(h.arena.data() + at["end"], h.arena.data() + h.arena.size(),
                               kUntouched));
}

}  // namespace
