// Rows one at a time: with R diagonal, the observed rows of a period update the state one after
// another, each by a scalar innovation, and the period's log-likelihood term is the sum of theirs.
// In exact arithmetic it is the full recursion's term: the variances f_i of the scalar
// innovations are the pivots of the Cholesky factor of S + jitter I (rows in order), and the
// scaled innovations v_i / sqrt(f_i) are L^-1 v. So ln det S = sum ln f_i and
// v' S^-1 v = sum v_i^2 / f_i, and a pivot fails here where that factor's fails, against the same
// tolerance (m_t eps times the largest diagonal entry of S + jitter I).
//
// The rows are taken through C P_pred, formed once a period. With h_j = P_j c_j' / sqrt(f_j) the
// scaled change of row j (P_j the covariance after the rows before j):
//   P_i c_i'  = P_pred c_i' - sum_{j<i} h_j (h_j . c_i)
//   f_i       = c_i . P_i c_i' + R_ii + jitter
//   P_filt    = P_pred - H' H       (H the rows h_j, one symmetric product)
// so a period costs C P_pred, O(n m_t^2) of row sums and one rank-m_t product, with no selection
// of rows, no factor and no solve: at small orders these calls, not the arithmetic, are what the
// full recursion's update costs.
#include "kalman/kalman_univariate.h"

#include <cmath>

#include "_common/velm_linalg.h"
#include "_common/velm_rows.h"
#include "_common/velm_sym_products.h"
#include "kalman/kalman_missing.h"

using velm_missing::observed;
using velm_rows::row_dot;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;
using velm_steps::kf_copy;

namespace velm_univariate {

namespace {

// Double machine epsilon, the unit of the Cholesky pivot tolerance.
constexpr f64 kEpsilon = 2.220446049250313e-16;

// The blocks of the linear loop that this pass leaves free, by what they hold here.
struct RowBlocks {
    f64* CP;  // C P_pred (m x n), every row
    f64* H;   // h_j of the observed rows (m_t x n)
    f64* Ht;  // H' (n x m_t)
};

RowBlocks row_blocks(const FilterBlocks& b) { return RowBlocks{b.temp_mn, b.K, b.PCt}; }

// The largest diagonal entry of S + jitter I over the observed rows, c_i . P c_i' + R_ii (+
// jitter), floored at 0 as the factor's tolerance is.
f64 diagonal_scale(const kf_inputs* in, const f64* y_row, const f64* CP) {
    const i64 n = in->n, m = in->m;
    f64 scale = 0.0;
    for (i64 i = 0; i < m; ++i) {
        if (!observed(y_row[i])) continue;
        f64 d = row_dot(in->C + i * n, CP + i * n, n) + in->R[i * m + i];
        if (in->jitter > 0.0) d += in->jitter;
        if (d > scale) scale = d;
    }
    return scale;
}

// The update of one period by its observed rows: x_filt, P_filt and the period's sum
// ln det S + v' S^-1 v in *terms; false where a pivot fails.
bool update_rows(const kf_inputs* in, const FilterBlocks& b, const RowBlocks& rows, i64 t,
                 i64 observed_rows, f64* terms) {
    const i64 n = in->n, m = in->m;
    const f64* y_row = in->y + t * m;
    velm_matmul(in->C, b.P_pred_buf, rows.CP, m, n, n);
    const f64 tolerance =
        (static_cast<f64>(observed_rows) * kEpsilon) * diagonal_scale(in, y_row, rows.CP);
    kf_copy(b.x_filt_buf, b.x_pred_buf, n);
    f64 sum = 0.0;
    i64 j = 0;
    for (i64 i = 0; i < m; ++i) {
        if (!observed(y_row[i])) continue;
        const f64* c = in->C + i * n;
        f64* h = rows.H + j * n;
        // h = P_i c_i' = C P_pred's row i less the rows before  (C P_pred = (P_pred C')')
        kf_copy(h, rows.CP + i * n, n);
        for (i64 l = 0; l < j; ++l) {
            const f64* h_l = rows.H + l * n;
            const f64 weight = row_dot(h_l, c, n);
            for (i64 s = 0; s < n; ++s) h[s] -= weight * h_l[s];
        }
        f64 f = row_dot(c, h, n) + in->R[i * m + i];
        if (in->jitter > 0.0) f += in->jitter;
        if (!(f > tolerance)) return false;
        const f64 root = std::sqrt(f);
        const f64 u = (y_row[i] - in->d[i] - row_dot(c, b.x_filt_buf, n)) / root;
        // x += h u / sqrt(f), then h scaled to h / sqrt(f)
        for (i64 s = 0; s < n; ++s) {
            h[s] /= root;
            b.x_filt_buf[s] += h[s] * u;
        }
        sum += 2.0 * std::log(root) + u * u;
        ++j;
    }
    // P_filt = P_pred - H' H
    velm_steps::kf_transpose(rows.H, rows.Ht, observed_rows, n);
    velm_sym::minus_product(rows.Ht, rows.H, b.P_pred_buf, b.P_filt_buf, n, observed_rows);
    *terms = sum;
    return true;
}

}  // namespace

bool applies(const kf_inputs* in) {
    // the rows update in the standard form, P - h h': a caller who asked for the Joseph form
    // asked for its robustness to rounding (and, with jitter, for the covariance under R rather
    // than R + jitter I), so that route stays the full recursion's
    if (in->joseph_cov) return false;
    const i64 m = in->m;
    for (i64 i = 0; i < m; ++i) {
        for (i64 j = 0; j < m; ++j) {
            if (i != j && in->R[i * m + j] != 0.0) return false;
        }
    }
    return true;
}

// 1. Set-up as the full recursion's: B Q B' and the prior.
// 2. Each period: its observed rows one at a time (none: x_filt = x_pred and P_filt = P_pred),
//    the period's term -1/2 (ln det S + v' S^-1 v + m_t ln 2 pi), the prediction.
int loglik_pass(const kf_inputs* in, const FilterBlocks& b, f64* loglik) {
    const i64 n = in->n, m = in->m;
    const FilterModel model = velm_steps::kf_model_of(in);
    const RowBlocks rows = row_blocks(b);
    velm_steps::kf_begin(in, b);
    f64 total = 0.0;
    for (i64 t = 0; t < in->T; ++t) {
        const i64 observed_rows = velm_missing::observed_count(in->y + t * m, m);
        if (observed_rows == 0) {
            kf_copy(b.x_filt_buf, b.x_pred_buf, n);
            kf_copy(b.P_filt_buf, b.P_pred_buf, n * n);
            if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
        } else {
            f64 terms = 0.0;
            if (!update_rows(in, b, rows, t, observed_rows, &terms)) {
                *loglik = total;
                return KF_ERR_CHOLESKY;
            }
            const f64 const_term = static_cast<f64>(observed_rows) * velm_steps::kf_log_two_pi;
            total = std::fma(-0.5, terms + const_term, total);
        }
        velm_steps::kf_predict(model, b);
    }
    *loglik = total;
    return KF_OK;
}

}  // namespace velm_univariate
