// The linear Gaussian Kalman filter over a whole sample, with its settled tail: once the covariance
// recursion has arrived at its fixed point only the states are filtered.
#include "kalman/kalman.h"

#include "_common/velm_linalg.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using velm_settle::SettlePeriods;
using velm_settle::SettleWatch;
using namespace velm_steps;

// Textbook order (Durbin and Koopman, 2012, sec. 4.3): the prior (x0, P0) is the prediction for
// period 0, and every period first updates with its observation, then predicts the next one.
// The extended loop (kalman_extended.cpp) shares the update, likelihood, storing and prediction
// steps (kalman_steps.h), with the period's Jacobian H in place of C.

arena_size kf_arena_size(const i64 n, const i64 m, const i64 k) {
    return kf_filter_arena_size(FilterKind::linear, n, m, k);
}

int kf_hot_loop(const kf_inputs* in, f64* arena, kf_outputs* out) {
    const i64 n = in->n;
    const i64 m = in->m;
    const i64 k = in->k;
    ArenaCarver carver{arena};
    const FilterBlocks b = kf_filter_carve(carver, FilterKind::linear, n, m, k);
    const FilterModel model = kf_model_of(in);
    const bool store = in->store_history != 0;
    const bool shocks = store && in->return_shocks != 0;

    kf_begin(in, b);
    // M = Q B' C'  (k x m), once per call since C is constant
    if (shocks) kf_build_shock_projection(in->B, in->C, in->Q, b.temp_km, b.M, n, k, m);
    const f64 const_term = static_cast<f64>(m) * kf_log_two_pi;
    f64 loglik = 0.0;
    // P0 is taken as given; every later P_pred is exactly symmetric when symmetrised
    bool P_pred_symmetric = model.symmetrize && kf_is_symmetric(b.P_pred_buf, n);
    // Once the covariances have settled only the state recursion runs. The Joseph form works
    // through C P_pred, which leaves the KC block free to hold the previous P_pred; the settle
    // test's scratch lies in blocks that are free between an update and the next prediction.
    SettleWatch watch(n, m);
    bool settled = false;
    f64* const P_pred_prev = b.KC;

    for (i64 t = 0; t < in->T; ++t) {
        // y_pred = C x_pred + d  (m)
        velm_matvec_plus_vec(in->C, b.x_pred_buf, in->d, b.y_pred_buf, m, n);
        if (settled) {
            kf_update_settled(model, t, b);
        } else if (!kf_update(model, in->C, t, P_pred_symmetric, b)) {
            *out->loglik = loglik;
            return KF_ERR_CHOLESKY;
        }
        loglik = kf_add_loglik(loglik, const_term, b, m);
        // eps_hat[t] = M S^-1 v  (k)
        if (shocks) velm_matvec(b.M, b.S_inv_v, out->eps_hat + t * k, k, m);
        if (store) {
            // y_filt = C x_filt + d  (m)
            velm_matvec_plus_vec(in->C, b.x_filt_buf, in->d, b.y_filt_buf, m, n);
            kf_store_state_rows(out, b, t, n, m);
            kf_copy(out->y_filt + t * m, b.y_filt_buf, m);
            kf_store_innovation_rows(out, b, t, m);
        }
        // this period's S, L, K and P_filt serve every later period once they have settled
        if (!settled && t > 0) {
            settled = watch.settled(SettlePeriods{n, m, in->C, P_pred_prev, b.P_pred_buf,
                                                  b.K_prev, b.K, b.S_buf, b.I_minus_KC,
                                                  b.temp_nn, b.temp_mn});
        }
        if (settled) {
            // x_pred = A x_filt  (n)
            velm_matvec(in->A, b.x_filt_buf, b.x_pred_buf, n, n);
            continue;
        }
        kf_copy(P_pred_prev, b.P_pred_buf, n * n);
        kf_copy(b.K_prev, b.K, n * m);
        kf_predict(model, b);
        P_pred_symmetric = model.symmetrize;
    }
    *out->loglik = loglik;
    return KF_OK;
}
