// The per-period steps of the linear and extended filters (update, log-likelihood term,
// prediction, history rows) and their named scratch, shared by the linear loop, the extended
// loop and the score's forward pass, so that all three round alike. Internal: not part of the
// exported interface.
#ifndef VELM_KALMAN_STEPS_H
#define VELM_KALMAN_STEPS_H

#include <cstring>
#include <limits>

#include "_common/velm_common.h"
#include "kalman/kalman.h"
#include "kalman/kalman_arena.h"

namespace velm_steps {

constexpr f64 kf_log_two_pi = 1.8378770664093453;

// dst[0 .. cells) = src[0 .. cells); the regions must not overlap.
inline void kf_copy(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    if (cells > 0) std::memcpy(dst, src, static_cast<size_t>(cells) * sizeof(f64));
}

// out = f(x, params) for a measurement callback (h or its Jacobian) that writes `cells` cells,
// each NaN before the call: a callback that writes nothing (a Python one whose body raised) then
// fails the period as a NaN does, instead of leaving whatever the cells held.
inline void kf_call_measurement(meas_fn f, const f64* x, const f64* params, f64* out,
                                i64 cells) {
    for (i64 i = 0; i < cells; ++i) out[i] = std::numeric_limits<f64>::quiet_NaN();
    f(x, params, out);
}

// dst[0 .. cells) += src[0 .. cells); the regions must not overlap.
inline void kf_add(f64* __restrict dst, const f64* __restrict src, i64 cells) {
    for (i64 i = 0; i < cells; ++i) dst[i] += src[i];
}

// Scratch of the linear and the extended loop, named by what it holds; the score points the
// per-period ones at its tape rows. A block a loop does not have stays null.
struct FilterBlocks {
    f64* x_pred_buf;  // predicted state (n)
    f64* x_filt_buf;  // filtered state (n)
    f64* y_pred_buf;  // predicted observation (m)
    f64* y_filt_buf;  // filtered observation (m), linear loop only
    f64* v_buf;       // innovation v (m)
    f64* u_buf;       // standardised innovation L^-1 v (m)
    f64* S_inv_v;     // S^-1 v (m)
    f64* solve_f;     // forward vector of the gain solve (m)
    f64* solve_b;     // backward vector of the gain solve (m)
    f64* P_pred_buf;  // predicted covariance (n x n)
    f64* P_filt_buf;  // filtered covariance (n x n)
    f64* KC;          // Joseph scratch K Z (n x n); the linear loop keeps the previous P_pred here
    f64* I_minus_KC;  // Joseph scratch I - K Z (n x n)
    f64* temp_nn;     // scratch of the Joseph form and the prediction (n x n)
    f64* BQBT;        // B Q B' (n x n)
    f64* S_buf;       // innovation covariance S (m x m)
    f64* L;           // lower Cholesky factor of S + jitter I (m x m)
    f64* PCt;         // P_pred Z' (n x m)
    f64* K;           // Kalman gain (n x m)
    f64* temp_nm;     // Joseph scratch K R (n x m)
    f64* H_buf;       // measurement Jacobian of the period (m x n), extended loop only
    f64* temp_mn;     // Z P_pred (m x n)
    f64* temp_nk;     // scratch of kf_build_bqbt (n x k)
    f64* M;           // shock projection Q B' Z' (k x m)
    f64* temp_km;     // scratch of kf_build_shock_projection (k x m)
    f64* K_prev;      // gain of the period before (n x m), linear loop only
    f64* At;          // A' (n x n) where a loop keeps it: the prediction then reads it in place
};

enum class FilterKind { linear, extended };

// The blocks of either loop in their fixed order from the start of the arena (a counting carver
// sizes them). The linear loop has y_filt_buf, one block for Z P_pred and K R, and the previous
// gain last; the extended loop has separate K R and Z P_pred scratch and the Jacobian.
FilterBlocks kf_filter_carve(velm_arena::ArenaCarver& carver, FilterKind kind, i64 n, i64 m,
                             i64 k);

// What the per-period steps read besides their blocks; Z, the measurement matrix of the update,
// is passed on its own since the extended loop changes it every period.
struct FilterModel {
    i64 n;
    i64 m;
    const f64* A;
    const f64* R;
    const f64* y;
    f64 jitter;
    bool symmetrize;
    bool joseph_cov;
    bool R_symmetric;  // R exactly symmetric (so is every principal submatrix of it)
};

bool kf_is_symmetric(const f64* P, i64 n);

// Arena size of either loop: the count of its carve.
arena_size kf_filter_arena_size(FilterKind kind, i64 n, i64 m, i64 k);

// The model of a kf_inputs or ekf_inputs record.
template <class Inputs>
FilterModel kf_model_of(const Inputs* in) {
    return FilterModel{in->n, in->m, in->A, in->R, in->y, in->jitter, in->symmetrize != 0,
                       in->joseph_cov != 0, kf_is_symmetric(in->R, in->m)};
}

// out (c x r) = X' for X r x c.
inline void kf_transpose(const f64* __restrict X, f64* __restrict out, i64 r, i64 c) {
    for (i64 j = 0; j < c; ++j) {
        for (i64 i = 0; i < r; ++i) out[j * r + i] = X[i * c + j];
    }
}

// Set-up of either loop before its first period: B Q B' once per call, and the prior of period 0,
// x_pred = x0 and P_pred = P0 as given, and A' where the loop keeps it.
template <class Inputs>
void kf_begin(const Inputs* in, const FilterBlocks& b) {
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.BQBT, in->n, in->k);
    if (b.At) kf_transpose(in->A, b.At, in->n, in->n);
    kf_copy(b.x_pred_buf, in->x0, in->n);
    kf_copy(b.P_pred_buf, in->P0, in->n * in->n);
}

