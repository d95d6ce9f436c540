// Stationary state covariance: the discrete Lyapunov equation P = A P A' + B Q B' solved by the
// doubling iteration, with its convergence test, residual check and arena size.
#include "kalman/kalman.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "_common/velm_linalg.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_doubling.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_stationary::DoublingBlocks;
using velm_steps::kf_copy;

namespace {

struct StationaryBlocks {
    DoublingBlocks doubling;  // W = B Q B'
    f64* temp_nk;             // scratch of kf_build_bqbt (n x k)
};

StationaryBlocks stationary_carve(ArenaCarver& carver, i64 n, i64 k) {
    StationaryBlocks s;
    s.doubling = velm_stationary::doubling_carve(carver, n);
    s.temp_nk = carver.take(Cells(n) * k);
    return s;
}

// P += correction cell by cell, tracking the largest absolute correction and updated entry.
// False at the first non-finite value: a non-finite
// correction leaves its cell as it was, a non-finite updated entry stays in P.
bool kf_add_correction(f64* __restrict P, const f64* __restrict correction, i64 cells,
                       f64* correction_norm, f64* covariance_norm) {
    f64 largest_correction = 0.0;
    f64 largest_entry = 0.0;
    for (i64 i = 0; i < cells; ++i) {
        const f64 step = std::fabs(correction[i]);
        if (!std::isfinite(step)) return false;
        P[i] += correction[i];
        const f64 entry = std::fabs(P[i]);
        if (!std::isfinite(entry)) return false;
        if (step > largest_correction) largest_correction = step;
        if (entry > largest_entry) largest_entry = entry;
    }
    *correction_norm = largest_correction;
    *covariance_norm = largest_entry;
    return true;
}

// out = G P G' for a symmetric P: G P in full, then the lower triangle of (G P) G', mirrored.
void congruence(const f64* G, const f64* P, f64* temp_nn, f64* out, i64 n) {
    velm_matmul(G, P, temp_nn, n, n, n);
    velm_matmul_abt_plus_c_sym(temp_nn, G, nullptr, out, n, n);
}

// Largest |P - (A P A' + W)| entry: how far P is from solving the Lyapunov equation with A
// itself rather than with the current power. False at the first non-finite difference.
bool kf_lyapunov_residual_norm(const f64* A, const f64* P, const f64* W, f64* temp_nn,
                               f64* residual, i64 n, f64* residual_norm) {
    // residual = A P A'  (n x n)
    congruence(A, P, temp_nn, residual, n);
    f64 largest = 0.0;
    for (i64 i = 0; i < n * n; ++i) {
        const f64 difference = std::fabs(P[i] - (residual[i] + W[i]));
        if (!std::isfinite(difference)) return false;
        if (difference > largest) largest = difference;
    }
    *residual_norm = largest;
    return true;
}

// (2n + 16) eps: how far the products and sums of A P A' + W may round, relative to the sizes
// they sum, when tol > 0 (a tolerance of 0 asks for an exact solution, any other for one within
// tol, which a residual cannot resolve below its own rounding); 0 otherwise.
f64 residual_rounding(f64 tol, i64 n) {
    return tol > 0.0 ? static_cast<f64>(2 * n + 16) * std::numeric_limits<f64>::epsilon() : 0.0;
}

// The adjoint's residual check: the largest |P - (A P A' + W)| entry beyond its rounding, for an
// indefinite P: |A P A'|_ij is at most r_i r_j max|P| with r the absolute row sums of A. Reads
// A P A' in APAt and the largest entry without the allowance in *residual_norm, as
// kf_lyapunov_residual_norm leaves them; temp_nn (n cells of it) is scratch.
void residual_beyond_rounding(const f64* A, const f64* P, const f64* W, f64 tol, f64* temp_nn,
                              const f64* APAt, i64 n, f64* residual_norm) {
    const f64 rounding = residual_rounding(tol, n);
    if (rounding == 0.0 || *residual_norm == 0.0) return;
    f64* const r = temp_nn;
    f64 largest_entry = 0.0;
    for (i64 i = 0; i < n; ++i) {
        f64 sum = 0.0;
        for (i64 k = 0; k < n; ++k) sum += std::fabs(A[i * n + k]);
        r[i] = sum;
        for (i64 j = 0; j < n; ++j) {
            largest_entry = std::fmax(largest_entry, std::fabs(P[i * n + j]));
        }
    }
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            const i64 c = i * n + j;
            const f64 difference = std::fabs(P[c] - (APAt[c] + W[c]));
            const f64 allowed = rounding * (r[i] * r[j] * largest_entry + std::fabs(W[c]));
            largest = std::fmax(largest, difference - allowed);
        }
    }
    *residual_norm = largest;
}

