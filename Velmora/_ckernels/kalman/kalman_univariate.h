// The update of a period one observed row at a time (Durbin and Koopman, 2012, sec. 6.4), for
// the missing-data filter's pass. Internal: not part of the exported interface.
#ifndef VELM_KALMAN_UNIVARIATE_H
#define VELM_KALMAN_UNIVARIATE_H

#include "_common/velm_common.h"
#include "kalman/kalman.h"
#include "kalman/kalman_steps.h"

namespace velm_univariate {

// Whether the rows may be taken one at a time: R diagonal, so that the measurement errors of a
// period are independent, and the standard form of the covariance update (not Joseph's).
bool applies(const kf_inputs* in);

// The update of period t with the measurement matrix Z (the period's m rows), given y_pred_buf:
// what kf_update leaves (v, L^-1 v, S^-1 v, L, x_filt, P_filt; S itself when form_S and the gain
// K when form_K, neither of which changes the rest), or false where the factor of S + jitter I
// fails, with nothing of the period stored.
bool update_rows(const velm_steps::FilterModel& model, const f64* Z, i64 t, bool form_S,
                 bool form_K, const velm_steps::FilterBlocks& b);

}  // namespace velm_univariate

#endif
