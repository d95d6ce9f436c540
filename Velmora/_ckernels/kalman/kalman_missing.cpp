// The linear filter with missing observations (kf_missing_loop), and the forward pass and row
// selection it shares with the smoothers and the score.
#include "kalman/kalman_missing.h"

#include <limits>

#include "_common/velm_linalg.h"
#include "kalman/kalman.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_univariate.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_settle::SettlePeriods;
using velm_settle::SettleWatch;
using namespace velm_steps;

namespace velm_missing {

SelectBlocks select_carve(ArenaCarver& carver, i64 n, i64 m) {
    const Cells N = n, M = m;
    SelectBlocks s{};
    s.C = carver.take(M * N);
    s.d = carver.take(M);
    s.R = carver.take(M * M);
    s.y = carver.take(M);
    return s;
}

Selection select_rows(const f64* C, const f64* d, const f64* R, const f64* y, i64 t, i64 n,
                      i64 m, const SelectBlocks& blocks) {
    const f64* y_row = y + t * m;
    const i64 count = observed_count(y_row, m);
    if (count == m) return Selection{m, true, C, d, R, y, t};
    i64 row = 0;
    for (i64 i = 0; i < m; ++i) {
        if (!observed(y_row[i])) continue;
        kf_copy(blocks.C + row * n, C + i * n, n);
        blocks.d[row] = d[i];
        blocks.y[row] = y_row[i];
        i64 col = 0;
        for (i64 j = 0; j < m; ++j) {
            if (observed(y_row[j])) blocks.R[row * count + col++] = R[i * m + j];
        }
        ++row;
    }
    return Selection{count, false, blocks.C, blocks.d, blocks.R, blocks.y, 0};
}

void scatter_observed(const f64* y_row, const f64* compact, f64 fill, f64* out, i64 m) {
    i64 row = 0;
    for (i64 j = 0; j < m; ++j) out[j] = observed(y_row[j]) ? compact[row++] : fill;
}

ForwardBlocks forward_carve(ArenaCarver& carver, i64 n, i64 m, i64 k) {
    ForwardBlocks fb;
    fb.b = kf_filter_carve(carver, FilterKind::linear, n, m, k);
    fb.sel = select_carve(carver, n, m);
    fb.b.At = carver.take(Cells(n) * n);
    fb.tail = velm_tail::tail_carve(carver, n, m);
    return fb;
}

namespace {

// The recorder's copy of each period of the settled tail: every one fully observed.
class TailRecorder final : public velm_tail::TailPeriods {
  public:
    TailRecorder(const kf_inputs* in, const FilterBlocks& b, ForwardRecorder* recorder)
        : in_(in), b_(b), recorder_(recorder) {}

    void period(i64 t) override {
        recorder_->period(t, Selection{in_->m, true, in_->C, in_->d, in_->R, in_->y, t}, b_, true);
    }

  private:
    const kf_inputs* in_;
    const FilterBlocks& b_;
    ForwardRecorder* recorder_;
};

}  // namespace

// 1. Set-up: B Q B', the prior; whether the sample may settle (no missing entry).
// 2. Each period: its selection, the update with the selected rows (one at a time where they
//    are independent and the sample cannot settle; none: x_filt = x_pred and
//    P_filt = P_pred, symmetrised as an update would), the log-likelihood term of its m_t rows,
//    the recorder; then the settle test and the prediction, or, once settled, the state's
//    prediction and the settled tail (velm_tail) for the rest of the sample.
int forward_pass(const kf_inputs* in, const ForwardBlocks& fb, ForwardRecorder* recorder,
                 f64* loglik, i64* settle) {
    const i64 n = in->n, m = in->m, T = in->T;
    const FilterBlocks& b = fb.b;
    const FilterModel model = kf_model_of(in);
    kf_begin(in, b);
    const bool may_settle = T > 0 && !sample_has_missing(in->y, T, m);
    // a sample that cannot settle takes its rows one at a time where they are independent
    const bool by_rows = !may_settle && velm_univariate::applies(in);
    const bool form_S = recorder != nullptr && recorder->reads_S();
    const bool form_K = recorder != nullptr && recorder->reads_K();
    bool P_pred_symmetric = model.symmetrize && kf_is_symmetric(b.P_pred_buf, n);
    SettleWatch watch(n, m);
    f64* const P_pred_prev = b.KC;  // free under both covariance forms, as in kf_hot_loop
    f64 total = 0.0;
    *settle = T;
    for (i64 t = 0; t < T; ++t) {
        const Selection s = select_rows(in->C, in->d, in->R, in->y, t, n, m, fb.sel);
        const FilterModel fm = period_model(model, s);
        // y_pred = C_t x_pred + d_t  (m_t)
        velm_matvec_plus_vec(s.C, b.x_pred_buf, s.d, b.y_pred_buf, s.m, n);
        if (s.m == 0) {
            kf_copy(b.x_filt_buf, b.x_pred_buf, n);
            kf_copy(b.P_filt_buf, b.P_pred_buf, n * n);
            if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
        } else if (by_rows ? !velm_univariate::update_rows(fm, s.C, s.y_row, form_S, form_K, b)
                           : !kf_update(fm, s.C, s.y_row, P_pred_symmetric, b)) {
            *loglik = total;
            return KF_ERR_CHOLESKY;
        }
        if (s.m > 0) total = kf_add_loglik(total, static_cast<f64>(s.m) * kf_log_two_pi, b, s.m);
        if (recorder) recorder->period(t, s, b, false);
        if (may_settle && t > 0 &&
            watch.settled(SettlePeriods{n, m, in->C, P_pred_prev, b.P_pred_buf, b.K_prev, b.K,
                                        b.S_buf, b.I_minus_KC, b.temp_nn, b.temp_mn})) {
            *settle = t;
            // x_pred = A x_filt  (n), then the rest on this period's gain and factor
            velm_matvec(in->A, b.x_filt_buf, b.x_pred_buf, n, n);
            TailRecorder tail_recorder(in, b, recorder);
            const velm_tail::SettledModel settled{n, m, in->A, in->C, in->d, in->y, b.K, b.L};
            total = velm_tail::settled_tail(settled, fb.tail, b, t + 1, T, total,
                                            recorder ? &tail_recorder : nullptr);
            break;
        }
        if (may_settle) {
            kf_copy(P_pred_prev, b.P_pred_buf, n * n);
            kf_copy(b.K_prev, b.K, n * m);
        }
        kf_predict(model, b);
        P_pred_symmetric = model.symmetrize;
    }
    *loglik = total;
    return KF_OK;
}

}  // namespace velm_missing