// inverse[i] = 1 / sqrt|P_ii|, for P's correlation units; infinite where P_ii = 0, so that a
// nonzero entry in that row or column counts as infinitely large.
void inverse_units(const f64* P, i64 n, f64* inverse) {
    for (i64 i = 0; i < n; ++i) inverse[i] = 1.0 / std::sqrt(std::fabs(P[i * n + i]));
}

// |x| in the units of row i and column j (x = 0 is 0 in any units).
f64 in_units(f64 x, const f64* inverse, i64 i, i64 j) {
    return x == 0.0 ? 0.0 : std::fabs(x) * inverse[i] * inverse[j];
}

// Smallest |P_ii|: every unit sqrt(|P_ii P_jj|) of P's correlation units is at least that.
f64 smallest_variance(const f64* P, i64 n) {
    f64 smallest = HUGE_VAL;
    for (i64 i = 0; i < n; ++i) smallest = std::fmin(smallest, std::fabs(P[i * n + i]));
    return smallest;
}

// The covariance's test of a pass's finite correction C: every entry within tol in the
// correlation units of the updated P; inverse: n cells of scratch. Units lie between the
// smallest variance and the largest entry (|P_ij| <= sqrt(P_ii P_jj)), so a correction within
// tol of the one passes and one above tol times the other fails, without the scan.
bool correction_within_units(const f64* C, const f64* P, f64 correction_norm,
                             f64 covariance_norm, f64 tol, f64* inverse, i64 n) {
    if (!(correction_norm <= tol * covariance_norm)) return false;
    if (correction_norm <= tol * smallest_variance(P, n)) return true;
    inverse_units(P, n, inverse);
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            largest = std::fmax(largest, in_units(C[i * n + j], inverse, i, j));
        }
    }
    return largest <= tol;
}

// Largest |P - (A P A' + W)| entry in the correlation units of P, beyond its rounding
// (residual_rounding): |A P A'|_ij is at most u_i u_j with u = |A| sqrt|diag P| (as
// |P_kl| <= sqrt(P_kk P_ll)). False at the first non-finite difference.
bool lyapunov_residual_in_units(const f64* A, const f64* P, const f64* W, f64 tol, f64* temp_nn,
                                f64* residual, i64 n, f64* residual_norm) {
    // residual = A P A'; within tol of the smallest variance, every entry is within tol in its
    // units
    f64 largest_difference = 0.0;
    if (!kf_lyapunov_residual_norm(A, P, W, temp_nn, residual, n, &largest_difference)) {
        return false;
    }
    const f64 smallest = smallest_variance(P, n);
    if (largest_difference <= tol * smallest) {
        *residual_norm = largest_difference == 0.0 ? 0.0 : largest_difference / smallest;
        return true;
    }
    f64* const u = temp_nn;  // free again: n cells of it
    for (i64 i = 0; i < n; ++i) {
        f64 sum = 0.0;
        for (i64 k = 0; k < n; ++k) {
            sum += std::fabs(A[i * n + k]) * std::sqrt(std::fabs(P[k * n + k]));
        }
        u[i] = sum;
    }
    const f64 rounding = residual_rounding(tol, n);
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            const i64 c = i * n + j;
            const f64 difference = std::fabs(P[c] - (residual[c] + W[c]));
            const f64 excess = difference - rounding * (u[i] * u[j] + std::fabs(W[c]));
            if (excess > 0.0) {
                const f64 unit = std::sqrt(std::fabs(P[i * n + i]) * std::fabs(P[j * n + j]));
                largest = std::fmax(largest, unit > 0.0 ? excess / unit : HUGE_VAL);
            }
        }
    }
    *residual_norm = largest;
    return true;
}

// Widens the packed n x n matrix at the start of out, in place, to row stride ld_out >= n with
// zeros after each row. The last row moves first, so no row is overwritten before it has moved.
void kf_relayout_rows(f64* out, i64 n, i64 ld_out) {
    for (i64 r = n - 1; r >= 0; --r) {
        std::memmove(out + r * ld_out, out + r * n, static_cast<size_t>(n) * sizeof(f64));
        if (ld_out > n) velm_zero_mat(out + r * ld_out + n, 1, ld_out - n);
    }
}

}  // namespace

