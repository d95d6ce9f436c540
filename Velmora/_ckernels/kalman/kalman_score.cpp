// Score of the linear Kalman filter: the log-likelihood of kf_hot_loop and its exact gradient with
// respect to A, B, C, d, Q, R, x0 and P0, by one forward pass that records each period on a tape
// in the arena and one reverse (adjoint) sweep over that tape.
//
// Like kf_hot_loop, the forward pass stops the covariance recursion once it has settled at its
// fixed point (velm_settle::SettleWatch, the same rule): from the settle period s on, every
// period reuses the factor L and the gain K of period s, and only the states move. Those periods
// record only their states, and the reverse sweep gathers their adjoints of K and S into those of
// period s, which are pushed back through the covariance steps once, at s. That treats P_pred of
// every later period as a function of the inputs through period s alone, which holds for the
// derivative only once the sensitivity dP_pred/dtheta has settled as well. It obeys the tangent
// recursion dP_{t+1} = F_t dP_t F_t' + (explicit terms) with F_t = A (I - K_t C), so it forgets
// its start as Pi_t = F_t ... F_1 vanishes (period 0 reads P0 as given, which need not be
// symmetric): a prior near the fixed point settles P_pred at once while its sensitivity to A, B,
// C, Q, R still has far to go. The score therefore settles at the first period where the settle
// rule holds and ||Pi||_F^2 <= score_forgotten, Pi measured in the states' own scales
// (Pi(i, j) sqrt(P_jj / P_ii), which a change of units leaves as it is). That is kf_hot_loop's
// settle period or a later one, and both are within rounding of the full recursion, so the
// log-likelihoods agree up to rounding. The tangent map is the congruence by F_t only for
// symmetric P_pred under the standard form (any jitter), or under the Joseph form with the
// optimal gain (no jitter, symmetric R); as computed without symmetrisation, an antisymmetric
// part of dP_pred decays at another rate. Other models run the covariance recursion to the end.
//
// From a stationary start the forward pass also takes kf_hot_loop's low-rank route, the
// covariances of each period coming from its rank-m steps. The reverse sweep stays the full
// recursion's, evaluated at those points: the partial derivatives hold P0 fixed, and a change of
// A, B or Q alone leaves P0 off the new model's fixed point, so the covariances' sensitivities
// have full rank (kalman_score_stationary.cpp differentiates the rank-m route itself, for the
// total derivative through a stationary P0).
//
// Missing observations (a NaN in y) make the model time-varying: such a sample never settles, and
// each period runs on its observed rows (velm_missing::select_rows), forward and in reverse. A
// partly observed period sweeps back with its compact C_t, d_t and R_t, gathers their adjoints in
// compact scratch and adds them into the selected rows (and columns) of C_bar, d_bar and R_bar;
// a period with nothing observed only carries x_bar and P_bar through its prediction.
//
// Notation: X_bar = d loglik / dX, the adjoint of X. For a step Y = f(X) the reverse step adds
// the adjoint of every input from Y_bar, using (Giles, 2008, "Collected matrix derivative results
// for forward and reverse mode algorithmic differentiation", sec. 3):
//   Y = X Z           X_bar += Y_bar Z',          Z_bar += X' Y_bar
//   Y = (X + X') / 2  X_bar += (Y_bar + Y_bar') / 2
//   y = ln det X      X_bar += y_bar X^-T
//   Y = X^-1          X_bar -= Y^T Y_bar Y^T
// The adjoints are those of the function the forward pass evaluates, whatever its inputs: Q, R
// and P0 need not be symmetric, and the symmetrisation, the covariance form, the reading of only
// the lower triangle of S by the factorisation and the jitter are all differentiated as they are.
// One shortcut keeps that: with the optimal gain (symmetrised, no jitter, a symmetric R) the
// Joseph form and the standard form are the same function of a symmetric P_pred, and every
// P_pred after P0 is symmetrised, so those periods sweep back through the standard form's
// adjoint (O(n^2 m) instead of four n x n products).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "_common/velm_linalg.h"
#include "_common/velm_pivot.h"
#include "_common/velm_sym_products.h"
#include "kalman/kalman.h"
#include "kalman/kalman_adjoint.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_missing.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_settle::SettlePeriods;
using velm_settle::SettleWatch;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;
using velm_steps::kf_add;
using velm_steps::kf_copy;

