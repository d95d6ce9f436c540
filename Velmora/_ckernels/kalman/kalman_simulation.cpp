// The simulation smoother of the linear model (kfs_simulation_smoother), in the mean-correction
// form of Durbin and Koopman (2002): a sample of the model drawn from the caller's variates,
// corrected by the smoothed means of the data minus the sample.
//
// The smoothers are linear in (y, x0, d): x_smooth(y) - x_smooth(y+) is the smoother of y - y+
// with a zero prior mean and d = 0, so one smoothing pass (means only, O(n^2) per settled period)
// gives the correction. x+ + x_smooth(y) - x_smooth(y+) has the mean x_smooth(y) and the
// variance of x - x_smooth(y) given y, which does not depend on y.
#include <cmath>
#include <limits>

#include "_common/velm_linalg.h"
#include "kalman/kalman.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_missing.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_steps::kf_copy;

namespace {

struct SimulationBlocks {
    f64* Q_factor;   // k x k
    f64* R_factor;   // m x m
    f64* P0_factor;  // factor of P0 - B Q B' (n x n)
    f64* P0_rest;    // P0 - B Q B' (n x n)
    f64* temp_nk;    // scratch of kf_build_bqbt (n x k)
    f64* x_plus;     // state of the sample, one period (n)
    f64* temp_n;     // (n)
    f64* y_plus;     // observation of the sample, one period (m)
    f64* zeros_n;    // prior mean of the correction (n)
    f64* zeros_m;    // d of the correction (m)
    f64* y_diff;     // y - y+ (T x m)
    f64* x_corr;     // smoothed states of y - y+ (T x n)
    f64* eps_corr;   // smoothed shocks of y - y+ (T x k)
    f64* pivot_left;   // the factors' variance left per row (max(n, m, k))
    f64* pivot_scale;  // the factors' unit of variance per row (max(n, m, k))
    f64* smoother;     // the smoother's arena
};

SimulationBlocks simulation_carve(ArenaCarver& carver, i64 n, i64 m, i64 k, i64 T) {
    const Cells N = n, M = m, K = k, Tc = T > 0 ? T : 0;
    SimulationBlocks b{};
    b.Q_factor = carver.take(K * K);
    b.R_factor = carver.take(M * M);
    b.P0_factor = carver.take(N * N);
    b.P0_rest = carver.take(N * N);
    b.temp_nk = carver.take(N * K);
    b.x_plus = carver.take(N);
    b.temp_n = carver.take(N);
    b.y_plus = carver.take(M);
    b.zeros_n = carver.take(N);
    b.zeros_m = carver.take(M);
    b.y_diff = carver.take(Tc * M);
    b.x_corr = carver.take(Tc * N);
    b.eps_corr = carver.take(Tc * K);
    const Cells rows = Cells(n > m ? (n > k ? n : k) : (m > k ? m : k));
    b.pivot_left = carver.take(rows);
    b.pivot_scale = carver.take(rows);
    b.smoother = carver.take(kfs_arena_size(n, m, k, T).n_float);
    return b;
}

// Each row's own unit of variance, for tolerances that a change of the states', shocks' or
// observables' units leaves as they are: |S_ii|, plus |T_ii| when T is given (n).
void row_scales(const f64* S, const f64* T, f64* scale, i64 n) {
    for (i64 i = 0; i < n; ++i) {
        scale[i] = std::fabs(S[i * n + i]) + (T ? std::fabs(T[i * n + i]) : 0.0);
    }
}

// The share of its variance row i has left, for the pivot search; a row without scale has a
// share only when its variance left is not zero (then it cannot be positive semi-definite).
f64 share_left(f64 left, f64 scale) {
    if (scale > 0.0) return left / scale;
    return left == 0.0 ? 0.0 : -std::numeric_limits<f64>::infinity();
}

// F with F F' = S for a positive semi-definite S, reading its lower triangle, column by column.
// Each row is measured in its own scale: a pivot within tol * scale[p] of zero (either side)
// gives a zero column, a clearly negative one or a NaN fails. left (n cells) holds the variance
// each row has left, NaN once the row has been a pivot. In order, F is the lower Cholesky factor
// (the factor statsmodels draws its disturbances with); pivoting, each column takes the row with
// the largest share of its variance left, so that rows whose variance is rounding alone come last
// and are dropped, rather than dividing the rows after them by a root of rounding, and F is a row
// permutation of a lower factor. `definite` asks for every pivot to stand clear of its tolerance.
bool semidefinite_factor(const f64* S, const f64* scale, f64 tol, bool pivoting, bool definite,
                         f64* left, f64* F, i64 n) {
    velm_zero_mat(F, n, n);
    for (i64 i = 0; i < n; ++i) {
        left[i] = S[i * n + i];
        if (std::isnan(left[i]) || !std::isfinite(scale[i])) return false;
    }
    for (i64 j = 0; j < n; ++j) {
        i64 p = j;
        for (i64 i = 0; pivoting && i < n; ++i) {
            // NaN marks a pivot row
            if (std::isnan(left[p]) ||
                (!std::isnan(left[i]) &&
                 share_left(left[i], scale[i]) > share_left(left[p], scale[p]))) {
                p = i;
            }
        }
        const f64 pivot = left[p], row_tol = tol * scale[p];
        if (!(pivot >= -row_tol)) return false;
        left[p] = std::numeric_limits<f64>::quiet_NaN();
        if (pivot <= row_tol) {
            if (definite) return false;
            continue;  // a direction without variance
        }
        const f64 root = std::sqrt(pivot);
        F[p * n + j] = root;
        for (i64 i = 0; i < n; ++i) {
            if (std::isnan(left[i])) continue;  // a pivot row: zero after its own column
            const i64 lo = i > p ? i : p, hi = i > p ? p : i;  // the lower triangle's (i, p)
            f64 sum = S[lo * n + hi];
            for (i64 l = 0; l < j; ++l) sum -= F[i * n + l] * F[p * n + l];
            F[i * n + j] = sum / root;
            left[i] -= F[i * n + j] * F[i * n + j];
            if (std::isnan(left[i])) return false;
        }
    }
    return true;
}

// A variance within sqrt(eps) of its row's own counts as none: a draw from a covariance that far
// off errs by far less than its own Monte Carlo error.
const f64 kDrawTolerance = std::sqrt(std::numeric_limits<f64>::epsilon());

// The factor a shock or measurement covariance S (n x n) draws with: its lower Cholesky factor
// when S is clearly positive definite, so that a draw reproduces statsmodels' from the same
// variates; otherwise (S singular to rounding) the pivoted semi-definite factor, since rounding
// leaves a singular matrix's later pivots on either side of zero.
bool noise_factor(const f64* S, f64* scale, f64* left, f64* F, i64 n) {
    row_scales(S, nullptr, scale, n);
    return semidefinite_factor(S, scale, kDrawTolerance, false, true, left, F, n) ||
           semidefinite_factor(S, scale, kDrawTolerance, true, false, left, F, n);
}

// out = y - y+ where y is observed, NaN (missing) where it is not. A sample that is not finite
// (non-finite parameters, an overflow) would make y - y+ NaN where y is observed, and the
// correction pass would take the period as missing and report success; such a cell is +inf,
// observed, so the pass sees the data's own missing pattern: it fails on a covariance that
// cannot be factorised, as the smoother of y does, and otherwise carries the non-finite value
// into the draw.
void observed_difference(const f64* y, const f64* y_plus, f64* out, i64 m) {
    for (i64 i = 0; i < m; ++i) {
        const f64 difference = y[i] - y_plus[i];
        const bool lost = velm_missing::observed(y[i]) && !velm_missing::observed(difference);
        out[i] = lost ? std::numeric_limits<f64>::infinity() : difference;
    }
}

}  // namespace