namespace {

using velm_missing::ForwardBlocks;
using velm_missing::Selection;

// The histories of kf_outputs. The observation rows are those of the whole vector: y_pred and
// y_filt from every row of C and d, S = C P_pred C' + R of every row, innov = y - y_pred (NaN where
// missing); std_innov holds L^-1 v of the observed rows at their positions and NaN elsewhere, and
// eps_hat = Q B' C_t' S_t^-1 v_t (zero for a period with nothing observed).
class HistoryRecorder final : public velm_missing::ForwardRecorder {
  public:
    HistoryRecorder(const kf_inputs* in, const kf_outputs* out) : in_(in), out_(out) {}

    bool reads_S() const override { return true; }

    void period(i64 t, const Selection& s, const FilterBlocks& b, bool /*settled*/) override {
        const i64 n = in_->n, m = in_->m, k = in_->k;
        const f64* y_row = in_->y + t * m;
        const bool shocks = in_->return_shocks != 0;
        if (shocks) {
            // eps_hat = M s with M = Q B' C' and s = S_t^-1 v_t at the observed rows  (k)
            velm_missing::scatter_observed(y_row, b.S_inv_v, 0.0, b.solve_f, m);
            velm_matvec(b.M, b.solve_f, out_->eps_hat + t * k, k, m);
        }
        kf_copy(out_->x_pred + t * n, b.x_pred_buf, n);
        kf_copy(out_->x_filt + t * n, b.x_filt_buf, n);
        kf_copy(out_->P_pred + t * n * n, b.P_pred_buf, n * n);
        kf_copy(out_->P_filt + t * n * n, b.P_filt_buf, n * n);
        f64* y_pred = out_->y_pred + t * m;
        f64* S = out_->S + t * m * m;
        if (s.full) {
            kf_copy(y_pred, b.y_pred_buf, m);
            kf_copy(S, b.S_buf, m * m);
        } else {
            velm_matvec_plus_vec(in_->C, b.x_pred_buf, in_->d, y_pred, m, n);
            kf_measurement_cov(in_->C, b.P_pred_buf, in_->R, b.temp_mn, S, n, m);
            if (in_->symmetrize) velm_sym_inplace(S, m);
        }
        velm_matvec_plus_vec(in_->C, b.x_filt_buf, in_->d, out_->y_filt + t * m, m, n);
        velm_vsub(y_row, y_pred, out_->innov + t * m, m);
        velm_missing::scatter_observed(y_row, b.u_buf, std::numeric_limits<f64>::quiet_NaN(),
                                       out_->std_innov + t * m, m);
    }

  private:
    const kf_inputs* in_;
    const kf_outputs* out_;
};

}  // namespace

arena_size kf_missing_arena_size(const i64 n, const i64 m, const i64 k) {
    ArenaCarver counter = ArenaCarver::counting();
    velm_missing::forward_carve(counter, n, m, k);
    return counter.size();
}

int kf_missing_loop(const kf_inputs* in, f64* arena, kf_outputs* out) {
    ArenaCarver carver{arena};
    const ForwardBlocks fb = velm_missing::forward_carve(carver, in->n, in->m, in->k);
    const bool store = in->store_history != 0;
    if (store && in->return_shocks) {
        // M = Q B' C'  (k x m), before the forward pass fills its blocks
        kf_build_shock_projection(in->B, in->C, in->Q, fb.b.temp_km, fb.b.M, in->n, in->k,
                                  in->m);
    }
    HistoryRecorder histories(in, out);
    i64 settle = 0;
    return velm_missing::forward_pass(in, fb, store ? &histories : nullptr, out->loglik, &settle);
}