namespace {

constexpr f64 score_forgotten = 0x1p-40;  // ||Pi||_F^2 below which the start is forgotten

// ---- arena and tape -----------------------------------------------------------------------------

// Scratch of the forward pass (1 to 11) and of the reverse sweep (12 to 30), in carve order.
struct ScoreBlocks {
    f64* y_pred_buf;  // predicted observation (m)
    f64* u_buf;       // standardised innovation L^-1 v (m)
    f64* solve_f;     // forward vector of the gain solve (m)
    f64* solve_b;     // backward vector of the gain solve (m)
    f64* S_buf;       // innovation covariance S (m x m)
    f64* BQBT;        // B Q B' (n x n)
    f64* KC;          // K C (n x n)
    f64* I_minus_KC;  // W = I - K C (n x n)
    f64* temp_nn;     // product scratch (n x n)
    f64* temp_mn;     // product scratch (m x n or n x m)
    f64* temp_nk;     // scratch of kf_build_bqbt, later B_bar's G B (n x k)
    f64* x_bar;       // adjoint of the predicted state (n)
    f64* x_filt_bar;  // adjoint of the filtered state (n)
    f64* v_bar;       // adjoint of the innovation (m)
    f64* P_bar;       // adjoint of the predicted covariance (n x n)
    f64* P_filt_bar;  // adjoint of the filtered covariance (n x n)
    f64* W_bar;       // adjoint of I - K C (n x n)
    f64* BQBT_bar;    // adjoint of B Q B', summed over the periods (n x n)
    f64* temp_nn2;    // product scratch (n x n)
    f64* K_bar;       // adjoint of the gain (n x m)
    f64* PCt_bar;     // adjoint of P_pred C' (n x m)
    f64* temp_nm;     // product scratch (n x m or m x n)
    f64* temp_nm2;    // product scratch (n x m or m x n)
    f64* eye_m;       // identity (m x m), right-hand side of S^-1
    f64* S_inv;       // (S + jitter I)^-1 (m x m)
    f64* S_bar;       // adjoint of S (m x m)
    f64* temp_mm;     // product scratch (m x m)
    f64* temp_nk2;    // product scratch (n x k)
    f64* S_tail_bar;  // 1/2 sum of w w' over the periods after the settle period (m x m)
    f64* At;          // A' (n x n), for the symmetrised prediction's P_filt_bar
    f64* P_filt;      // P_filt where the tape does not keep it: forward, again in reverse (n x n)
    f64* C_bar_sel;   // adjoint of a partly observed period's C_t (m_t x n)
    f64* d_bar_sel;   // adjoint of its d_t (m_t)
    f64* R_bar_sel;   // adjoint of its R_t (m_t x m_t)
    velm_missing::SelectBlocks sel;  // its rows of C, d, R and y
    velm_chandrasekhar::LowRankBlocks lr;  // the rank-m route's scratch
    f64* K_prev;                           // the gain before the route's step (n x m)
    velm_tail::TailBlocks tail;            // the settled periods, forward and back
    velm_tail::TailAdjointBlocks tail_adjoint;
};

ScoreBlocks score_carve(ArenaCarver& carver, i64 n, i64 m, i64 k) {
    const Cells N = n, M = m, K = k;
    ScoreBlocks b{};
    b.y_pred_buf = carver.take(M);
    b.u_buf = carver.take(M);
    b.solve_f = carver.take(M);
    b.solve_b = carver.take(M);
    b.S_buf = carver.take(M * M);
    b.BQBT = carver.take(N * N);
    b.KC = carver.take(N * N);
    b.I_minus_KC = carver.take(N * N);
    b.temp_nn = carver.take(N * N);
    b.temp_mn = carver.take(N * M);
    b.temp_nk = carver.take(N * K);
    b.x_bar = carver.take(N);
    b.x_filt_bar = carver.take(N);
    b.v_bar = carver.take(M);
    b.P_bar = carver.take(N * N);
    b.P_filt_bar = carver.take(N * N);
    b.W_bar = carver.take(N * N);
    b.BQBT_bar = carver.take(N * N);
    b.temp_nn2 = carver.take(N * N);
    b.K_bar = carver.take(N * M);
    b.PCt_bar = carver.take(N * M);
    b.temp_nm = carver.take(N * M);
    b.temp_nm2 = carver.take(N * M);
    b.eye_m = carver.take(M * M);
    b.S_inv = carver.take(M * M);
    b.S_bar = carver.take(M * M);
    b.temp_mm = carver.take(M * M);
    b.temp_nk2 = carver.take(N * K);
    b.S_tail_bar = carver.take(M * M);
    b.At = carver.take(N * N);
    b.P_filt = carver.take(N * N);
    b.C_bar_sel = carver.take(M * N);
    b.d_bar_sel = carver.take(M);
    b.R_bar_sel = carver.take(M * M);
    b.sel = velm_missing::select_carve(carver, n, m);
    b.lr = velm_chandrasekhar::low_rank_carve(carver, n, m);
    b.K_prev = carver.take(N * M);
    b.tail = velm_tail::tail_carve(carver, n, m);
    b.tail_adjoint = velm_tail::tail_adjoint_carve(carver, n, m);
    return b;
}

// What the reverse sweep reads of period t, written by the forward pass: one tape row. The
// periods up to the settle period s (all of them when the covariances never settle) have a full
// row each; the periods after s have a state row each (the first four blocks of a full row),
// laid after row s, and read the covariance quantities of row s. Since a state row is shorter
// than a full one, T full rows bound the tape.
struct TapeRow {
    f64* x_pred;   // n
    f64* x_filt;   // n
    f64* v;        // innovation (m)
    f64* S_inv_v;  // (m)
    f64* P_pred;   // n x n
    f64* P_filt;   // n x n, or null on a tape that does not keep it (Tape::keeps_P_filt)
    f64* L;        // lower Cholesky factor of S + jitter I (m x m)
    f64* PCt;      // P_pred C' (n x m)
    f64* K;        // gain (n x m)
};

// The state blocks of a row, then, for a full row, the covariance blocks.
TapeRow tape_row_carve(ArenaCarver& carver, i64 n, i64 m, bool full, bool keeps_P_filt) {
    const Cells N = n, M = m;
    TapeRow r{};
    r.x_pred = carver.take(N);
    r.x_filt = carver.take(N);
    r.v = carver.take(M);
    r.S_inv_v = carver.take(M);
    if (!full) return r;
    r.P_pred = carver.take(N * N);
    if (keeps_P_filt) r.P_filt = carver.take(N * N);
    r.L = carver.take(M * M);
    r.PCt = carver.take(N * M);
    r.K = carver.take(N * M);
    return r;
}

Cells tape_row_cells(i64 n, i64 m, bool full, bool keeps_P_filt) {
    ArenaCarver counter = ArenaCarver::counting();
    tape_row_carve(counter, n, m, full, keeps_P_filt);
    return counter.taken();
}

// Under glibc a block of more than 32 MiB is a fresh mapping on every call, each of its pages
// faulted in and zeroed when first touched; a smaller one comes back from the heap with its pages
// in place. A tape that would pass that size with P_filt leaves it out, and the reverse sweep
// forms it again (score_filtered_cov: the O(n^2 m) of an update, less than the page faults of
// an n x n block); a smaller tape keeps it, which costs only room.
constexpr i64 kFreshMappingCells = (i64{32} << 20) / static_cast<i64>(sizeof(f64));

struct Tape {
    f64* cells;
    i64 n, m;
    bool keeps_P_filt;

    static bool keeps_P_filt_for(i64 n, i64 m, i64 T) {
        const i64 cells = (Cells(T > 0 ? T : 0) * tape_row_cells(n, m, true, true)).count();
        return cells >= 0 && cells <= kFreshMappingCells;
    }
    Cells size(i64 T) const {
        return Cells(T > 0 ? T : 0) * tape_row_cells(n, m, true, keeps_P_filt);
    }