arena_size kfs_simulation_arena_size(const i64 n, const i64 m, const i64 k, const i64 T) {
    ArenaCarver counter = ArenaCarver::counting();
    simulation_carve(counter, n, m, k, T);
    return counter.size();
}

// 1. Factors of Q, R and P0 - B Q B'.
// 2. The sample: eps+(t) = Q^1/2 z_eps[t]; x+(0) = x0 + F0 z_x0 + B eps+(0), x+(t) = A x+(t-1)
//    + B eps+(t); y+(t) = C x+(t) + d + R^1/2 z_eta[t], written as y - y+ with the missing
//    pattern of y (observed_difference).
//    x+ and eps+ go straight into the draw.
// 3. The smoother's means of y - y+ from a zero prior mean with d = 0, added to the draw; when
//    that pass fails (an innovation covariance that cannot be factorised), its status with both
//    draws zero.
int kfs_simulation_smoother(const kf_inputs* in, const kfs_variates* z, f64* arena,
                            kfs_draw* out) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    ArenaCarver carver{arena};
    const SimulationBlocks b = simulation_carve(carver, n, m, k, T);
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.P0_rest, n, k);
    // P0 - B Q B' is singular where the prior carries little more than the period's shock
    // (P0 = B Q B', or the stationary P0 of a singular A), and then only as exact as its
    // operands: a stationary P0 comes from an iterative solve, rounded against A P0 A', which can
    // be far larger than P0. So each row's tolerance is measured against its variance in P0 and
    // in B Q B'.
    row_scales(in->P0, b.P0_rest, b.pivot_scale, n);
    for (i64 i = 0; i < n * n; ++i) b.P0_rest[i] = in->P0[i] - b.P0_rest[i];
    if (!semidefinite_factor(b.P0_rest, b.pivot_scale, kDrawTolerance, true, false, b.pivot_left,
                             b.P0_factor, n) ||
        !noise_factor(in->Q, b.pivot_scale, b.pivot_left, b.Q_factor, k) ||
        !noise_factor(in->R, b.pivot_scale, b.pivot_left, b.R_factor, m)) {
        return KF_ERR_CHOLESKY;
    }
    if (T <= 0) return KF_OK;

    for (i64 t = 0; t < T; ++t) {
        f64* eps = out->eps_draw + t * k;
        f64* x = out->x_draw + t * n;
        // eps+ = Q^1/2 z  (k)
        velm_matvec(b.Q_factor, z->z_eps + t * k, eps, k, k);
        if (t == 0) {
            // x+(0) = x0 + F0 z_x0 + B eps+(0)
            velm_matvec_plus_vec(b.P0_factor, z->z_x0, in->x0, b.temp_n, n, n);
        } else {
            velm_matvec(in->A, out->x_draw + (t - 1) * n, b.temp_n, n, n);
        }
        velm_matvec_plus_vec(in->B, eps, b.temp_n, x, n, k);
        // y+ = C x+ + d + R^1/2 z  (m), then y - y+
        f64* diff_row = b.y_diff + t * m;
        velm_matvec_plus_vec(b.R_factor, z->z_eta + t * m, in->d, diff_row, m, m);
        velm_matvec_plus_vec(in->C, x, diff_row, b.y_plus, m, n);
        observed_difference(in->y + t * m, b.y_plus, diff_row, m);
    }

    velm_zero_mat(b.zeros_n, n, 1);
    velm_zero_mat(b.zeros_m, m, 1);
    kf_inputs diff = *in;
    diff.y = b.y_diff;
    diff.x0 = b.zeros_n;
    diff.d = b.zeros_m;
    f64 loglik = 0.0;
    kfs_outputs corr{b.x_corr, nullptr, b.eps_corr, nullptr, &loglik};
    const int status = kfs_smoother(&diff, b.smoother, &corr);
    if (status != KF_OK) {
        // no draw: the sample alone is not one given the data, so zeros, as the smoother leaves
        velm_zero_mat(out->x_draw, T, n);
        velm_zero_mat(out->eps_draw, T, k);
        return status;
    }
    for (i64 i = 0; i < T * n; ++i) out->x_draw[i] += b.x_corr[i];
    for (i64 i = 0; i < T * k; ++i) out->eps_draw[i] += b.eps_corr[i];
    return KF_OK;
}
