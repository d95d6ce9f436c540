// Gradient of a linear functional of the stationary covariance, through the adjoint Lyapunov
// equation solved by the same doubling as the covariance itself.
#include <cmath>

#include "kalman/kalman.h"
#include "kalman/kalman_stationary_grad.h"

#include "_common/velm_linalg.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_doubling.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;

namespace {

struct StationaryGradBlocks {
    f64* P;         // the stationary covariance (n x n), when it is solved for here
    f64* X;         // the adjoint solution (n x n)
    f64* A_t;       // A' (n x n)
    f64* temp_nn;   // product scratch (n x n)
    f64* temp_nk;   // product scratch (n x k)
    f64* solver;    // arena of either solve, then n x k scratch
};

StationaryGradBlocks stationary_grad_carve(ArenaCarver& carver, i64 n, i64 k) {
    const Cells N = n, K = k;
    StationaryGradBlocks g;
    g.P = carver.take(N * N);
    g.X = carver.take(N * N);
    g.A_t = carver.take(N * N);
    g.temp_nn = carver.take(N * N);
    g.temp_nk = carver.take(N * K);
    // the covariance's solve begins with the doubling blocks that the adjoint's solve takes
    g.solver = carver.take(kf_stationary_covariance_arena_size(n, k).n_float);
    return g;
}

// out = in 2^e, cell by cell. A product with 2^e rounds exactly as ldexp does, and costs a
// fraction of it; ldexp only where 2^e itself is not a normal number.
void scale_by_power_of_two(const f64* in, f64* out, i64 count, int e) {
    if (e < -1022 || e > 1023) {
        for (i64 i = 0; i < count; ++i) out[i] = std::ldexp(in[i], e);
        return;
    }
    const f64 factor = std::ldexp(1.0, e);
    for (i64 i = 0; i < count; ++i) out[i] = in[i] * factor;
}

bool all_finite(const f64* values, i64 count) {
    for (i64 i = 0; i < count; ++i) {
        if (!std::isfinite(values[i])) return false;
    }
    return true;
}

}  // namespace

arena_size kf_stationary_covariance_grad_arena_size(const i64 n, const i64 k) {
    ArenaCarver counter = ArenaCarver::counting();
    stationary_grad_carve(counter, n, k);
    return counter.size();
}

namespace velm_stationary {

arena_size adjoint_arena_size(const i64 n, const i64 k) {
    return kf_stationary_covariance_grad_arena_size(n, k);
}

int adjoint_given(const f64* A, const f64* B, const f64* Q, const f64* P, const f64* P_bar,
                  f64 tol, i64 max_iter, f64* arena, f64* A_bar, f64* B_bar, f64* Q_bar, i64 n,
                  i64 k) {
    ArenaCarver carver{arena};
    const StationaryGradBlocks g = stationary_grad_carve(carver, n, k);
    // X = A' X A + sym(P_bar)
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) g.A_t[j * n + i] = A[i * n + j];
    }
    // The solver's test is relative to max(1, |X|), while the rounding of its residual scales
    // with the right-hand side, which may be far larger than X when sym(P_bar) is indefinite (a
    // long sample's adjoint): solve with P_bar scaled to a largest entry in [1/2, 1), by a power
    // of two so that the scaling itself rounds nothing, and scale X back.
    f64 largest = 0.0;
    for (i64 i = 0; i < n * n; ++i) largest = std::fmax(largest, std::fabs(P_bar[i]));
    int exponent = 0;
    std::frexp(largest, &exponent);
    if (!std::isfinite(largest)) exponent = 0;
    ArenaCarver solver{g.solver};
    const velm_stationary::DoublingBlocks d = velm_stationary::doubling_carve(solver, n);
    scale_by_power_of_two(P_bar, d.W, n * n, -exponent);
    const int status = velm_stationary::doubling(g.A_t, d, tol, max_iter, g.X, n, n,
                                                 velm_stationary::DoublingTest::largest);
    if (status != KF_OK) return status;
    scale_by_power_of_two(g.X, g.X, n * n, exponent);
    // scaled back, X may pass the largest double where P_bar came near it: a non-finite value,
    // as the solver reports one (the products below stay finite for a finite X, P and A only
    // when they do not overflow either, hence the same test on the results)
    if (!all_finite(g.X, n * n)) return KF_ERR_NO_CONVERGENCE;
    // A_bar = 2 X A P  (X and P symmetric)
    velm_matmul(g.X, A, g.temp_nn, n, n, n);
    velm_matmul(g.temp_nn, P, A_bar, n, n, n);
    for (i64 i = 0; i < n * n; ++i) A_bar[i] *= 2.0;
    // B_bar = X B Q' + X B Q,  Q_bar = B' X B
    velm_matmul(g.X, B, g.temp_nk, n, n, k);
    velm_matmul_abt(g.temp_nk, Q, B_bar, n, k, k);
    velm_matmul(g.temp_nk, Q, g.solver, n, k, k);  // the solver's arena is free again
    for (i64 i = 0; i < n * k; ++i) B_bar[i] += g.solver[i];
    velm_matmul_atb(B, g.temp_nk, Q_bar, n, k, k);
    const bool finite = all_finite(A_bar, n * n) && all_finite(B_bar, n * k) &&
                        all_finite(Q_bar, k * k);
    return finite ? KF_OK : KF_ERR_NO_CONVERGENCE;
}

}  // namespace velm_stationary

int kf_stationary_covariance_grad(const f64* A, const f64* B, const f64* Q, const f64* P_bar,
                                  f64 tol, i64 max_iter, f64* arena, f64* A_bar, f64* B_bar,
                                  f64* Q_bar, i64 n, i64 k) {
    ArenaCarver carver{arena};
    const StationaryGradBlocks g = stationary_grad_carve(carver, n, k);
    // P = A P A' + B Q B', in the block the adjoint leaves alone
    const int status = kf_stationary_covariance(A, B, Q, tol, max_iter, g.solver, g.P, n, k, n);
    if (status != KF_OK) return status;
    return velm_stationary::adjoint_given(A, B, Q, g.P, P_bar, tol, max_iter, arena, A_bar, B_bar,
                                          Q_bar, n, k);
}