    TapeRow row(i64 t) const {
        ArenaCarver carver{cells + t * tape_row_cells(n, m, true, keeps_P_filt).count()};
        return tape_row_carve(carver, n, m, true, keeps_P_filt);
    }
    // A period after the settle period s: only its state blocks.
    TapeRow state_row(i64 s, i64 t) const {
        ArenaCarver carver{cells + (s + 1) * tape_row_cells(n, m, true, keeps_P_filt).count() +
                           (t - s - 1) * tape_row_cells(n, m, false, keeps_P_filt).count()};
        return tape_row_carve(carver, n, m, false, keeps_P_filt);
    }
};

// The score's scratch and the tape of T full rows after it.
ScoreBlocks score_arena_carve(ArenaCarver& carver, i64 n, i64 m, i64 k, i64 T, Tape* tape) {
    const ScoreBlocks b = score_carve(carver, n, m, k);
    // An empty y of m = 0 columns does not bound T: the count is checked, and a size beyond the
    // i64 range is reported as -1 rather than wrapped.
    *tape = Tape{nullptr, n, m, Tape::keeps_P_filt_for(n, m, T)};
    tape->cells = carver.take(tape->size(T));
    return b;
}

struct ScoreModel {
    i64 n, m, k, T;
    const f64 *A, *B, *C, *d, *Q, *R, *y;
    f64 jitter;
    bool symmetrize, joseph_cov, R_symmetric;
};

// ---- forward pass -------------------------------------------------------------------------------

FilterModel score_filter_model(const ScoreModel& md) {
    return FilterModel{md.n, md.m, md.A, md.R, md.y, md.jitter, md.symmetrize, md.joseph_cov,
                       md.R_symmetric};
}

// P_filt into out, symmetrised as the model asks: on the low-rank route (routed) the standard
// form from the row's K, PCt and P_pred with mt observables; with nothing observed, P_pred.
void score_plain_filtered_cov(const ScoreModel& md, const TapeRow& r, i64 mt, bool routed,
                              f64* out) {
    if (routed) kf_simple_cov(r.K, r.PCt, r.P_pred, out, md.n, mt);
    else kf_copy(out, r.P_pred, md.n * md.n);
    if (md.symmetrize) velm_sym_inplace(out, md.n);
}

// Whether the tangent of the covariance recursion is dP -> F dP F', so that Pi measures what
// it has forgotten (see the top of the file).
bool score_may_settle(const ScoreModel& md) {
    if (!md.symmetrize) return false;
    if (!md.joseph_cov) return true;
    if (velm_pivot::adds_jitter(md.jitter)) return false;
    return md.R_symmetric;
}

// Pi = F Pi with F = A (I - K C) = A - (A K) C, the closed-loop transition of period t. Pi in
// b.KC, F in b.I_minus_KC: the forward pass has no other use for them (kf_joseph_cov never forms
// K C).
void score_advance_pi(const ScoreModel& md, const ScoreBlocks& b, const f64* K) {
    const i64 n = md.n, m = md.m;
    // temp_mn = A K  (n x m),  F = A - temp_mn C  (n x n)
    velm_matmul(md.A, K, b.temp_mn, n, n, m);
    velm_c_minus_matmul(b.temp_mn, md.C, md.A, b.I_minus_KC, n, m, n);
    // Pi = F Pi  (n x n)
    velm_matmul(b.I_minus_KC, b.KC, b.temp_nn, n, n, n);
    kf_copy(b.KC, b.temp_nn, n * n);
}

// ||Pi||_F^2 <= score_forgotten, each cell in the states' own scales: Pi(i, j) sqrt(P_jj / P_ii)
// with inv_scale[i] = 1 / sqrt(P_ii) (+inf for a state without variance, which then never
// forgets a non-zero cell).
// A zero cell adds nothing, even where its scale is infinite; the select, not a branch, keeps the
// row's loop vectorised.
bool score_forgot(const ScoreBlocks& b, const f64* inv_scale, i64 n) {
    f64 norm2 = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64* row = b.KC + i * n;
        const f64 row_scale = inv_scale[i];
        f64 row_sum = 0.0;
        for (i64 j = 0; j < n; ++j) {
            const f64 scaled = row[j] * row_scale / inv_scale[j];
            row_sum += row[j] == 0.0 ? 0.0 : scaled * scaled;
        }
        norm2 += row_sum;
    }
    return norm2 <= score_forgotten;
}

// Pi of period t formed on its first need, once the covariances have arrived: F_s Pi for s = 1
// to t from the gains on the tape, stopping at the first period whose Pi is forgotten, as the
// periods themselves would have. A sample whose covariances never settle never forms it.
bool score_replay_pi(const ScoreModel& md, const ScoreBlocks& b, const Tape& tape, i64 t) {
    for (i64 s = 1; s <= t; ++s) {
        const TapeRow row = tape.row(s);
        score_advance_pi(md, b, row.K);
        velm_settle::settle_inverse_scales(row.P_pred, md.n, b.x_bar);
        if (score_forgot(b, b.x_bar, md.n)) return true;
    }
    return false;
}

// The shared steps' view of period t: its tape row for what the reverse sweep reads, the
// score's scratch for the rest (one block for C P_pred and K R, as in kf_hot_loop).
FilterBlocks score_period_view(const ScoreBlocks& b, const TapeRow& r) {
    FilterBlocks v{};
    v.x_pred_buf = r.x_pred;
    v.x_filt_buf = r.x_filt;
    v.y_pred_buf = b.y_pred_buf;
    v.v_buf = r.v;
    v.u_buf = b.u_buf;
    v.S_inv_v = r.S_inv_v;
    v.solve_f = b.solve_f;
    v.solve_b = b.solve_b;
    v.P_pred_buf = r.P_pred;
    v.P_filt_buf = r.P_filt ? r.P_filt : b.P_filt;
    v.temp_nn = b.temp_nn;
    v.BQBT = b.BQBT;
    v.S_buf = b.S_buf;
    v.L = r.L;
    v.PCt = r.PCt;
    v.K = r.K;
    v.temp_mn = b.temp_mn;
    v.temp_nm = b.temp_mn;
    v.I_minus_KC = b.I_minus_KC;
    v.K_prev = b.K_prev;
    return v;
}

