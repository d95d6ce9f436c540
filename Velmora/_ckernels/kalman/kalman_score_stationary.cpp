// Score of the linear filter started from its stationary covariance, P0 = P(A, B, Q) with
// P = A P A' + B Q B': the log-likelihood and its total gradient, through the start as well.
//
// From such a start every change of the predicted covariance has rank m, and stays rank m as
// (A, B, Q, C, R) move, since P0 moves with them: P_pred(1) - P0 = -(A P0 C') S_0^-1 (A P0 C')'
// whatever the parameters. So the log-likelihood, as a function of the parameters, is the one the
// Chandrasekhar recursions compute (kalman_chandrasekhar.cpp), in which P0 enters only through
// S_0 = C P0 C' + R, P0 C' and W_0 = A P0 C', and B and Q only through P0. Its reverse sweep runs
// on the m-column quantities (W, M, P C', K, S) in O(n^2 m) per period, then hands the adjoint of
// P0 to the stationary covariance's adjoint, solved once with P0 as given
// (velm_stationary::adjoint_given, as kf_stationary_covariance_grad solves it). kf_loglik_grad,
// whose partial derivatives hold P0 fixed, cannot take this route: a change of A, B or Q alone
// leaves P0 off the fixed point of the new model, and the change of the covariance has full rank.
//
// The forward pass is the filter's own on that route: its update of period 0, its test that the
// first change has rank m to rounding, its rank-m steps and its settle rule, so the
// log-likelihood is kf_hot_loop's for the same P0, up to rounding. A sample the route cannot take
// (the test fails, a factor fails on the route, missing observations, the Joseph form with a
// jittered gain, which the rank-m steps do not carry, or without symmetrisation, whose covariance
// sees the part of R the innovation covariance does not) runs
// kf_loglik_grad instead, and its P0 adjoint goes through the same stationary adjoint.
//
// The forward recursions from period u to u + 1, with CW = C W_u and G = M_u (C W_u)' (m x m):
//   S_{u+1}   = sym?(S_u + CW G)          PCt_{u+1} = PCt_u + W_u G
//   K_{u+1}   = PCt_{u+1} S~_{u+1}^-1     W_{u+1}   = A (W_u - K_u CW)
//   M_{u+1}   = sym(M_u - G S~_{u+1}^-1 G')
// S~ = mirror(lower(S)) + jitter I is the matrix the factor describes. Their adjoints, with
// H = G S~_{u+1}^-1, Z = W_u - K_u CW and Mb = sym(M_bar_{u+1}):
//   S~_bar_{u+1} += H' Mb H,   M_bar_u = Mb + G_bar CW,   G_bar = -2 Mb H + CW' S_bar + W_u' PCt_bar
//   CW_bar = S_bar G' - K_u' A' W_bar + G_bar' M_u,   K_bar_u = -(A' W_bar) CW'
//   W_bar_u = PCt_bar G' + A' W_bar_{u+1} + C' CW_bar,   A_bar += W_bar_{u+1} Z',  C_bar += CW_bar W_u'
// where S_bar is the adjoint of S_u + CW G and PCt_bar that of PCt_{u+1}, which PCt_u inherits.
#include <utility>

#include "_common/velm_linalg.h"
#include "kalman/kalman.h"
#include "kalman/kalman_adjoint.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_missing.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_stationary_grad.h"
#include "kalman/kalman_steps.h"
#include "kalman/kalman_tail.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_chandrasekhar::LowRankBlocks;
using velm_settle::SettleWatch;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;
using velm_steps::kf_add;
using velm_steps::kf_copy;

