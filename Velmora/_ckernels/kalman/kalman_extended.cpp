// The extended Kalman filter over a whole sample: a linear transition and the caller's compiled
// measurement function and Jacobian.
#include "kalman/kalman.h"

#include "_common/velm_linalg.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using namespace velm_steps;

// The linear loop with the measurement line replaced by the caller's callbacks: h and its
// Jacobian H are evaluated once per period at the predicted state (first-order EKF, no iterated
// update), and H takes the place of C in the update and in the shock projection.

arena_size ekf_arena_size(const i64 n, const i64 m, const i64 k) {
    return kf_filter_arena_size(FilterKind::extended, n, m, k);
}

int ekf_hot_loop(const ekf_inputs* in, f64* arena, ekf_outputs* out) {
    const i64 n = in->n;
    const i64 m = in->m;
    const i64 k = in->k;
    ArenaCarver carver{arena};
    const FilterBlocks b = kf_filter_carve(carver, FilterKind::extended, n, m, k);
    const FilterModel model = kf_model_of(in);
    const bool store = in->store_history != 0;
    const bool shocks = store && in->return_shocks != 0;
    const bool eval_y_filt = store && in->compute_y_filt != 0;

    kf_begin(in, b);
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    f64 loglik = 0.0;
    // P0 enters as a predicted covariance, symmetrised like every later one
    if (model.symmetrize) velm_sym_inplace(b.P_pred_buf, n);

    for (i64 t = 0; t < in->T; ++t) {
        // y_pred = h(x_pred)  (m)
        kf_call_measurement(in->meas, b.x_pred_buf, in->calib_params, b.y_pred_buf, m);
        // H = dh/dx at x_pred  (m x n)
        kf_call_measurement(in->jac, b.x_pred_buf, in->calib_params, b.H_buf, m * n);
        // P_pred, P0 included, is exactly symmetric when symmetrised
        if (!kf_update(model, b.H_buf, t, model.symmetrize, b)) {
            *out->loglik = loglik;
            return KF_ERR_CHOLESKY;
        }
        loglik = kf_add_loglik(loglik, const_term, b, m);
        if (shocks) {
            // M = Q B' H'  (k x m), rebuilt since H changes every period
            kf_build_shock_projection(in->B, b.H_buf, in->Q, b.temp_km, b.M, n, k, m);
            // eps_hat[t] = M S^-1 v  (k)
            velm_matvec(b.M, b.S_inv_v, out->eps_hat + t * k, k, m);
        }
        if (store) {
            kf_store_state_rows(out, b, t, n, m);
            // y_filt[t] = h(x_filt), written by the callback straight into the history row
            if (eval_y_filt) {
                kf_call_measurement(in->meas, b.x_filt_buf, in->calib_params, out->y_filt + t * m,
                                    m);
            }
            kf_store_innovation_rows(out, b, t, m);
        }
        kf_predict(model, b);
    }
    *out->loglik = loglik;
    return KF_OK;
}