// A settled period's states, as the tail hands them on, onto its state row.
class StateRowRecorder final : public velm_tail::TailPeriods {
  public:
    StateRowRecorder(const Tape& tape, i64 s, const FilterBlocks& v, i64 n, i64 m)
        : tape_(tape), s_(s), v_(v), n_(n), m_(m) {}
    void period(i64 t) override {
        const TapeRow r = tape_.state_row(s_, t);
        kf_copy(r.x_pred, v_.x_pred_buf, n_);
        kf_copy(r.x_filt, v_.x_filt_buf, n_);
        kf_copy(r.v, v_.v_buf, m_);
        kf_copy(r.S_inv_v, v_.S_inv_v, m_);
    }

  private:
    const Tape& tape_;
    i64 s_;
    const FilterBlocks& v_;
    i64 n_, m_;
};

// The periods after the settle period s, as kf_hot_loop runs them (its settled tail): L and K
// stay those of period s (row frozen), and each period records its states on its state row.
// Returns the log-likelihood with the periods' terms added.
f64 score_forward_settled(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& frozen,
                          const Tape& tape, i64 s, f64 total) {
    const i64 n = md.n, m = md.m;
    // the tail's state vectors: the reverse sweep's, free until it starts, and a solve's own
    TapeRow vectors{};
    vectors.x_pred = b.x_bar;
    vectors.x_filt = b.x_filt_bar;
    vectors.v = b.v_bar;
    vectors.S_inv_v = b.solve_b;
    const FilterBlocks v = score_period_view(b, vectors);
    // x_pred = A x_filt  (period s + 1)
    velm_matvec(md.A, frozen.x_filt, v.x_pred_buf, n, n);
    const velm_tail::SettledModel tail_model{n, m, md.A, md.C, md.d, md.y, frozen.K, frozen.L};
    StateRowRecorder recorder(tape, s, v, n, m);
    return velm_tail::settled_tail(tail_model, b.tail, v, s + 1, md.T, total, &recorder);
}

// A rank-m step of the low-rank route from period t (row `from`) to t + 1 (row `to`): the
// period's S (in b.S_buf), L, K, P C' and P_pred go to row t + 1 and are stepped there, as
// kf_hot_loop steps them with its histories. False when the step failed.
bool score_route_step(const FilterModel& fm, const f64* C, ScoreBlocks& b, const TapeRow& from,
                      const TapeRow& to, SettleWatch* watch, bool* arrived) {
    const i64 n = fm.n, m = fm.m;
    kf_copy(to.P_pred, from.P_pred, n * n);
    kf_copy(to.PCt, from.PCt, n * m);
    kf_copy(to.K, from.K, n * m);
    kf_copy(to.L, from.L, m * m);
    return velm_chandrasekhar::low_rank_advance(fm, C, score_period_view(b, to), &b.lr, true,
                                                watch, arrived);
}

constexpr i64 kScoreRouteFailed = -1;

// The periods of kf_hot_loop through its own steps, each recorded on its tape row; the
// prediction of period t goes straight into row t + 1 and is skipped after the last period,
// which nothing reads. When the settle rule holds at period t (rows t - 1 and t) and the
// sensitivity has forgotten its start (score_forgot), period t is the settle period: *settle = t,
// nothing more is predicted, and the later periods run on state rows. *settle = T when the
// covariances never settle. The settle test's scratch is reverse-sweep scratch, unused until
// then. With allow_route, a complete sample takes kf_hot_loop's low-rank route where it does
// (a stationary start): the covariances of every row come from its rank-m steps, P_filt in the
// standard form, which is the Joseph form's value wherever the route is taken. The reverse sweep
// is the full recursion's at those points. Returns the number of periods finished: T, or the
// period whose innovation covariance could not be factorised; kScoreRouteFailed when a step of
// the route failed (kf_hot_loop then runs the full recursion, and so must the score). *routed:
// whether the periods after period 0 came from the route.
i64 score_forward(const ScoreModel& md, ScoreBlocks& b, const Tape& tape, f64* loglik, i64* settle,
                  bool allow_route, bool* routed) {
    const i64 n = md.n, m = md.m;
    const FilterModel fm = score_filter_model(md);
    const f64 const_term = static_cast<f64>(m) * velm_steps::kf_log_two_pi;
    f64 total = 0.0;
    *settle = md.T;
    // Pi = I, formed once the covariances have arrived; once forgotten, no longer needed
    velm_zero_mat(b.KC, n, n);
    for (i64 i = 0; i < n; ++i) b.KC[i * n + i] = 1.0;
    bool pi_formed = false, forgotten = false;
    const bool complete = !velm_missing::sample_has_missing(md.y, md.T, md.m);
    const bool may_settle = score_may_settle(md) && complete;
    const bool try_route = allow_route && complete && md.T > 2 &&
                           velm_chandrasekhar::low_rank_pays(n, m) &&
                           velm_chandrasekhar::low_rank_carries(fm);
    bool on_route = false, route_arrived = false;
    SettleWatch watch(n, m);
    // P0 is taken as given; every later P_pred is exactly symmetric when symmetrised
    bool P_pred_symmetric =
        md.symmetrize && velm_steps::kf_is_symmetric(tape.row(0).P_pred, n);
    for (i64 t = 0; t < md.T; ++t) {
        const TapeRow r = tape.row(t);
        FilterBlocks v = score_period_view(b, r);
        const velm_missing::Selection s =
            velm_missing::select_rows(md.C, md.d, md.R, md.y, t, n, m, b.sel);
        // y_pred = C_t x_pred + d_t  (m_t)
        velm_matvec_plus_vec(s.C, r.x_pred, s.d, v.y_pred_buf, s.m, n);
        if (on_route) {
            // S, L, K, P C' and P_pred came with the row from the rank-m step
            velm_steps::kf_update_settled(fm, t, v);
            score_plain_filtered_cov(md, r, m, true, v.P_filt_buf);
            total = velm_steps::kf_add_loglik(total, const_term, v, m);
        } else if (s.m == 0) {
            // nothing observed: x_filt = x_pred, P_filt = sym?(P_pred)
            kf_copy(r.x_filt, r.x_pred, n);
            score_plain_filtered_cov(md, r, 0, false, v.P_filt_buf);
        } else if (!velm_steps::kf_update(velm_missing::period_model(fm, s), s.C, s.y_row,
                                          P_pred_symmetric, v)) {
            *loglik = total;
            return t;
        } else {
            const f64 period_const =
                s.full ? const_term : static_cast<f64>(s.m) * velm_steps::kf_log_two_pi;
            total = velm_steps::kf_add_loglik(total, period_const, v, s.m);
        }
        if (t + 1 == md.T) break;
        if (may_settle && t > 0) {
            bool arrived = route_arrived;
            if (on_route) {
                velm_settle::settle_inverse_scales(r.P_pred, n, b.x_bar);
            } else {
                const TapeRow prev = tape.row(t - 1);
                arrived = watch.settled(SettlePeriods{n, m, md.C, prev.P_pred, r.P_pred, prev.K,
                                                      r.K, b.S_buf, b.x_bar, b.P_bar, b.temp_nm});
            }
            // 1 / sqrt(P_ii) of this period is in x_bar
            if (!forgotten && pi_formed) {
                score_advance_pi(md, b, r.K);
                forgotten = score_forgot(b, b.x_bar, n);
            } else if (!forgotten && arrived) {
                pi_formed = true;
                forgotten = score_replay_pi(md, b, tape, t);
            }
            if (arrived && forgotten) {
                *settle = t;
                *loglik = score_forward_settled(md, b, r, tape, t, total);
                *routed = on_route;
                return md.T;
            }
        }
        // x_pred, P_pred of the next period, on its row
        const TapeRow next = tape.row(t + 1);
        if (on_route) {
            velm_matvec(md.A, r.x_filt, next.x_pred, n, n);
            if (!score_route_step(fm, md.C, b, r, next, &watch, &route_arrived)) {
                return kScoreRouteFailed;
            }
            continue;
        }
        v.x_pred_buf = next.x_pred;
        v.P_pred_buf = next.P_pred;
        velm_steps::kf_predict(fm, v);
        P_pred_symmetric = md.symmetrize;
        if (t == 0 && try_route && velm_chandrasekhar::low_rank_start(fm, r.P_pred, v, &b.lr,
                                                                      watch)) {
            // period 1 from period 0 by the first rank-m step
            on_route = true;
            if (!score_route_step(fm, md.C, b, r, next, &watch, &route_arrived)) {
                return kScoreRouteFailed;
            }
        }
    }
    *loglik = total;
    *routed = on_route;
    return md.T;
}