namespace {

// What the reverse sweep reads of period t. The rank-m quantities (K, L, W, M) are those of the
// periods through the settle period s; later periods reuse K and L of s.
struct RouteRow {
    f64* x_pred;   // n
    f64* x_filt;   // n
    f64* v;        // innovation (m)
    f64* S_inv_v;  // (m)
    f64* K;        // gain (n x m)
    f64* L;        // lower Cholesky factor of S + jitter I (m x m)
    f64* W;        // the change of P_pred to the next period is W M W' (n x m)
    f64* M;        // (m x m)
};

// A period's states (x_pred, x_filt, v, S_inv_v), and its gain quantities (K, L, W, M).
void carve_states(ArenaCarver& carver, i64 n, i64 m, RouteRow* r) {
    const Cells N = n, M = m;
    r->x_pred = carver.take(N);
    r->x_filt = carver.take(N);
    r->v = carver.take(M);
    r->S_inv_v = carver.take(M);
}

void carve_gains(ArenaCarver& carver, i64 n, i64 m, RouteRow* r) {
    const Cells N = n, M = m;
    r->K = carver.take(N * M);
    r->L = carver.take(M * M);
    r->W = carver.take(N * M);
    r->M = carver.take(M * M);
}

template <class Carve>
Cells cells_of(Carve carve, i64 n, i64 m) {
    ArenaCarver counter = ArenaCarver::counting();
    RouteRow unused{};
    carve(counter, n, m, &unused);
    return counter.taken();
}

// The tape: each period's states on one row, and its gain quantities on a row of their own,
// written only through the settle period, so that the rows of a sample that settles early are
// never touched (an arena this large comes fresh from the system, every page zeroed on first use).
struct Tape {
    f64* states;  // T rows of states
    f64* gains;   // T rows of gain quantities
    i64 n, m;