// The Joseph form given CP = Z P_pred (m x n), already formed for S; CP may be temp_nm itself.
// lower_mirrored: the lower triangle alone, mirrored (for P_pred and R symmetric).
void kf_joseph_cov_from_cp(const f64* K, const f64* Z, const f64* CP, const f64* P_pred,
                           const f64* R, f64* temp_nn, f64* temp_nm, f64* out, i64 n, i64 m,
                           bool lower_mirrored);

// Update of period t with the measurement matrix Z, given y_pred_buf; false when S + jitter I
// cannot be factorised, with nothing of the period stored.
bool kf_update(const FilterModel& model, const f64* Z, i64 t, bool P_pred_symmetric,
               const FilterBlocks& b);

// P_filt of kf_update from its K, PCt, P_pred_buf and, in temp_mn, Z P_pred: the Joseph form or
// the standard one, symmetrised as the model asks. temp_mn, temp_nm and temp_nn are spent.
void kf_filtered_cov(const FilterModel& model, const f64* Z, bool P_pred_symmetric,
                     const FilterBlocks& b);

// Update of a period after the covariances have settled: L and K are those of the settle period.
void kf_update_settled(const FilterModel& model, i64 t, const FilterBlocks& b);

// loglik - 1/2 (ln det S + v' S^-1 v + m ln 2 pi).
f64 kf_add_loglik(f64 loglik, f64 const_term, const FilterBlocks& b, i64 m);

// Prediction of the next period, x_pred_buf and P_pred_buf, from x_filt_buf and P_filt_buf.
void kf_predict(const FilterModel& model, const FilterBlocks& b);

// Row t of the x_pred, x_filt, P_pred, P_filt and y_pred histories (kf_outputs or ekf_outputs).
template <class Outputs>
void kf_store_state_rows(const Outputs* out, const FilterBlocks& b, i64 t, i64 n, i64 m) {
    kf_copy(out->x_pred + t * n, b.x_pred_buf, n);
    kf_copy(out->x_filt + t * n, b.x_filt_buf, n);
    kf_copy(out->P_pred + t * n * n, b.P_pred_buf, n * n);
    kf_copy(out->P_filt + t * n * n, b.P_filt_buf, n * n);
    kf_copy(out->y_pred + t * m, b.y_pred_buf, m);
}

// Row t of the innov, std_innov and S histories.
template <class Outputs>
void kf_store_innovation_rows(const Outputs* out, const FilterBlocks& b, i64 t, i64 m) {
    kf_copy(out->innov + t * m, b.v_buf, m);
    kf_copy(out->std_innov + t * m, b.u_buf, m);
    kf_copy(out->S + t * m * m, b.S_buf, m * m);
}

}  // namespace velm_steps

#endif