// P_filt of period t: from its row, or, on a tape that does not keep it, formed again into
// b.P_filt by the step that formed it in score_forward (score_plain_filtered_cov on the route and
// where nothing is observed, kf_update's otherwise) from the same operands, so to the same bits:
// Z P_pred is PCt' where P_pred is symmetric, as kf_update took it.
const f64* score_filtered_cov(const ScoreModel& md, const ScoreBlocks& b,
                              const velm_missing::Selection& s, const TapeRow& r, bool routed,
                              bool P_pred_symmetric) {
    const i64 n = md.n;
    if (r.P_filt) return r.P_filt;
    if (routed || s.m == 0) {
        score_plain_filtered_cov(md, r, s.m, routed, b.P_filt);
        return b.P_filt;
    }
    if (P_pred_symmetric) velm_steps::kf_transpose(r.PCt, b.temp_mn, n, s.m);
    else velm_matmul(s.C, r.P_pred, b.temp_mn, s.m, n, n);
    const FilterModel fm = velm_missing::period_model(score_filter_model(md), s);
    velm_steps::kf_filtered_cov(fm, s.C, P_pred_symmetric, score_period_view(b, r));
    return b.P_filt;
}

// ---- reverse sweep, one forward step at a time, last step first ---------------------------------

// State prediction x+ = A x_filt, given x_bar = x+_bar (velm_adjoint::predict_state).
void reverse_predict_state(const ScoreModel& md, const ScoreBlocks& b, const f64* x_filt,
                           f64* A_bar) {
    velm_adjoint::predict_state(md.A, x_filt, b.x_bar, b.x_filt_bar, A_bar, md.n);
}

// Prediction x+ = A x_filt, P+ = sym?(A P_filt A' + BQBT), given x_bar = x+_bar, P_bar = P+_bar:
//   A_bar += (P+_bar A) P_filt' + P+_bar' (A P_filt) + x+_bar x_filt',   BQBT_bar += P+_bar,
//   P_filt_bar = A' (P+_bar A),   x_filt_bar = A' x+_bar.
// Symmetrised, P+_bar and P_filt are exactly symmetric: the two products of A_bar agree, which
// saves two of the five n x n products, and P_filt_bar is symmetric, so only its lower triangle
// is computed (from b.At = A') and mirrored.
void reverse_predict(const ScoreModel& md, const ScoreBlocks& b, const f64* x_filt,
                     const f64* P_filt, f64* A_bar) {
    const i64 n = md.n;
    if (md.symmetrize) velm_sym_inplace(b.P_bar, n);
    kf_add(b.BQBT_bar, b.P_bar, n * n);
    // temp_nn = P+_bar A
    velm_matmul(b.P_bar, md.A, b.temp_nn, n, n, n);
    if (md.symmetrize) {
        velm_sym::plus_product(b.At, b.temp_nn, nullptr, b.P_filt_bar, n, n);
        // A_bar += 2 (P+_bar A) P_filt
        velm_matmul(b.temp_nn, P_filt, b.temp_nn2, n, n, n);
        for (i64 i = 0; i < n * n; ++i) A_bar[i] += 2.0 * b.temp_nn2[i];
    } else {
        velm_matmul_atb(md.A, b.temp_nn, b.P_filt_bar, n, n, n);
        velm_adjoint::add_abt(b.temp_nn, P_filt, b.temp_nn2, A_bar, n, n, n);
        // temp_nn = A P_filt
        velm_matmul(md.A, P_filt, b.temp_nn, n, n, n);
        velm_adjoint::add_atb(b.P_bar, b.temp_nn, b.temp_nn2, A_bar, n, n, n);
    }
    reverse_predict_state(md, b, x_filt, A_bar);
}

// Standard form P_filt = P_pred - K PCt':
//   P_bar = P_filt_bar,   K_bar = -P_filt_bar PCt,   PCt_bar = -P_filt_bar' K.
void reverse_simple_cov(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r) {
    const i64 n = md.n, m = md.m;
    kf_copy(b.P_bar, b.P_filt_bar, n * n);
    velm_matmul(b.P_filt_bar, r.PCt, b.K_bar, n, n, m);
    velm_matmul_atb(b.P_filt_bar, r.K, b.PCt_bar, n, n, m);
    for (i64 i = 0; i < n * m; ++i) {
        b.K_bar[i] = -b.K_bar[i];
        b.PCt_bar[i] = -b.PCt_bar[i];
    }
}