    RouteRow row(i64 t) const {
        RouteRow r{};
        ArenaCarver state_row{states + t * cells_of(carve_states, n, m).count()};
        carve_states(state_row, n, m, &r);
        ArenaCarver gain_row{gains + t * cells_of(carve_gains, n, m).count()};
        carve_gains(gain_row, n, m, &r);
        return r;
    }
};

Tape tape_carve(ArenaCarver& carver, i64 n, i64 m, i64 T) {
    const Cells rows = T > 0 ? T : 0;
    Tape tape{nullptr, nullptr, n, m};
    tape.states = carver.take(rows * cells_of(carve_states, n, m));
    tape.gains = carver.take(rows * cells_of(carve_gains, n, m));
    return tape;
}

// Scratch of the reverse sweep.
struct AdjointBlocks {
    f64* x_bar;       // adjoint of the predicted state (n)
    f64* x_filt_bar;  // adjoint of the filtered state (n)
    f64* temp_n;      // (n)
    f64* v_bar;       // adjoint of the innovation (m)
    f64* solve_f;     // forward vector of the solves (m)
    f64* solve_b;     // backward vector of the solves (m)
    f64* K_bar;       // adjoint of the period's gain (n x m)
    f64* PCt_bar;     // adjoint of P_pred C' (n x m)
    f64* W_bar;       // adjoint of the period's W (n x m)
    f64* W_bar_next;  // adjoint of the next period's W (n x m)
    f64* Z;           // W - K C W (n x m)
    f64* Z_bar;       // A' W_bar (n x m)
    f64* temp_nm;     // (n x m)
    f64* temp_mn;     // (m x n)
    f64* temp_nn;     // (n x n)
    f64* A_t;         // A', so that A' W_bar and A' x_bar read their left operand by rows
    f64* M_bar;       // adjoint of the period's M (m x m)
    f64* S_carried;   // adjoint of the period's S from the next period's S (m x m)
    f64* St_bar;      // adjoint of the period's S~ (m x m)
    f64* S_bar;       // adjoint of S before its symmetrisation (m x m)
    f64* S_inv;       // S~^-1 (m x m)
    f64* eye_m;       // identity (m x m)
    f64* CW;          // C W (m x m)
    f64* G;           // M (C W)' (m x m)
    f64* H;           // G S~^-1 of the next period (m x m)
    f64* G_bar;       // (m x m)
    f64* CW_bar;      // (m x m)
    f64* Mb;          // sym(M_bar) of the next period (m x m)
    f64* temp_mm;     // (m x m)
    f64* S_tail_bar;  // 1/2 sum of w w' over the periods after the settle period (m x m)
    // A_bar's rank-one and rank-m terms, x_bar x_filt' of every prediction through the settle
    // period and W_bar Z' of every rank-m step, gathered as the rows of A_left and A_right and
    // summed by one product A_left' A_right whenever the chunk fills: cheaper than as many thin
    // products, and a chunk stays in cache where the whole sample's terms would not.
    f64* A_left;   // chunk_rows x n
    f64* A_right;  // chunk_rows x n
    i64 terms;     // rows in use
    i64 term_capacity;
};

// Rows of a chunk of A_bar's terms: those of term_chunk_steps rank-m steps and their
// predictions.
constexpr i64 term_chunk_steps = 16;

Cells chunk_rows(i64 m) { return Cells(term_chunk_steps) * (Cells(m) + 1); }

AdjointBlocks adjoint_carve(ArenaCarver& carver, i64 n, i64 m) {
    const Cells N = n, M = m;
    AdjointBlocks a{};
    a.x_bar = carver.take(N);
    a.x_filt_bar = carver.take(N);
    a.temp_n = carver.take(N);
    a.v_bar = carver.take(M);
    a.solve_f = carver.take(M);
    a.solve_b = carver.take(M);
    for (f64** block : {&a.K_bar, &a.PCt_bar, &a.W_bar, &a.W_bar_next, &a.Z, &a.Z_bar,
                        &a.temp_nm, &a.temp_mn}) {
        *block = carver.take(N * M);
    }
    a.temp_nn = carver.take(N * N);
    a.A_t = carver.take(N * N);
    for (f64** block : {&a.M_bar, &a.S_carried, &a.St_bar, &a.S_bar, &a.S_inv, &a.eye_m, &a.CW,
                        &a.G, &a.H, &a.G_bar, &a.CW_bar, &a.Mb, &a.temp_mm, &a.S_tail_bar}) {
        *block = carver.take(M * M);
    }
    return a;
}

struct RouteBlocks {
    FilterBlocks b;
    LowRankBlocks lr;
    AdjointBlocks a;
    velm_tail::TailBlocks tail;
    velm_tail::TailAdjointBlocks tail_adjoint;
    Tape tape;
};

RouteBlocks route_carve(ArenaCarver& carver, i64 n, i64 m, i64 k, i64 T) {
    RouteBlocks r;
    r.b = velm_steps::kf_filter_carve(carver, velm_steps::FilterKind::linear, n, m, k);
    r.lr = velm_chandrasekhar::low_rank_carve(carver, n, m);
    r.a = adjoint_carve(carver, n, m);
    r.tail = velm_tail::tail_carve(carver, n, m);
    r.tail_adjoint = velm_tail::tail_adjoint_carve(carver, n, m);
    r.a.A_left = carver.take(chunk_rows(m) * Cells(n));
    r.a.A_right = carver.take(chunk_rows(m) * Cells(n));
    r.tape = tape_carve(carver, n, m, T);
    return r;
}

// The stationary adjoint's results before they are added to the route's.
struct StartBlocks {
    f64* A_bar;  // n x n
    f64* B_bar;  // n x k
    f64* Q_bar;  // k x k
};

StartBlocks start_carve(ArenaCarver& carver, i64 n, i64 k) {
    const Cells N = n, K = k;
    StartBlocks s;
    s.A_bar = carver.take(N * N);
    s.B_bar = carver.take(N * K);
    s.Q_bar = carver.take(K * K);
    return s;
}

// Whichever of the route, the full score and the stationary adjoint needs most: they run one
// after the other on the same cells, after the start's blocks.
i64 work_cells(i64 n, i64 m, i64 k, i64 T) {
    ArenaCarver counter = ArenaCarver::counting();
    route_carve(counter, n, m, k, T);
    i64 most = counter.taken().count();
    for (const arena_size other :
         {kf_loglik_grad_arena_size(n, m, k, T), velm_stationary::adjoint_arena_size(n, k)}) {
        if (other.n_float < 0 || most < 0) return -1;
        if (other.n_float > most) most = other.n_float;
    }
    return most;
}

// ---- forward pass -------------------------------------------------------------------------------

enum class Forward { done, off_route };

void record_states(const RouteRow& row, const FilterBlocks& b, i64 n, i64 m) {
    kf_copy(row.x_pred, b.x_pred_buf, n);
    kf_copy(row.x_filt, b.x_filt_buf, n);
    kf_copy(row.v, b.v_buf, m);
    kf_copy(row.S_inv_v, b.S_inv_v, m);
}

// The settled periods' states, handed on by the tail, onto their rows.
class StateRecorder final : public velm_tail::TailPeriods {
  public:
    StateRecorder(const Tape& tape, const FilterBlocks& b) : tape_(tape), b_(b) {}
    void period(i64 t) override { record_states(tape_.row(t), b_, tape_.n, tape_.m); }

