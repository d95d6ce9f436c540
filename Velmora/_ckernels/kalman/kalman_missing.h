// Missing observations in the linear model: a NaN in y marks that observable missing in that
// period, and the period then uses only its observed rows of C, d and R (Durbin and Koopman,
// 2012, sec. 4.10). Here: the selection of a period's observed rows, and the forward pass that
// the missing-data filter and the smoothers share. Internal: not part of the exported interface.
#ifndef VELM_KALMAN_MISSING_H
#define VELM_KALMAN_MISSING_H

#include <cmath>

#include "_common/velm_common.h"
#include "kalman/kalman.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

namespace velm_missing {

inline bool observed(f64 value) { return !std::isnan(value); }

// Observables of one row of y that are present.
inline i64 observed_count(const f64* y_row, i64 m) {
    i64 count = 0;
    for (i64 j = 0; j < m; ++j) count += observed(y_row[j]) ? 1 : 0;
    return count;
}

// Whether any of the first T rows of y has a missing entry.
inline bool sample_has_missing(const f64* y, i64 T, i64 m) {
    for (i64 i = 0; i < T * m; ++i) {
        if (!observed(y[i])) return true;
    }
    return false;
}

// Compact copies of a partly observed period's rows (m_t <= m of them).
struct SelectBlocks {
    f64* C;  // m_t x n
    f64* d;  // m_t
    f64* R;  // m_t x m_t
    f64* y;  // m_t
};

SelectBlocks select_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m);

// What period t measures: its m_t observed rows. A fully observed period points at the model's
// own arrays (y at row t), so that it runs exactly as without the selection; a partly observed
// one at the compact copies (y at row 0 of its copy).
struct Selection {
    i64 m;
    bool full;
    const f64* C;
    const f64* d;
    const f64* R;
    const f64* y;  // y row of the period's model
    i64 y_row;     // row of y that the steps read: t, or 0 for a compact copy
};

Selection select_rows(const f64* C, const f64* d, const f64* R, const f64* y, i64 t, i64 n,
                      i64 m, const SelectBlocks& blocks);

// The period's model for the shared steps.
inline velm_steps::FilterModel period_model(const velm_steps::FilterModel& model,
                                            const Selection& s) {
    velm_steps::FilterModel fm = model;
    fm.m = s.m;
    fm.R = s.R;
    fm.y = s.y;
    return fm;
}

// out (m) = compact (m_t) values at the observed positions of y_row, fill elsewhere.
void scatter_observed(const f64* y_row, const f64* compact, f64 fill, f64* out, i64 m);

// What a forward pass keeps of each period, told after its update and before its prediction
// (the blocks hold the period's x_pred, x_filt, P_pred, v, S^-1 v, L, K of its selected rows, and
// P_filt but on the low-rank route of a pass that stores no histories). settled: the covariances
// are those of the settle period, and P_filt, S and PCt have not been formed for this period.
class ForwardRecorder {
  public:
    virtual void period(i64 t, const Selection& s, const velm_steps::FilterBlocks& b,
                        bool settled) = 0;
    // The pass starts again from period 0.
    virtual void rewind() {}
    // Whether period() reads S of a fully observed period, or the gain K: an update by rows
    // forms them only when asked.
    virtual bool reads_S() const { return false; }
    virtual bool reads_K() const { return false; }

  protected:
    ~ForwardRecorder() = default;
};

// Scratch of the forward pass: the linear loop's blocks (with A' for the prediction), the
// selection's copies and the settled tail's.
struct ForwardBlocks {
    velm_steps::FilterBlocks b;
    SelectBlocks sel;
    velm_tail::TailBlocks tail;
};

ForwardBlocks forward_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m, i64 k);

// The linear filter over in->T periods with missing observations: the prior is the prediction of
// period 0, each period updates with its observed rows (a period with none only predicts) and
// predicts the next. A sample without a missing entry stops the covariance recursion once it has
// settled (velm_settle::SettleWatch, the rule of kf_hot_loop); one with a missing entry is
// time-varying and runs the full recursion throughout. *settle is the settle period (T when
// none). Returns KF_OK or KF_ERR_CHOLESKY, with *loglik summed over the periods before.
int forward_pass(const kf_inputs* in, const ForwardBlocks& fb, ForwardRecorder* recorder,
                 f64* loglik, i64* settle);

}  // namespace velm_missing

#endif