arena_size kf_stationary_covariance_arena_size(const i64 n, const i64 k) {
    ArenaCarver counter = ArenaCarver::counting();
    stationary_carve(counter, n, k);
    return counter.size();
}

int kf_stationary_covariance(const f64* A, const f64* B, const f64* Q, f64 tol, i64 max_iter,
                             f64* arena, f64* out, i64 n, i64 k, i64 ld_out) {
    ArenaCarver carver{arena};
    const StationaryBlocks s = stationary_carve(carver, n, k);
    kf_build_bqbt(B, Q, s.temp_nk, s.doubling.W, n, k);
    return velm_stationary::doubling(A, s.doubling, tol, max_iter, out, n, ld_out,
                                     velm_stationary::DoublingTest::covariance);
}

namespace velm_stationary {

namespace {

// Whether P solves P = A P A' + W to the test's threshold (of P's largest entry
// covariance_norm for the adjoint); *finite false at a non-finite residual. Leaves A P A' in
// d.residual.
bool solves(const f64* A, const DoublingBlocks& d, const f64* P, f64 tol, f64 covariance_norm,
            i64 n, DoublingTest test, bool* finite) {
    const bool covariance = test == DoublingTest::covariance;
    const f64 threshold = covariance ? tol : tol * (covariance_norm > 1.0 ? covariance_norm : 1.0);
    f64 residual_norm = 0.0;
    *finite = covariance ? lyapunov_residual_in_units(A, P, d.W, tol, d.temp_nn, d.residual, n,
                                                      &residual_norm)
                         : kf_lyapunov_residual_norm(A, P, d.W, d.temp_nn, d.residual, n,
                                                     &residual_norm);
    if (!*finite) return false;
    if (!covariance && residual_norm > threshold) {
        residual_beyond_rounding(A, P, d.W, tol, d.temp_nn, d.residual, n, &residual_norm);
    }
    return residual_norm <= threshold;
}

// Largest absolute row sum of the n x n matrix G: |G X G'|_ij <= s^2 max|X|.
f64 largest_row_sum(const f64* G, i64 n) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        f64 sum = 0.0;
        for (i64 j = 0; j < n; ++j) sum += std::fabs(G[i * n + j]);
        largest = sum > largest || std::isnan(sum) ? sum : largest;
    }
    return largest;
}

constexpr int kRefinements = 2;       // refinement passes before the solve gives up
constexpr i64 kRefinementDoublings = 64;  // squarings of A within one, at most

// Largest absolute entry of the n x n matrix X.
f64 largest_entry(const f64* X, i64 n) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n * n; ++i) largest = std::fmax(largest, std::fabs(X[i]));
    return largest;
}

// Iterative refinement, for a sum whose corrections converged while its residual stayed above the
// tolerance: on a slow, strongly non-normal A the doubling's rounding accumulates far above that
// of the products in the residual (2.6e-9 in correlation units where 1e-12 was asked). The
// residual E = A P A' + W - P is itself of that size, and the solution D = sum_i A^i E A^i' of
// D = A D A' + E, by the same doubling, corrects P up to D's own rounding, far smaller. D lives in
// d.residual; the passes stop once the next correction is below the rounding of D (the square of
// A_power's largest row sum under epsilon) or D is zero, and after max_iter or 64 squarings
// (A^(2^64)) at most. Only for a positive tolerance: one of 0 asks for an exact solution, and a
// negative or NaN one is never met. Returns the solver's status, P corrected.
int refined(const f64* A, const DoublingBlocks& d, f64 tol, i64 max_iter, f64* P, i64 n,
            i64 ld_out, DoublingTest test) {
    if (!(tol > 0.0)) return KF_ERR_NO_CONVERGENCE;
    f64* const D = d.residual;
    const i64 doublings = max_iter < kRefinementDoublings ? max_iter : kRefinementDoublings;
    for (int pass = 0; pass < kRefinements; ++pass) {
        // D = A P A' + W - P
        congruence(A, P, d.temp_nn, D, n);
        for (i64 i = 0; i < n * n; ++i) D[i] = (D[i] + d.W[i]) - P[i];
        kf_copy(d.A_power, A, n * n);
        for (i64 iter = 0; iter < doublings; ++iter) {
            const f64 spread = largest_row_sum(d.A_power, n);
            if (!std::isfinite(spread)) return KF_ERR_NO_CONVERGENCE;
            if (spread * spread <= std::numeric_limits<f64>::epsilon()) break;
            if (largest_entry(D, n) == 0.0) break;
            // D += A_power D A_power' (D stays exactly symmetric)
            velm_matmul(d.A_power, D, d.temp_nn, n, n, n);
            velm_matmul_abt_plus_c_sym(d.temp_nn, d.A_power, D, D, n, n);
            velm_matmul(d.A_power, d.A_power, d.temp_nn, n, n, n);
            kf_copy(d.A_power, d.temp_nn, n * n);
        }
        f64 correction_norm = 0.0;
        f64 covariance_norm = 0.0;
        if (!kf_add_correction(P, D, n * n, &correction_norm, &covariance_norm)) {
            return KF_ERR_NO_CONVERGENCE;
        }
        bool finite = true;
        if (solves(A, d, P, tol, covariance_norm, n, test, &finite)) {
            kf_relayout_rows(P, n, ld_out);
            return KF_OK;
        }
        if (!finite) return KF_ERR_NO_CONVERGENCE;
    }
    return KF_ERR_NO_CONVERGENCE;
}

}  // namespace