// Joseph form P_filt = W P_pred W' + K R K' with W = I - K C (F = P_filt_bar):
//   W_bar = F W P_pred' + F' W P_pred,   P_bar = W' F W,   R_bar += K' F K,
//   K_bar = F K R' + F' K R - W_bar C',   C_bar -= K' W_bar,   PCt_bar = 0.
void reverse_joseph_cov(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r,
                        f64* C_bar, f64* R_bar) {
    const i64 n = md.n, m = md.m;
    const f64* F = b.P_filt_bar;
    // W = I - K C
    velm_matmul(r.K, md.C, b.KC, n, m, n);
    kf_identity_minus(b.KC, b.I_minus_KC, n);
    const f64* W = b.I_minus_KC;
    if (md.symmetrize) {
        // F is exactly symmetric: W_bar = F W (P_pred' + P_pred), two products instead of four
        for (i64 i = 0; i < n; ++i) {
            for (i64 j = 0; j < n; ++j) {
                b.temp_nn2[i * n + j] = r.P_pred[i * n + j] + r.P_pred[j * n + i];
            }
        }
        velm_matmul(W, b.temp_nn2, b.temp_nn, n, n, n);
        velm_matmul(F, b.temp_nn, b.W_bar, n, n, n);
    } else {
        // W_bar = F (W P_pred') + F' (W P_pred)
        velm_matmul_abt(W, r.P_pred, b.temp_nn, n, n, n);
        velm_matmul(F, b.temp_nn, b.W_bar, n, n, n);
        velm_matmul(W, r.P_pred, b.temp_nn, n, n, n);
        velm_adjoint::add_atb(F, b.temp_nn, b.temp_nn2, b.W_bar, n, n, n);
    }
    // P_bar = (W' F) W
    velm_matmul_atb(W, F, b.temp_nn, n, n, n);
    velm_matmul(b.temp_nn, W, b.P_bar, n, n, n);
    // K_bar = F (K R') + F' (K R) - W_bar C'
    velm_matmul_abt(r.K, md.R, b.temp_nm, n, m, m);
    velm_matmul(F, b.temp_nm, b.K_bar, n, n, m);
    velm_matmul(r.K, md.R, b.temp_nm, n, m, m);
    velm_adjoint::add_atb(F, b.temp_nm, b.temp_nm2, b.K_bar, n, n, m);
    velm_matmul_abt(b.W_bar, md.C, b.temp_nm, n, n, m);
    velm_adjoint::sub(b.K_bar, b.temp_nm, n * m);
    // R_bar += (K' F) K
    velm_matmul_atb(r.K, F, b.temp_mn, n, m, n);
    velm_matmul(b.temp_mn, r.K, b.temp_mm, m, n, m);
    kf_add(R_bar, b.temp_mm, m * m);
    // C_bar -= K' W_bar
    velm_matmul_atb(r.K, b.W_bar, b.temp_mn, n, m, n);
    velm_adjoint::sub(C_bar, b.temp_mn, m * n);
    velm_zero_mat(b.PCt_bar, n, m);
}

// State update x_filt = x_pred + K v and the quadratic term of loglik_t
// (velm_adjoint::state_update).
void reverse_state_update(const ScoreModel& md, const ScoreBlocks& b, const f64* K, const f64* v,
                          const f64* S_inv_v) {
    velm_adjoint::state_update(K, v, S_inv_v, b.x_filt_bar, b.x_bar, b.K_bar, b.v_bar, md.n,
                               md.m);
}

// Update of period t back to the innovation covariance, given K_bar, PCt_bar and x_filt_bar.
// With S~ = mirror(lower(sym?(S))) + jitter I the matrix the factor describes, w = S~^-1 v and
// loglik_t = -1/2 (ln det S~ + v' w + m ln 2 pi):
//   x_filt = x_pred + K v      x_bar = x_filt_bar,  K_bar += x_filt_bar v',  v_bar = K' x_filt_bar
//   loglik_t                   v_bar -= w,  S~_bar = -1/2 S~^-1 + 1/2 w w'
//   K = PCt S~^-1              PCt_bar += K_bar S~^-1,  S~_bar -= K' K_bar S~^-1  (S~^-1 PCt' = K')
//   lower triangle, mirrored   S_bar(i, j) = S~_bar(i, j) + S~_bar(j, i) below the diagonal,
//                              S~_bar(i, i) on it, 0 above; then sym? again
// At the settle period s, K_bar already holds the adjoints of K from the tail periods after s,
// and S~_bar takes theirs too: tail times -1/2 S~^-1, plus S_tail_bar.
void reverse_gain(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r, i64 tail) {
    const i64 n = md.n, m = md.m;
    reverse_state_update(md, b, r.K, r.v, r.S_inv_v);
    // log-likelihood terms; temp_mm holds S~_bar
    kf_gain_from_pc_t(r.L, b.eye_m, b.solve_f, b.solve_b, b.S_inv, m, m);
    velm_adjoint::loglik_term(b.S_inv, r.S_inv_v, static_cast<f64>(1 + tail), b.temp_mm, m);
    if (tail > 0) kf_add(b.temp_mm, b.S_tail_bar, m * m);
    // gain: temp_nm = K_bar S~^-1
    velm_matmul(b.K_bar, b.S_inv, b.temp_nm, n, m, m);
    kf_add(b.PCt_bar, b.temp_nm, n * m);
    velm_matmul_atb(r.K, b.temp_nm, b.S_bar, n, m, m);
    velm_adjoint::sub(b.temp_mm, b.S_bar, m * m);
    velm_adjoint::fold_lower(b.temp_mm, b.S_bar, md.symmetrize, m);
}

// Innovation v = y[t] - C x_pred - d, given v_bar (velm_adjoint::innovation); x_filt_bar is
// spent and serves as scratch.
void reverse_innovation(const ScoreModel& md, const ScoreBlocks& b, const f64* x_pred,
                        const kf_grad_outputs* out) {
    velm_adjoint::innovation(md.C, x_pred, b.v_bar, b.x_filt_bar, b.x_bar, out->C_bar,
                             out->d_bar, md.n, md.m);
}