  private:
    const Tape& tape_;
    const FilterBlocks& b_;
};

void record_gain(const RouteRow& row, const FilterBlocks& b, const LowRankBlocks& lr, i64 n,
                 i64 m) {
    kf_copy(row.K, b.K, n * m);
    kf_copy(row.L, b.L, m * m);
    kf_copy(row.W, lr.W, n * m);
    kf_copy(row.M, lr.M, m * m);
}

// The filter on the low-rank route, as kf_hot_loop runs it without histories (the settled periods
// in its settled tail), each period recorded on its row. *settle: the last period with a gain of
// its own (T - 1 when the covariances never settle).
Forward route_forward(const kf_inputs* in, const RouteBlocks& rb, LowRankBlocks* lr, f64* loglik,
                      i64* settle) {
    const i64 n = in->n, m = in->m, T = in->T;
    const FilterBlocks& b = rb.b;
    const FilterModel model = velm_steps::kf_model_of(in);
    const f64 const_term = static_cast<f64>(m) * velm_steps::kf_log_two_pi;
    velm_steps::kf_begin(in, b);
    // period 0 in full, then its full prediction for the test of the first change
    velm_matvec_plus_vec(in->C, b.x_pred_buf, in->d, b.y_pred_buf, m, n);
    const bool P0_symmetric = model.symmetrize && velm_steps::kf_is_symmetric(b.P_pred_buf, n);
    if (!velm_steps::kf_update(model, in->C, 0, P0_symmetric, b)) return Forward::off_route;
    f64 total = velm_steps::kf_add_loglik(0.0, const_term, b, m);
    const RouteRow first = rb.tape.row(0);
    record_states(first, b, n, m);
    SettleWatch watch(n, m);
    kf_copy(b.KC, b.P_pred_buf, n * n);
    kf_copy(b.K_prev, b.K, n * m);
    velm_steps::kf_predict(model, b);
    if (!velm_chandrasekhar::low_rank_start(model, b.KC, b, lr, watch)) return Forward::off_route;
    record_gain(first, b, *lr, n, m);
    bool settled = false;
    *settle = T - 1;
    for (i64 t = 0; t < T; ++t) {
        if (settled) {
            const velm_tail::SettledModel tail_model{n, m, in->A, in->C, in->d, in->y, b.K, b.L};
            StateRecorder recorder(rb.tape, b);
            total = velm_tail::settled_tail(tail_model, rb.tail, b, t, T, total, &recorder);
            break;
        }
        if (t > 0) {
            velm_matvec_plus_vec(in->C, b.x_pred_buf, in->d, b.y_pred_buf, m, n);
            velm_steps::kf_update_settled(model, t, b);
            total = velm_steps::kf_add_loglik(total, const_term, b, m);
            record_states(rb.tape.row(t), b, n, m);
        }
        if (t + 1 == T) break;
        bool arrived = false;
        if (!velm_chandrasekhar::low_rank_advance(model, in->C, b, lr, false, &watch, &arrived)) {
            return Forward::off_route;
        }
        record_gain(rb.tape.row(t + 1), b, *lr, n, m);
        if (arrived) {
            settled = true;
            *settle = t + 1;
        }
        // x_pred = A x_filt  (period 0 predicted in full above)
        if (t > 0) velm_matvec(in->A, b.x_filt_buf, b.x_pred_buf, n, n);
    }
    *loglik = total;
    return Forward::done;
}

// ---- reverse sweep ------------------------------------------------------------------------------

struct RouteModel {
    i64 n, m, T;
    const f64 *A, *C, *P0;
    bool symmetrize;
};

// A_bar += A_left' A_right over the chunk's terms, and the chunk emptied.
void flush_A_terms(AdjointBlocks& a, f64* A_bar, i64 n) {
    if (a.terms == 0) return;
    velm_adjoint::add_atb(a.A_left, a.A_right, a.temp_nn, A_bar, a.terms, n, n);
    a.terms = 0;
}

// The terms left right' (each n x width) of A_bar as the next rows of A_left and A_right.
void gather_A_terms(AdjointBlocks& a, const f64* left, const f64* right, i64 n, i64 width,
                    f64* A_bar) {
    if (a.terms + width > a.term_capacity) flush_A_terms(a, A_bar, n);
    for (i64 j = 0; j < width; ++j) {
        f64* left_row = a.A_left + (a.terms + j) * n;
        f64* right_row = a.A_right + (a.terms + j) * n;
        for (i64 i = 0; i < n; ++i) {
            left_row[i] = left[i * width + j];
            right_row[i] = right[i * width + j];
        }
    }
    a.terms += width;
}

// S~^-1 from a factor.
void inverse_from_factor(const AdjointBlocks& a, const f64* L, i64 m) {
    kf_gain_from_pc_t(L, a.eye_m, a.solve_f, a.solve_b, a.S_inv, m, m);
}

// S~_bar of a period (in St_bar) and the adjoint S_carried its S inherits from the next S, to
// the adjoint of S before its symmetrisation (S_bar).
void fold_period(const RouteModel& md, const AdjointBlocks& a) {
    velm_adjoint::fold_lower(a.St_bar, a.S_bar, false, md.m);
    kf_add(a.S_bar, a.S_carried, md.m * md.m);
    if (md.symmetrize) velm_sym_inplace(a.S_bar, md.m);
}

// The rank-m step from period u to u + 1, reversed (see the top of the file). On entry St_bar
// holds S~_bar of period u + 1 without M's share, S_inv its S~^-1, and W_bar, M_bar, S_carried,
// PCt_bar the adjoints of period u + 1; on exit W_bar, M_bar and S_carried are those of period u,
// K_bar holds the share of K_u, and PCt_bar is inherited as it is.
void reverse_step(const RouteModel& md, AdjointBlocks& a, const RouteRow& u,
                  kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m, r = m;
    // CW = C W_u, G = M_u CW', H = G S~^-1
    velm_matmul(md.C, u.W, a.CW, m, n, r);
    velm_matmul_abt(u.M, a.CW, a.G, r, r, m);
    velm_matmul(a.G, a.S_inv, a.H, r, m, m);
    // M_{u+1} = sym(M_u - G S~^-1 G'): Mb = sym(M_bar), S~_bar += H' Mb H, G_bar = -2 Mb H
    kf_copy(a.Mb, a.M_bar, r * r);
    velm_sym_inplace(a.Mb, r);
    velm_matmul(a.Mb, a.H, a.temp_mm, r, r, m);
    velm_adjoint::add_atb(a.H, a.temp_mm, a.CW_bar, a.St_bar, r, m, m);
    for (i64 i = 0; i < r * m; ++i) a.G_bar[i] = -2.0 * a.temp_mm[i];
    fold_period(md, a);
    // S_{u+1} = sym?(S_u + CW G): S_u inherits S_bar, CW_bar = S_bar G', G_bar += CW' S_bar
    kf_copy(a.S_carried, a.S_bar, m * m);
    velm_matmul_abt(a.S_bar, a.G, a.CW_bar, m, m, r);
    velm_adjoint::add_atb(a.CW, a.S_bar, a.temp_mm, a.G_bar, m, r, m);
    // PCt_{u+1} = PCt_u + W_u G: W_bar_u = PCt_bar G', G_bar += W_u' PCt_bar
    velm_matmul_abt(a.PCt_bar, a.G, a.W_bar_next, n, m, r);
    velm_adjoint::add_atb(u.W, a.PCt_bar, a.temp_mm, a.G_bar, n, r, m);
    // W_{u+1} = A Z, Z = W_u - K_u CW: A_bar += W_bar Z' (gathered), Z_bar = A' W_bar
    velm_c_minus_matmul(u.K, a.CW, u.W, a.Z, n, m, r);
    gather_A_terms(a, a.W_bar, a.Z, n, r, out->A_bar);
    velm_matmul(a.A_t, a.W_bar, a.Z_bar, n, n, r);
    kf_add(a.W_bar_next, a.Z_bar, n * r);
    //   K_bar_u = -Z_bar CW',  CW_bar -= K_u' Z_bar
    velm_matmul_abt(a.Z_bar, a.CW, a.K_bar, n, r, m);
    for (i64 i = 0; i < n * m; ++i) a.K_bar[i] = -a.K_bar[i];
    velm_matmul_atb(u.K, a.Z_bar, a.temp_mm, n, m, r);
    velm_adjoint::sub(a.CW_bar, a.temp_mm, m * r);
    // G = M_u CW': M_bar_u = Mb + G_bar CW, CW_bar += G_bar' M_u
    velm_matmul(a.G_bar, a.CW, a.M_bar, r, m, r);
    kf_add(a.M_bar, a.Mb, r * r);
    velm_adjoint::add_atb(a.G_bar, u.M, a.temp_mm, a.CW_bar, r, m, r);
    // CW = C W_u: C_bar += CW_bar W_u', W_bar_u += C' CW_bar
    velm_adjoint::add_abt(a.CW_bar, u.W, a.temp_mn, out->C_bar, m, r, n);
    velm_adjoint::add_atb(md.C, a.CW_bar, a.temp_nm, a.W_bar_next, m, n, r);
    std::swap(a.W_bar, a.W_bar_next);
}

// Period t's state steps and log-likelihood term, and its gain K = PCt S~^-1, reversed with K and
// L of row g (t itself, or the settle period for the tail); `periods` counts ln det S~ for the
// tail too. Leaves S~_bar in St_bar and S~^-1 in S_inv.
void reverse_period(const RouteModel& md, const AdjointBlocks& a, const RouteRow& row,
                    const RouteRow& g, f64 periods, kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m;
    velm_adjoint::state_update(g.K, row.v, row.S_inv_v, a.x_filt_bar, a.x_bar, a.K_bar, a.v_bar,
                               n, m);
    inverse_from_factor(a, g.L, m);
    velm_adjoint::loglik_term(a.S_inv, row.S_inv_v, periods, a.St_bar, m);
    // K = PCt S~^-1: PCt_bar += K_bar S~^-1, S~_bar -= K' K_bar S~^-1
    velm_matmul(a.K_bar, a.S_inv, a.temp_nm, n, m, m);
    kf_add(a.PCt_bar, a.temp_nm, n * m);
    velm_matmul_atb(g.K, a.temp_nm, a.temp_mm, n, m, m);
    velm_adjoint::sub(a.St_bar, a.temp_mm, m * m);
    velm_adjoint::innovation(md.C, row.x_pred, a.v_bar, a.temp_n, a.x_bar, out->C_bar,
                             out->d_bar, n, m);
}

// x_filt_bar of period t from x_bar of period t + 1 (nothing after the last period); A_bar's
// x_bar x_filt' is gathered.
void reverse_prediction(const RouteModel& md, AdjointBlocks& a, const RouteRow& row, i64 t,
                        kf_grad_outputs* out) {
    if (t + 1 == md.T) {
        velm_zero_mat(a.x_filt_bar, md.n, 1);
    } else {
        gather_A_terms(a, a.x_bar, row.x_filt, md.n, 1, out->A_bar);
        velm_matvec(a.A_t, a.x_bar, a.x_filt_bar, md.n, md.n);
    }
}

// The start: W_0 = A PCt_0, M_0 = -S~_0^-1, S_0 = sym?(C P0 C' + R), PCt_0 = P0 C'. S_inv holds
// S~_0^-1 and St_bar S~_bar of period 0 on entry; P0_bar and the adjoints of C and R on exit.
void reverse_start(const RouteModel& md, const AdjointBlocks& a, kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m;
    // PCt_0 = P0 C'  (temp_nm)
    velm_matmul_abt(md.P0, md.C, a.temp_nm, n, n, m);
    // W_0 = A PCt_0: A_bar += W_bar PCt_0', PCt_bar += A' W_bar
    velm_adjoint::add_abt(a.W_bar, a.temp_nm, a.temp_nn, out->A_bar, n, m, n);
    velm_matmul(a.A_t, a.W_bar, a.Z, n, n, m);
    kf_add(a.PCt_bar, a.Z, n * m);
    // M_0 = -S~^-1: S~_bar += S~^-1 M_bar S~^-1
    velm_matmul(a.M_bar, a.S_inv, a.temp_mm, m, m, m);
    velm_matmul(a.S_inv, a.temp_mm, a.G, m, m, m);
    kf_add(a.St_bar, a.G, m * m);
    fold_period(md, a);
    // S_0 = C P0 C' + R: R_bar += S_bar, P0_bar = C' S_bar C, C_bar += S_bar C P0' + S_bar' C P0
    kf_add(out->R_bar, a.S_bar, m * m);
    velm_matmul(a.S_bar, md.C, a.temp_mn, m, m, n);
    velm_matmul_atb(md.C, a.temp_mn, out->P0_bar, m, n, n);
    velm_matmul_abt(md.C, md.P0, a.temp_mn, m, n, n);  // C P0'
    velm_matmul(a.S_bar, a.temp_mn, a.Z_bar, m, m, n);  // Z_bar: m x n scratch (m n cells)
    kf_add(out->C_bar, a.Z_bar, m * n);
    velm_matmul(md.C, md.P0, a.temp_mn, m, n, n);
    velm_adjoint::add_atb(a.S_bar, a.temp_mn, a.Z_bar, out->C_bar, m, m, n);
    // PCt_0 = P0 C': P0_bar += PCt_bar C, C_bar += PCt_bar' P0
    velm_adjoint::add_atb(a.PCt_bar, md.P0, a.temp_mn, out->C_bar, n, m, n);
    velm_matmul(a.PCt_bar, md.C, a.temp_nn, n, m, n);
    kf_add(out->P0_bar, a.temp_nn, n * n);
}

// The records of the periods after the settle period, for the tail's reverse sweep.
class RowRecords final : public velm_tail::TailRecords {
  public:
    explicit RowRecords(const Tape& tape) : tape_(tape) {}
    velm_tail::TailRecord record(i64 t) const override {
        const RouteRow r = tape_.row(t);
        return {r.x_pred, r.x_filt, r.v, r.S_inv_v};
    }