DoublingBlocks doubling_carve(ArenaCarver& carver, i64 n) {
    const Cells N = n;
    DoublingBlocks d;
    d.W = carver.take(N * N);
    d.A_power = carver.take(N * N);
    d.temp_nn = carver.take(N * N);
    d.residual = carver.take(N * N);
    return d;
}

int doubling(const f64* A, const DoublingBlocks& d, f64 tol, i64 max_iter, f64* out, i64 n,
             i64 ld_out, DoublingTest test) {
    // Doubling iteration (Anderson and Moore, 1979, sec. 6.7): after j passes
    // P = sum_{i < 2^j} A^i W (A^i)', and each pass adds A^(2^j) P (A^(2^j))'. W and every
    // correction are exactly symmetric, so P stays so without a mean of mirrored pairs.
    f64* A_power = d.A_power;
    f64* temp_nn = d.temp_nn;
    f64* residual = d.residual;
    f64* P = out;  // the iterate, packed n x n until it has converged

    velm_sym_inplace(d.W, n);
    // P = W, A_power = A
    kf_copy(P, d.W, n * n);
    kf_copy(A_power, A, n * n);
    // a pass whose correction passed its test while the residual did not: where the iteration
    // then ends without converging, P is refined once more instead
    bool corrections_converged = false;
    for (i64 iter = 0; iter < max_iter; ++iter) {
        // residual = A_power P A_power'  (n x n), this pass's correction
        congruence(A_power, P, temp_nn, residual, n);
        // P = P + correction
        f64 correction_norm = 0.0;
        f64 covariance_norm = 0.0;
        if (!kf_add_correction(P, residual, n * n, &correction_norm, &covariance_norm)) {
            return KF_ERR_NO_CONVERGENCE;
        }
        // a covariance in its correlation units; the adjoint relative to its largest entry
        // above 1, absolutely below; a NaN tol never passes
        const bool covariance = test == DoublingTest::covariance;
        const f64 threshold =
            covariance ? tol : tol * (covariance_norm > 1.0 ? covariance_norm : 1.0);
        // temp_nn is free between the correction and the squaring
        const bool converging = covariance
                                    ? correction_within_units(residual, P, correction_norm,
                                                              covariance_norm, tol, temp_nn, n)
                                    : correction_norm <= threshold;
        if (converging) {
            bool finite = true;
            if (solves(A, d, P, tol, covariance_norm, n, test, &finite)) {
                kf_relayout_rows(out, n, ld_out);
                return KF_OK;
            }
            if (!finite) return KF_ERR_NO_CONVERGENCE;
            corrections_converged = true;
        }
        // A pass that added nothing to P has failed the tests for good: with G = A_power,
        // G P G' = 0 gives (G G) P (G G)' = G (G P G') G' = 0, so every later pass adds nothing
        // either, and P, the threshold and the residual stay as they are (a tolerance of 0,
        // below 0 or NaN; a power that underflowed to zero; a permutation without noise).
        if (correction_norm == 0.0) break;
        // A_power = A_power A_power
        velm_matmul(A_power, A_power, temp_nn, n, n, n);
        kf_copy(A_power, temp_nn, n * n);
    }
    return corrections_converged ? refined(A, d, tol, max_iter, P, n, ld_out, test)
                                 : KF_ERR_NO_CONVERGENCE;
}

}  // namespace velm_stationary
