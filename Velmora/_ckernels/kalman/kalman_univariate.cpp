// Rows one at a time: with R diagonal, the observed rows of a period update the state one after
// another, each by a scalar innovation. In exact arithmetic this is the full update: the
// variances f_i of the scalar innovations are the pivots of the Cholesky factor L of S + jitter I
// (rows in order), the scaled innovations v_i / sqrt(f_i) are L^-1 v, and a pivot fails where
// that factor's fails, against the same tolerance (m eps times the largest diagonal entry of
// S + jitter I).
//
// The rows are taken through C P_pred, formed once a period. With h_j = P_j c_j' / sqrt(f_j), P_j
// the covariance after the rows before j, and L(i, j) = c_i . h_j:
//   h_i sqrt(f_i) = P_i c_i' = (C P_pred)_i' - sum_{j<i} L(i, j) h_j      so L H = C P_pred
//   f_i           = c_i . P_i c_i' + R_ii + jitter                           L(i, i) = sqrt(f_i)
// which is the factor, row by row, without forming S. Then
//   x_filt = x_pred + H' L^-1 v,   P_filt = P_pred - H' H,   K = H' L^-1 = P_pred C' S^-1
// and the gain, which the recursion does not read, only for a recorder that reads it. A period
// costs C P_pred, O(n m^2) of row sums and one rank-m product, with no product for S, no factor
// and no solve for the gain: at small orders those calls, not the arithmetic, are what the full
// update costs.
#include "kalman/kalman_univariate.h"

#include <cmath>

#include "_common/velm_linalg.h"
#include "_common/velm_pivot.h"
#include "_common/velm_rows.h"
#include "_common/velm_sym_products.h"

using velm_pivot::jittered;
using velm_rows::row_dot;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;

namespace velm_univariate {

namespace {

// m eps times the largest diagonal entry of S + jitter I, c_i . (C P_pred)_i + R_ii (+ jitter),
// floored at 0 as the factor's tolerance is.
f64 pivot_tolerance(const FilterModel& model, const f64* Z, const f64* CP) {
    const i64 n = model.n, m = model.m;
    f64 scale = 0.0;
    for (i64 i = 0; i < m; ++i) {
        const f64 d = jittered(row_dot(Z + i * n, CP + i * n, n) + model.R[i * m + i], model.jitter);
        if (d > scale) scale = d;
    }
    return velm_pivot::tolerance(scale, m);
}

// The rows h_i of H (m x n, over H) and the factor L (m x m, zero above the diagonal); false
// where a pivot fails.
bool factor_rows(const FilterModel& model, const f64* Z, const f64* CP, f64* H, f64* L) {
    const i64 n = model.n, m = model.m;
    const f64 tolerance = pivot_tolerance(model, Z, CP);
    velm_zero_mat(L, m, m);
    for (i64 i = 0; i < m; ++i) {
        const f64* z = Z + i * n;
        f64* h = H + i * n;
        velm_steps::kf_copy(h, CP + i * n, n);
        for (i64 j = 0; j < i; ++j) {
            const f64* h_j = H + j * n;
            const f64 weight = row_dot(h_j, z, n);
            L[i * m + j] = weight;
            for (i64 s = 0; s < n; ++s) h[s] -= weight * h_j[s];
        }
        const f64 f = jittered(row_dot(z, h, n) + model.R[i * m + i], model.jitter);
        if (velm_pivot::fails(f, tolerance)) return false;
        const f64 root = std::sqrt(f);
        L[i * m + i] = root;
        const f64 inverse = 1.0 / root;
        for (i64 s = 0; s < n; ++s) h[s] *= inverse;
    }
    return true;
}

// K' = L^-T H (m x n) in place of H, from its last row up: L' K' = H, so row i of K' is
// (h_i - sum_{j>i} L(j, i) K'_j) / L(i, i), whole rows at a time.
void gain_rows_in_place(f64* H, const f64* L, i64 n, i64 m) {
    for (i64 i = m - 1; i >= 0; --i) {
        f64* row = H + i * n;
        for (i64 j = i + 1; j < m; ++j) {
            velm_rows::row_axpy(row, -L[j * m + i], H + j * n, n);
        }
        const f64 inverse = 1.0 / L[i * m + i];
        for (i64 s = 0; s < n; ++s) row[s] *= inverse;
    }
}

}  // namespace

bool applies(const kf_inputs* in) {
    // the rows update in the standard form, P - H' H: a caller who asked for the Joseph form
    // asked for its robustness to rounding (and, with jitter, for the covariance under R rather
    // than R + jitter I), so that route stays the full update's
    if (in->joseph_cov) return false;
    const i64 m = in->m;
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            if (i != j && in->R[i * m + j] != 0.0) return false;
        }
    }
    // the rows take P_pred C' as (C P_pred)', the full update takes P_pred C' itself: the same
    // for a symmetric P_pred, as every prediction is up to rounding (B Q B' is symmetrised), but
    // not for an asymmetric P0, which is taken as given
    return velm_steps::kf_is_symmetric(in->P0, in->n);
}

bool update_rows(const FilterModel& model, const f64* Z, i64 t, bool form_S, bool form_K,
                 const FilterBlocks& b) {
    const i64 n = model.n, m = model.m;
    f64* const CP = b.temp_mn;  // m x n
    f64* const H = b.PCt;       // m x n over the n x m block
    f64* const Ht = b.K;        // H' (n x m) until K is formed
    // v = y[t] - y_pred  (m),  C P_pred  (m x n)
    kf_row_minus_vec(model.y, t, b.y_pred_buf, b.v_buf, m);
    velm_matmul(Z, b.P_pred_buf, CP, m, n, n);
    if (!factor_rows(model, Z, CP, H, b.L)) return false;
    if (form_S) {
        // S = C P_pred C' + R for the histories, as the full update forms it
        velm_matmul_abt_plus_c(CP, Z, model.R, b.S_buf, m, n, m);
        if (model.symmetrize) velm_sym_inplace(b.S_buf, m);
    }
    // u = L^-1 v,  S^-1 v = L'^-1 u,  x_filt = x_pred + H' u
    velm_forward_subst(b.L, b.v_buf, b.u_buf, m);
    velm_backward_subst_chol_t(b.L, b.u_buf, b.S_inv_v, m);
    velm_steps::kf_copy(b.x_filt_buf, b.x_pred_buf, n);
    for (i64 i = 0; i < m; ++i) velm_rows::row_axpy(b.x_filt_buf, b.u_buf[i], H + i * n, n);
    // P_filt = P_pred - H' H, its lower triangle mirrored
    velm_steps::kf_transpose(H, Ht, m, n);
    velm_sym::minus_product(Ht, H, b.P_pred_buf, b.P_filt_buf, n, m);
    // K = H' L^-1 = (L^-T H)' for whoever reads it; the recursion does not
    if (form_K) {
        gain_rows_in_place(H, b.L, n, m);
        velm_steps::kf_transpose(H, b.K, m, n);
    }
    return true;
}

}  // namespace velm_univariate