  private:
    const Tape& tape_;
};

// The reverse sweep over the recorded periods: the tail after the settle period s with the gain
// of s (velm_tail), then periods s to 0 with their rank-m steps, then the start.
void route_reverse(const RouteModel& md, RouteBlocks& rb, i64 s, kf_grad_outputs* out) {
    const i64 n = md.n, m = md.m;
    AdjointBlocks& a = rb.a;
    velm_zero_mat(a.eye_m, m, m);
    for (i64 i = 0; i < m; ++i) a.eye_m[i * m + i] = 1.0;
    for (f64* block : {a.K_bar, a.PCt_bar, a.W_bar}) velm_zero_mat(block, n, m);
    for (f64* block : {a.M_bar, a.S_carried, a.S_tail_bar}) velm_zero_mat(block, m, m);
    velm_zero_mat(a.x_bar, n, 1);
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) a.A_t[j * n + i] = md.A[i * n + j];
    }
    a.terms = 0;
    a.term_capacity = chunk_rows(m).count();
    const RouteRow frozen = rb.tape.row(s);
    const velm_tail::SettledModel tail_model{n, m, md.A, md.C, nullptr, nullptr, frozen.K,
                                             frozen.L};
    velm_tail::settled_tail_adjoint(
        tail_model, rb.tail, rb.tail_adjoint, RowRecords(rb.tape), s + 1, md.T,
        {a.x_bar, out->A_bar, a.K_bar, out->C_bar, out->d_bar, a.S_tail_bar});
    const i64 tail = md.T - 1 - s;
    for (i64 t = s; t >= 0; --t) {
        const RouteRow row = rb.tape.row(t);
        if (t < s) reverse_step(md, a, row, out);
        reverse_prediction(md, a, row, t, out);
        reverse_period(md, a, row, row, static_cast<f64>(t == s ? 1 + tail : 1), out);
        if (t == s && tail > 0) kf_add(a.St_bar, a.S_tail_bar, m * m);
    }
    reverse_start(md, a, out);
    kf_copy(out->x0_bar, a.x_bar, n);
    flush_A_terms(a, out->A_bar, n);
}

