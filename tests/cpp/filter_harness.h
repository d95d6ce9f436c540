// Shared harness of the filter-loop tests: seeded models, flags, and a run of the linear loop
// into sentinel-filled histories.
#ifndef VELM_TESTS_FILTER_HARNESS_H
#define VELM_TESTS_FILTER_HARNESS_H

#include <utility>
#include <vector>

#include "dense_reference.h"
#include "kalman/kalman.h"

namespace harness {

using ref::Mat;

constexpr double kUntouched = -7.25e77;  // sentinel of cells a run must not write
constexpr int64_t kPad = 8;              // sentinel cells after every arena

struct Model {
    int64_t n, m, k, T;
    Mat A, B, C, d, Q, R, y, x0, P0;
};

inline Model random_model(int64_t n, int64_t m, int64_t k, int64_t T, uint64_t seed) {
    ref::Rng rng(seed);
    return Model{n, m, k, T, rng.stable(n), rng.mat(n, k), rng.mat(m, n), rng.mat(m, 1),
                 rng.spd(k), rng.spd(m), rng.mat(T, m, -2.0, 2.0), rng.mat(n, 1), rng.spd(n)};
}

// Scalar random walk observed with a negative "variance" R = -1: S = P - 1 turns non-positive
// after a few periods, depending on the prior P0 and the noise variance q.
inline Model failing_walk(double P0, double q, int64_t T) {
    const auto s = [](double v) { return ref::from(1, 1, {v}); };
    return Model{1, 1, 1, T, s(1.0), s(1.0), s(1.0), s(0.0), s(q), s(-1.0),
                 ref::Rng(2).mat(T, 1), s(0.5), s(P0)};
}

struct Flags {
    bool symmetrize = false;
    bool joseph = false;
    double jitter = 0.0;
    bool shocks = true;
    bool store = true;
    bool y_filt = true;  // extended loop only
};

// Histories in the kernels' layout (row t of each at t * its row cells) and the arena.
struct Histories {
    std::vector<double> x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S,
        eps_hat, arena;
    double loglik = kUntouched;
    int status = KF_OK;
};

using HistoryField = std::vector<double> Histories::*;
const std::vector<std::pair<const char*, HistoryField>> kHistoryFields = {
    {"x_pred", &Histories::x_pred}, {"x_filt", &Histories::x_filt},
    {"P_pred", &Histories::P_pred}, {"P_filt", &Histories::P_filt},
    {"y_pred", &Histories::y_pred}, {"y_filt", &Histories::y_filt},
    {"innov", &Histories::innov},   {"std_innov", &Histories::std_innov},
    {"S", &Histories::S},           {"eps_hat", &Histories::eps_hat}};

// Cells per history row, in the order of kHistoryFields.
inline std::vector<int64_t> row_cells(const Model& md) {
    const int64_t n = md.n, m = md.m;
    return {n, n, n * n, n * n, m, m, m, m, m * m, md.k};
}

// Stored histories filled with the sentinel (left empty when not stored), and the arena.
inline Histories allocate(const Model& md, const Flags& f, int64_t arena_cells,
                          double arena_fill) {
    Histories h;
    const std::vector<int64_t> cells = row_cells(md);
    for (size_t i = 0; i < kHistoryFields.size(); ++i)
        if (f.store) (h.*kHistoryFields[i].second).assign(md.T * cells[i], kUntouched);
    h.arena.assign(arena_cells + kPad, arena_fill);
    return h;
}

inline double* ptr(std::vector<double>& v) { return v.empty() ? nullptr : v.data(); }

inline Mat last_row(const std::vector<double>& history, int64_t cells) {
    return ref::from(1, cells, {history.end() - cells, history.end()});
}

inline Histories run_kf(const Model& md, const Flags& f, double arena_fill = kUntouched) {
    Histories h = allocate(md, f, kf_arena_size(md.n, md.m, md.k).n_float, arena_fill);
    const kf_inputs in{md.n, md.m, md.k, md.T, md.A.data(), md.B.data(), md.C.data(),
                       md.d.data(), md.Q.data(), md.R.data(), md.T > 0 ? md.y.data() : nullptr,
                       md.x0.data(), md.P0.data(), f.symmetrize, f.joseph, f.jitter, f.shocks,
                       f.store};
    kf_outputs out{ptr(h.x_pred), ptr(h.x_filt), ptr(h.P_pred), ptr(h.P_filt),
                   ptr(h.y_pred), ptr(h.y_filt), ptr(h.innov), ptr(h.std_innov),
                   ptr(h.S), f.shocks ? ptr(h.eps_hat) : nullptr, &h.loglik};
    h.status = kf_hot_loop(&in, h.arena.data(), &out);
    return h;
}

}  // namespace harness

#endif
