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
    f64* pivot_left;  // the factors' variance left per row (max(n, m, k))
    f64* smoother;    // the smoother's arena
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
    b.pivot_left = carver.take(Cells(n > m ? (n > k ? n : k) : (m > k ? m : k)));
    b.smoother = carver.take(kfs_arena_size(n, m, k, T).n_float);
    return b;
}

// Largest diagonal entry of the n x n matrix S (0 when none is positive).
f64 largest_diagonal(const f64* S, i64 n) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) largest = std::fmax(largest, S[i * n + i]);
    return largest;
}

// n eps times S's largest diagonal entry: the rounding of a given matrix.
f64 rounding_tolerance(const f64* S, i64 n) {
    return static_cast<f64>(n) * std::numeric_limits<f64>::epsilon() * largest_diagonal(S, n);
}

// F with F F' = S for a positive semi-definite S, reading its lower triangle, column by column:
// a pivot within tol of zero (either side) gives a zero column, a clearly negative one or a NaN
// fails. left (n cells) holds the variance each row has left, NaN once the row has been a
// pivot. In order, F is the lower Cholesky factor (the factor statsmodels draws its
// disturbances with); pivoting, each column takes the row with the most variance left, so that
// rows whose variance is rounding alone come last and are dropped, rather than dividing the
// rows after them by a root of rounding, and F is a row permutation of a lower factor.
bool semidefinite_factor(const f64* S, f64 tol, bool pivoting, f64* left, f64* F, i64 n) {
    velm_zero_mat(F, n, n);
    if (!std::isfinite(tol)) return false;  // no tolerance left to tell a pivot from zero
    for (i64 i = 0; i < n; ++i) {
        left[i] = S[i * n + i];
        if (std::isnan(left[i])) return false;  // NaN marks a pivot row below
    }
    for (i64 j = 0; j < n; ++j) {
        i64 p = j;
        for (i64 i = 0; pivoting && i < n; ++i) {
            if (std::isnan(left[p]) || left[i] > left[p]) p = i;  // NaN marks a pivot row
        }
        const f64 pivot = left[p];
        if (!(pivot >= -tol)) return false;
        left[p] = std::numeric_limits<f64>::quiet_NaN();
        if (pivot <= tol) continue;  // a direction without variance
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
// 3. The smoother's means of y - y+ from a zero prior mean with d = 0, added to the draw.
int kfs_simulation_smoother(const kf_inputs* in, const kfs_variates* z, f64* arena,
                            kfs_draw* out) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    ArenaCarver carver{arena};
    const SimulationBlocks b = simulation_carve(carver, n, m, k, T);
    kf_build_bqbt(in->B, in->Q, b.temp_nk, b.P0_rest, n, k);
    // P0 - B Q B' is singular where the prior carries little more than the period's shock
    // (P0 = B Q B', or the stationary P0 of a singular A), and then only as exact as its
    // operands: a stationary P0 comes from an iterative solve, rounded against A P0 A', which can
    // be far larger than P0. So a variance within sqrt(eps) of the operands' size counts as none;
    // a draw from a covariance that far off errs by far less than its own Monte Carlo error.
    const f64 P0_tolerance = std::sqrt(std::numeric_limits<f64>::epsilon()) *
                             (largest_diagonal(in->P0, n) + largest_diagonal(b.P0_rest, n));
    for (i64 i = 0; i < n * n; ++i) b.P0_rest[i] = in->P0[i] - b.P0_rest[i];
    if (!semidefinite_factor(in->Q, rounding_tolerance(in->Q, k), false, b.pivot_left,
                             b.Q_factor, k) ||
        !semidefinite_factor(in->R, rounding_tolerance(in->R, m), false, b.pivot_left,
                             b.R_factor, m) ||
        !semidefinite_factor(b.P0_rest, P0_tolerance, true, b.pivot_left, b.P0_factor, n)) {
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
    if (status != KF_OK) return status;
    for (i64 i = 0; i < T * n; ++i) out->x_draw[i] += b.x_corr[i];
    for (i64 i = 0; i < T * k; ++i) out->eps_draw[i] += b.eps_corr[i];
    return KF_OK;
}