// The state rows of the periods after the settle period s, for the tail's reverse sweep.
class StateRows final : public velm_tail::TailRecords {
  public:
    StateRows(const Tape& tape, i64 s) : tape_(tape), s_(s) {}
    velm_tail::TailRecord record(i64 t) const override {
        const TapeRow r = tape_.state_row(s_, t);
        return {r.x_pred, r.x_filt, r.v, r.S_inv_v};
    }

  private:
    const Tape& tape_;
    i64 s_;
};

// The measurement steps of period t, given S_bar, PCt_bar and v_bar:
//   S = C P_pred C' + R        R_bar += S_bar,  C_bar += S_bar C P_pred' + S_bar' C P_pred,
//                              P_bar += C' S_bar C
//   PCt = P_pred C'            P_bar += PCt_bar C,  C_bar += PCt_bar' P_pred
//   v = y[t] - C x_pred - d    d_bar -= v_bar,  C_bar -= v_bar x_pred',  x_bar -= C' v_bar
// The two terms of P_bar share their right factor: P_bar += (C' S_bar + PCt_bar) C. With P_pred
// exactly symmetric (P_symmetric) so do the three of C_bar:
// C_bar += ((S_bar + S_bar') C + PCt_bar') P_pred.
void reverse_measurement(const ScoreModel& md, const ScoreBlocks& b, const TapeRow& r,
                         bool P_symmetric, const kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m;
    kf_add(out->R_bar, b.S_bar, m * m);
    // temp_nm (n x m) = C' S_bar + PCt_bar,  P_bar += temp_nm C
    velm_matmul_atb(md.C, b.S_bar, b.temp_nm, m, n, m);
    kf_add(b.temp_nm, b.PCt_bar, n * m);
    velm_matmul(b.temp_nm, md.C, b.temp_nn, n, m, n);
    kf_add(b.P_bar, b.temp_nn, n * n);
    if (P_symmetric) {
        // temp_nm (m x n) = (S_bar + S_bar') C + PCt_bar',  C_bar += temp_nm P_pred
        for (i64 i = 0; i < m; ++i) {
            for (i64 j = 0; j < m; ++j) {
                b.temp_mm[i * m + j] = b.S_bar[i * m + j] + b.S_bar[j * m + i];
            }
        }
        velm_matmul(b.temp_mm, md.C, b.temp_nm, m, m, n);
        for (i64 i = 0; i < m; ++i) {
            for (i64 j = 0; j < n; ++j) b.temp_nm[i * n + j] += b.PCt_bar[j * m + i];
        }
        velm_matmul(b.temp_nm, r.P_pred, b.temp_nm2, m, n, n);
        kf_add(out->C_bar, b.temp_nm2, m * n);
    } else {
        velm_matmul_abt(md.C, r.P_pred, b.temp_nm, m, n, n);
        velm_matmul(b.S_bar, b.temp_nm, b.temp_nm2, m, m, n);
        kf_add(out->C_bar, b.temp_nm2, m * n);
        velm_matmul(md.C, r.P_pred, b.temp_nm, m, n, n);
        velm_adjoint::add_atb(b.S_bar, b.temp_nm, b.temp_nm2, out->C_bar, m, m, n);
        velm_adjoint::add_atb(b.PCt_bar, r.P_pred, b.temp_nm, out->C_bar, n, m, n);
    }
    reverse_innovation(md, b, r.x_pred, out);
}

// BQBT = sym(B Q B') with G = sym(BQBT_bar):  B_bar = G B (Q' + Q),  Q_bar = B' G B.
void reverse_process_noise(const ScoreModel& md, const ScoreBlocks& b,
                           const kf_grad_outputs* out) {
    const i64 n = md.n, k = md.k;
    velm_sym_inplace(b.BQBT_bar, n);
    // temp_nk = G B
    velm_matmul(b.BQBT_bar, md.B, b.temp_nk, n, n, k);
    velm_matmul_abt(b.temp_nk, md.Q, out->B_bar, n, k, k);
    velm_matmul(b.temp_nk, md.Q, b.temp_nk2, n, k, k);
    kf_add(out->B_bar, b.temp_nk2, n * k);
    velm_matmul_atb(md.B, b.temp_nk, out->Q_bar, n, k, k);
}

// Adds the adjoints of a partly observed period's C_t, d_t and R_t into the rows (and columns)
// of the observables y_row has.
void score_scatter_rows(const ScoreBlocks& b, const f64* y_row, i64 n, i64 m,
                        const kf_grad_outputs* out) {
    const i64 count = velm_missing::observed_count(y_row, m);
    i64 row = 0;
    for (i64 i = 0; i < m; ++i) {
        if (!velm_missing::observed(y_row[i])) continue;
        kf_add(out->C_bar + i * n, b.C_bar_sel + row * n, n);
        out->d_bar[i] += b.d_bar_sel[row];
        i64 col = 0;
        for (i64 j = 0; j < m; ++j) {
            if (!velm_missing::observed(y_row[j])) continue;
            out->R_bar[i * m + j] += b.R_bar_sel[row * count + col++];
        }
        ++row;
    }
}

}  // namespace

arena_size kf_loglik_grad_arena_size(const i64 n, const i64 m, const i64 k, const i64 T) {
    ArenaCarver counter = ArenaCarver::counting();
    Tape tape{};
    score_arena_carve(counter, n, m, k, T, &tape);
    return counter.size();
}