// Whether the sample may take the route at all (the forward pass still tests the start).
bool route_applies(const kf_inputs* in) {
    if (in->joseph_cov != 0 && in->symmetrize == 0) return false;
    if (!velm_chandrasekhar::low_rank_carries(velm_steps::kf_model_of(in))) return false;
    return !velm_missing::sample_has_missing(in->y, in->T, in->m);
}

}  // namespace

arena_size kf_loglik_grad_stationary_arena_size(const i64 n, const i64 m, const i64 k,
                                                const i64 T) {
    ArenaCarver counter = ArenaCarver::counting();
    start_carve(counter, n, k);
    const i64 work = work_cells(n, m, k, T);
    if (work < 0) return make_sizer(-1, 0);
    return make_sizer((counter.taken() + work).count(), 0);
}

// 1. The route: forward on the rank-m recursions, then the reverse sweep to the adjoints of A, C,
//    d, R, x0 and of P0; or, off the route, kf_loglik_grad's partial derivatives.
// 2. P0_bar through the stationary covariance's adjoint into A_bar, B_bar and Q_bar.
int kf_loglik_grad_stationary(const kf_inputs* in, const f64 tol, const i64 max_iter,
                              f64* arena, kf_grad_outputs* out) {
    const i64 n = in->n, m = in->m, k = in->k;
    ArenaCarver carver{arena};
    const StartBlocks start = start_carve(carver, n, k);
    f64* const work = arena + carver.taken().count();
    velm_adjoint::zero_gradients(out, n, m, k);
    *out->loglik = 0.0;
    if (in->T <= 0) return KF_OK;

    bool on_route = false;
    if (route_applies(in)) {
        ArenaCarver route_carver{work};
        RouteBlocks rb = route_carve(route_carver, n, m, k, in->T);
        i64 settle = in->T - 1;
        f64 loglik = 0.0;
        if (route_forward(in, rb, &rb.lr, &loglik, &settle) == Forward::done) {
            on_route = true;
            *out->loglik = loglik;
            const RouteModel md{n, m, in->T, in->A, in->C, in->P0, in->symmetrize != 0};
            route_reverse(md, rb, settle, out);
        }
    }
    if (!on_route) {
        const int status = kf_loglik_grad(in, work, out);
        if (status != KF_OK) return status;
    }
    const int status =
        velm_stationary::adjoint_given(in->A, in->B, in->Q, in->P0, out->P0_bar, tol, max_iter,
                                       work, start.A_bar, start.B_bar, start.Q_bar, n, k);
    if (status != KF_OK) {
        const f64 loglik = *out->loglik;
        velm_adjoint::zero_gradients(out, n, m, k);
        *out->loglik = loglik;
        return status;
    }
    kf_add(out->A_bar, start.A_bar, n * n);
    kf_add(out->B_bar, start.B_bar, n * k);
    kf_add(out->Q_bar, start.Q_bar, k * k);
    return KF_OK;
}