// 1. Zero the gradients, build B Q B' and run the forward pass onto the tape (a failure ends here).
// 2. Sweep the periods from the last to the first: prediction, filtered covariance, gain and
//    measurement adjoints, carrying x_bar and P_bar back to the prior of the period before. The
//    periods after a settle period s carry only x_bar, and gather K_bar and S~_bar for period s.
//    At s the predicted covariance was dropped, so P_filt_bar = 0: its covariance step gives
//    P_bar = 0, PCt_bar = 0 and adds nothing to K_bar, C_bar or R_bar, and is skipped.
// 3. x0_bar and P0_bar are the adjoints of period 0's prior; B Q B' gives B_bar and Q_bar last,
//    once every period has added to its adjoint.
int kf_loglik_grad(const kf_inputs* in, f64* arena, kf_grad_outputs* out) {
    const ScoreModel md{in->n, in->m, in->k, in->T, in->A, in->B, in->C, in->d, in->Q, in->R,
                        in->y, in->jitter, in->symmetrize != 0, in->joseph_cov != 0,
                        velm_steps::kf_is_symmetric(in->R, in->m)};
    const i64 n = md.n, m = md.m, k = md.k;
    ArenaCarver carver{arena};
    Tape tape{};
    ScoreBlocks b = score_arena_carve(carver, n, m, k, md.T, &tape);
    velm_adjoint::zero_gradients(out, n, m, k);
    *out->loglik = 0.0;
    if (md.T <= 0) return KF_OK;

    // B Q B'  (n x n); the prior is the prediction of period 0, used as given
    kf_build_bqbt(md.B, md.Q, b.temp_nk, b.BQBT, n, k);
    const TapeRow first = tape.row(0);
    kf_copy(first.x_pred, in->x0, n);
    kf_copy(first.P_pred, in->P0, n * n);
    i64 settle = md.T;
    bool routed = false;
    i64 finished = score_forward(md, b, tape, out->loglik, &settle, true, &routed);
    if (finished == kScoreRouteFailed) {
        finished = score_forward(md, b, tape, out->loglik, &settle, false, &routed);
    }
    if (finished < md.T) return KF_ERR_CHOLESKY;

    velm_zero_mat(b.eye_m, m, m);
    for (i64 i = 0; i < m; ++i) b.eye_m[i * m + i] = 1.0;
    velm_zero_mat(b.BQBT_bar, n, n);
    velm_zero_mat(b.K_bar, n, m);
    velm_zero_mat(b.S_tail_bar, m, m);
    if (md.symmetrize) velm_steps::kf_transpose(md.A, b.At, n, n);
    i64 tail = 0;
    if (settle < md.T) {
        // the periods after s reuse L and K of s; they add to K_bar and, by S~_bar = -1/2 S~^-1
        // + 1/2 w w', to S~_bar of s: the w w' halves in S_tail_bar, the S~^-1 halves counted
        // and added by reverse_gain at s
        const TapeRow frozen = tape.row(settle);
        const velm_tail::SettledModel tail_model{n, m, md.A, md.C, md.d, md.y, frozen.K,
                                                 frozen.L};
        velm_tail::settled_tail_adjoint(
            tail_model, b.tail, b.tail_adjoint, StateRows(tape, settle), settle + 1, md.T,
            {b.x_bar, out->A_bar, b.K_bar, out->C_bar, out->d_bar, b.S_tail_bar});
        tail = md.T - 1 - settle;
    }
    // With the optimal gain (symmetrised, no jitter, a symmetric R) the Joseph form is the
    // standard form as a function of a symmetric P_pred, so the standard form's cheaper adjoint
    // serves. Every P_pred but P0 is symmetrised, and so moves only symmetrically; P0, taken as
    // given, may move either way and keeps the Joseph adjoint.
    const bool optimal_gain = md.joseph_cov && score_may_settle(md);
    const bool P0_symmetric = velm_steps::kf_is_symmetric(in->P0, n);
    i64 eye_order = m;  // the order of the identity in eye_m
    for (i64 t = settle < md.T ? settle : md.T - 1; t >= 0; --t) {
        const TapeRow r = tape.row(t);
        const velm_missing::Selection s =
            velm_missing::select_rows(md.C, md.d, md.R, md.y, t, n, m, b.sel);
        // the period's model and where its adjoints of C, d and R go
        ScoreModel mt = md;
        kf_grad_outputs pout = *out;
        if (!s.full) {
            mt.m = s.m;
            mt.C = s.C;
            mt.d = s.d;
            mt.R = s.R;
            pout.C_bar = b.C_bar_sel;
            pout.d_bar = b.d_bar_sel;
            pout.R_bar = b.R_bar_sel;
            velm_zero_mat(b.C_bar_sel, s.m, n);
            velm_zero_mat(b.d_bar_sel, s.m, 1);
            velm_zero_mat(b.R_bar_sel, s.m, s.m);
        }
        if (eye_order != s.m) {
            eye_order = s.m;
            velm_zero_mat(b.eye_m, s.m, s.m);
            for (i64 i = 0; i < s.m; ++i) b.eye_m[i * s.m + i] = 1.0;
        }
        if (t == settle) {
            // the covariance step, with P_filt_bar = 0, is skipped
            reverse_predict_state(md, b, r.x_filt, out->A_bar);
            velm_zero_mat(b.P_bar, n, n);
            velm_zero_mat(b.PCt_bar, n, m);
        } else {
            if (t + 1 < md.T) {
                const f64* P_filt = score_filtered_cov(md, b, s, r, routed && t > 0,
                                                       md.symmetrize && (t > 0 || P0_symmetric));
                reverse_predict(md, b, r.x_filt, P_filt, out->A_bar);
            } else {
                velm_zero_mat(b.P_filt_bar, n, n);  // the last period's prediction is never read
                velm_zero_mat(b.x_filt_bar, n, 1);
            }
            // symmetrised, P_filt = sym(.) passes P_filt_bar on as it is: reverse_predict has
            // made it exactly symmetric
            if (s.m == 0) {
                // x_filt = x_pred, P_filt = sym?(P_pred): the adjoints pass through
                kf_copy(b.x_bar, b.x_filt_bar, n);
                kf_copy(b.P_bar, b.P_filt_bar, n * n);
                continue;
            }
            if (md.joseph_cov && !(t > 0 && optimal_gain)) {
                reverse_joseph_cov(mt, b, r, pout.C_bar, pout.R_bar);
            } else {
                reverse_simple_cov(mt, b, r);
            }
        }
        reverse_gain(mt, b, r, t == settle ? tail : 0);
        // every P_pred after P0 is symmetrised; P0 is as given
        reverse_measurement(mt, b, r, t > 0 ? md.symmetrize : P0_symmetric, &pout);
        if (!s.full) score_scatter_rows(b, md.y + t * m, n, m, out);
    }
    kf_copy(out->x0_bar, b.x_bar, n);
    kf_copy(out->P0_bar, b.P_bar, n * n);
    reverse_process_noise(md, b, out);
    return KF_OK;
}
