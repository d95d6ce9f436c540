// The state and disturbance smoother of the linear model (kfs_smoother): one forward pass onto a
// tape (kf_hot_loop's routes for a complete sample, the missing-data filter otherwise), then the
// backward recursions of Durbin and Koopman (2012, sec. 4.4 to 4.5) over it.
//
// In this system's timing (update, then predict) with a_t = x_pred, P_t = P_pred, F_t = S, the
// gain K_t = P_t C_t' F_t^-1 of the update and L_t = A (I - K_t C_t), the recursions read
//   u_t     = F_t^-1 v_t - K_t' A' r_t            r_{t-1} = C_t' u_t + A' r_t,   r_{T-1} = 0
//   N_{t-1} = C_t' F_t^-1 C_t + L_t' N_t L_t                                   N_{T-1} = 0
//   x_smooth = a_t + P_t r_{t-1}       P_smooth = P_t - P_t N_{t-1} P_t
//   eps_smooth[t] = Q B' r_{t-1}       eta_smooth[t] = R W_t' u_t
// where C_t, F_t, u_t are of the observed rows and W_t selects them (so eta_smooth of a missing
// row is its regression on the observed ones through R, and zero when nothing is observed).
//
// After the forward pass's settle period s, K, F and P_t stay those of period s, so L and
// C' F^-1 C are constant and N obeys a fixed linear recursion. Its change then has rank m:
// N_{T-2} - N_{T-1} = C' F^-1 C = G G' with G = C' Lf^-T (Lf the factor of F), and each period
// back maps the change by L' . L, so G <- L' G and N_{t-1} = N_t + G G', P N_{t-1} P grows by
// (P G)(P G)': O(n^2 m) a period instead of the O(n^3) of the dense step. The change G G' is
// positive semi-definite, so its largest entry in the states' scales (N(i, j) sqrt(P_ii P_jj)) is
// on the diagonal; once that is within rounding by the settle rule (velm_settle), N and P_smooth
// are kept, and a period costs only the O(n^2) of its means. The settle rule extrapolates the
// changes by the contraction it saw while they stood clear of rounding, which a fast mode may set
// while a slow one adds below rounding (a state barely observed): so the change times the periods
// still to run must be within rounding too, as the changes only fall from there.
#include <cmath>

#include "_common/velm_linalg.h"
#include "_common/velm_sym_products.h"
#include "kalman/kalman.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_chandrasekhar.h"
#include "kalman/kalman_linear_pass.h"
#include "kalman/kalman_missing.h"
#include "kalman/kalman_settle.h"
#include "kalman/kalman_steps.h"

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_missing::ForwardBlocks;
using velm_missing::Selection;
using velm_steps::FilterBlocks;
using velm_steps::kf_add;
using velm_steps::kf_copy;

namespace {

// What the backward pass reads of period t. Full rows for the periods up to the settle period s
// (all of them when it never settles); state rows (x_pred and S^-1 v only) after it, laid after
// row s. T full rows bound the tape.
struct SmootherRow {
    f64* x_pred;   // n
    f64* S_inv_v;  // m_t
    f64* P_pred;   // n x n
    f64* K;        // n x m_t
    f64* L;        // lower factor of S_t + jitter I (m_t x m_t)
};

SmootherRow row_carve(ArenaCarver& carver, i64 n, i64 m, bool full) {
    const Cells N = n, M = m;
    SmootherRow r{};
    r.x_pred = carver.take(N);
    r.S_inv_v = carver.take(M);
    if (!full) return r;
    r.P_pred = carver.take(N * N);
    r.K = carver.take(N * M);
    r.L = carver.take(M * M);
    return r;
}

i64 row_cells(i64 n, i64 m, bool full) {
    ArenaCarver counter = ArenaCarver::counting();
    row_carve(counter, n, m, full);
    return counter.taken().count();
}

SmootherRow full_row(f64* tape, i64 t, i64 n, i64 m) {
    ArenaCarver carver{tape + t * row_cells(n, m, true)};
    return row_carve(carver, n, m, true);
}

SmootherRow state_row(f64* tape, i64 s, i64 t, i64 n, i64 m) {
    ArenaCarver carver{tape + (s + 1) * row_cells(n, m, true) +
                       (t - s - 1) * row_cells(n, m, false)};
    return row_carve(carver, n, m, false);
}

// Scratch of the backward pass.
struct BackwardBlocks {
    f64* r;          // r_t (n)
    f64* r_prev;     // r_{t-1} (n)
    f64* rA;         // A' r_t (n)
    f64* u;          // u_t (m)
    f64* u_full;     // u_t at the observed positions, zero elsewhere (m)
    f64* QBt;        // Q B' (k x n)
    f64* N;          // N_t (n x n)
    f64* N_prev;     // N_{t-1} (n x n)
    f64* Lt;         // L_t' (n x n)
    f64* Y;          // product scratch (n x n)
    f64* CSC;        // C_t' F_t^-1 C_t (n x n)
    f64* AK;         // A K_t (n x m)
    f64* Ct;         // C_t' (n x m)
    f64* CtS;        // C_t' F_t^-1 (n x m)
    f64* G;          // factor of the settled tail's change of N, N_{t-1} - N_t = G G' (n x m)
    f64* G_next;     // L' G (n x m)
    f64* PG;         // P G (n x m)
    f64* minus_PG;   // -P G (n x m)
    velm_missing::SelectBlocks sel;
};

BackwardBlocks backward_carve(ArenaCarver& carver, i64 n, i64 m, i64 k) {
    const Cells N = n, M = m, K = k;
    BackwardBlocks b{};
    b.r = carver.take(N);
    b.r_prev = carver.take(N);
    b.rA = carver.take(N);
    b.u = carver.take(M);
    b.u_full = carver.take(M);
    b.QBt = carver.take(K * N);
    b.N = carver.take(N * N);
    b.N_prev = carver.take(N * N);
    b.Lt = carver.take(N * N);
    b.Y = carver.take(N * N);
    b.CSC = carver.take(N * N);
    b.AK = carver.take(N * M);
    b.Ct = carver.take(N * M);
    b.CtS = carver.take(N * M);
    b.G = carver.take(N * M);
    b.G_next = carver.take(N * M);
    b.PG = carver.take(N * M);
    b.minus_PG = carver.take(N * M);
    b.sel = velm_missing::select_carve(carver, n, m);
    return b;
}

// The forward pass's blocks: those of the missing-data filter, and the low-rank route's for a
// sample without a missing entry, which runs on kf_hot_loop's routes.
struct SmootherArena {
    ForwardBlocks fwd;
    velm_chandrasekhar::LowRankBlocks lr;
    f64* tape;
    BackwardBlocks bwd;
};

SmootherArena smoother_carve(ArenaCarver& carver, i64 n, i64 m, i64 k, i64 T) {
    SmootherArena a;
    a.fwd = velm_missing::forward_carve(carver, n, m, k);
    a.lr = velm_chandrasekhar::low_rank_carve(carver, n, m);
    a.tape = carver.take(Cells(T > 0 ? T : 0) * row_cells(n, m, true));
    a.bwd = backward_carve(carver, n, m, k);
    return a;
}

// Copies of each period onto its tape row: full rows through the settle period, state rows after.
class TapeRecorder final : public velm_missing::ForwardRecorder {
  public:
    TapeRecorder(f64* tape, i64 n, i64 m) : tape_(tape), n_(n), m_(m) {}

    void period(i64 t, const Selection& s, const FilterBlocks& b, bool settled) override {
        if (settled && settle_ < 0) settle_ = t - 1;
        const SmootherRow r = settled ? state_row(tape_, settle_, t, n_, m_)
                                      : full_row(tape_, t, n_, m_);
        kf_copy(r.x_pred, b.x_pred_buf, n_);
        kf_copy(r.S_inv_v, b.S_inv_v, s.m);
        if (settled) return;
        kf_copy(r.P_pred, b.P_pred_buf, n_ * n_);
        kf_copy(r.K, b.K, n_ * s.m);
        kf_copy(r.L, b.L, s.m * s.m);
    }

    void rewind() override { settle_ = -1; }
    bool reads_K() const override { return true; }

  private:
    f64* tape_;
    i64 n_, m_;
    i64 settle_ = -1;
};

// L_t' = A' - C_t' (A K_t)', formed from A' so that no n x n matrix is transposed, and
// C_t' F_t^-1 C_t (symmetric: its lower triangle mirrored).
void period_transition(const kf_inputs* in, const BackwardBlocks& b, const Selection& s,
                       const SmootherRow& row, const f64* At) {
    const i64 n = in->n, mt = s.m;
    if (mt == 0) {
        kf_copy(b.Lt, At, n * n);
        velm_zero_mat(b.CSC, n, n);
        return;
    }
    velm_matmul(in->A, row.K, b.AK, n, n, mt);
    velm_steps::kf_transpose(s.C, b.Ct, mt, n);
    velm_c_minus_matmul_abt(b.Ct, b.AK, At, b.Lt, n, mt, n);
    // CtS = C_t' F_t^-1 (n x m_t), CSC = CtS C_t (n x n)
    velm_chol_solve_rows(row.L, b.Ct, b.CtS, n, mt);
    velm_sym::plus_product(b.CtS, s.C, nullptr, b.CSC, n, mt);
}

// N_{t-1} = CSC + L' N_t L into N_prev, and P_smooth = P - P N_{t-1} P into V, every factor
// read along its rows. L' N L is formed whole and symmetrised by the mean of mirrored pairs: its
// lower triangle alone turns the rounding in which the two triangles differ into symmetric error
// that the recursion keeps and P - P N P amplifies where it cancels most of P (up to 500 times
// the whole product's error on slowly mixing models in units 1e6 apart), for n^3 / 2 more a
// period. P_smooth feeds nothing later, so its lower triangle, mirrored, serves.
void covariance_step(i64 n, const BackwardBlocks& b, const f64* P, f64* V) {
    // Y = N L = N (L')',  N_prev = CSC + sym(L' Y)
    velm_matmul_abt(b.N, b.Lt, b.Y, n, n, n);
    velm_matmul(b.Lt, b.Y, b.N_prev, n, n, n);
    velm_sym_inplace(b.N_prev, n);
    kf_add(b.N_prev, b.CSC, n * n);
    // Y = N_prev P,  V = P - P Y
    velm_matmul(b.N_prev, P, b.Y, n, n, n);
    velm_sym::minus_product(P, b.Y, P, V, n, n);
}

// One period of the settled tail (see the top of the file): N_{t-1} = N_t + G G' into N, and
// V = V_next - (P G)(P G)' on the lower triangle, mirrored, where V_next is P_smooth of the period
// after (P itself at the last period, where N_{T-1} = 0). G is that of this period: C' Lf^-T at
// the last period, L' G of the period after otherwise. Returns the change G G' in the states'
// scales, its largest diagonal entry G_i . G_i P_ii.
f64 tail_covariance_step(i64 n, i64 mt, const BackwardBlocks& b, const f64* P, const f64* V_next,
                         f64* V) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        const f64 change = velm_dot(b.G + i * mt, b.G + i * mt, mt) * P[i * n + i];
        largest = velm_settle::settle_fold(largest, change);
    }
    velm_matmul_abt_plus_c_sym(b.G, b.G, b.N, b.N, n, mt);
    velm_matmul(P, b.G, b.PG, n, n, mt);
    for (i64 i = 0; i < n * mt; ++i) b.minus_PG[i] = -b.PG[i];
    velm_matmul_abt_plus_c_sym(b.minus_PG, b.PG, V_next, V, n, mt);
    return largest;
}

// G = C' Lf^-T (n x m) for the lower factor Lf of F: row i solves Lf g = (column i of C).
void tail_factor(const f64* C, const f64* Lf, i64 n, i64 mt, const BackwardBlocks& b) {
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < mt; ++j) b.u_full[j] = C[j * n + i];
        velm_forward_subst(Lf, b.u_full, b.G + i * mt, mt);
    }
}

template <class T>
void swap_blocks(T*& a, T*& b) {
    T* c = a;
    a = b;
    b = c;
}

// The backward pass from the last period to the first (see the top of the file).
void backward_pass(const kf_inputs* in, const SmootherArena& a, i64 settle,
                   const kfs_outputs* out) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    BackwardBlocks b = a.bwd;
    const bool cov = out->P_smooth != nullptr;
    velm_matmul_abt(in->Q, in->B, b.QBt, k, k, n);
    const f64* const At = a.fwd.b.At;  // A', formed by the forward pass
    velm_zero_mat(b.r, n, 1);
    velm_zero_mat(b.N, n, n);
    const SmootherRow frozen = settle < T ? full_row(a.tape, settle, n, m) : SmootherRow{};
    bool tail_ready = false;  // L, L' and CSC of the settled tail formed
    bool n_settled = false;
    velm_settle::SettleWatch watch(n, m);
    for (i64 t = T - 1; t >= 0; --t) {
        const bool tail = t > settle;
        const Selection s = velm_missing::select_rows(in->C, in->d, in->R, in->y, t, n, m, b.sel);
        SmootherRow row = tail ? state_row(a.tape, settle, t, n, m) : full_row(a.tape, t, n, m);
        if (tail) {
            row.P_pred = frozen.P_pred;
            row.K = frozen.K;
            row.L = frozen.L;
        }
        const i64 mt = s.m;
        // rA = A' r_t,  u = F^-1 v - K' rA,  r_{t-1} = C_t' u + rA
        velm_matvec(At, b.r, b.rA, n, n);
        if (mt > 0) {
            velm_matmul_atb(row.K, b.rA, b.u, n, mt, 1);
            for (i64 i = 0; i < mt; ++i) b.u[i] = row.S_inv_v[i] - b.u[i];
            velm_matmul_atb(s.C, b.u, b.r_prev, mt, n, 1);
        } else {
            velm_zero_mat(b.r_prev, n, 1);
        }
        for (i64 i = 0; i < n; ++i) b.r_prev[i] += b.rA[i];
        // x_smooth = x_pred + P r_{t-1},  eps_smooth = Q B' r_{t-1},  eta_smooth = R W' u
        velm_matvec_plus_vec(row.P_pred, b.r_prev, row.x_pred, out->x_smooth + t * n, n, n);
        velm_matvec(b.QBt, b.r_prev, out->eps_smooth + t * k, k, n);
        if (out->eta_smooth) {
            velm_missing::scatter_observed(in->y + t * m, b.u, 0.0, b.u_full, m);
            velm_matvec(in->R, b.u_full, out->eta_smooth + t * m, m, m);
        }
        if (cov) {
            f64* V = out->P_smooth + t * n * n;
            if (tail && n_settled) {
                kf_copy(V, V + n * n, n * n);
            } else if (tail) {
                // the tail runs from the last period, where N_{T-1} = 0
                const f64* V_next = V + n * n;
                if (!tail_ready) {
                    tail_ready = true;
                    period_transition(in, b, s, row, At);
                    tail_factor(s.C, row.L, n, mt, b);
                    V_next = row.P_pred;
                } else {
                    velm_matmul(b.Lt, b.G, b.G_next, n, n, mt);
                    swap_blocks(b.G, b.G_next);
                }
                const f64 change = tail_covariance_step(n, mt, b, row.P_pred, V_next, V);
                n_settled = watch.covariance_arrived(change) &&
                            watch.within_rounding(change * static_cast<f64>(t - settle - 1));
            } else {
                period_transition(in, b, s, row, At);
                covariance_step(n, b, row.P_pred, V);
                swap_blocks(b.N, b.N_prev);
            }
        }
        swap_blocks(b.r, b.r_prev);
    }
}

// The forward pass onto the tape: kf_hot_loop's routes for a sample without a missing entry
// (the rank-m steps included), the missing-data filter's full recursion otherwise.
int forward(const kf_inputs* in, SmootherArena& a, TapeRecorder* recorder, f64* loglik,
            i64* settle) {
    if (velm_missing::sample_has_missing(in->y, in->T, in->m)) {
        return velm_missing::forward_pass(in, a.fwd, recorder, loglik, settle);
    }
    kf_inputs pass = *in;
    pass.store_history = 0;
    pass.return_shocks = 0;
    kf_outputs none{};
    none.loglik = loglik;
    return velm_linear::filter_pass(&pass, a.fwd.b, &a.lr, a.fwd.tail, &none, recorder, settle);
}

// Every smoothed output zero: what a failed forward pass leaves, so that the caller's arrays need
// not be cleared before the call.
void clear_outputs(const kf_inputs* in, const kfs_outputs* out) {
    const i64 n = in->n, m = in->m, k = in->k, T = in->T;
    velm_zero_mat(out->x_smooth, T, n);
    if (out->P_smooth) velm_zero_mat(out->P_smooth, T * n, n);
    velm_zero_mat(out->eps_smooth, T, k);
    if (out->eta_smooth) velm_zero_mat(out->eta_smooth, T, m);
}

}  // namespace

arena_size kfs_arena_size(const i64 n, const i64 m, const i64 k, const i64 T) {
    ArenaCarver counter = ArenaCarver::counting();
    smoother_carve(counter, n, m, k, T);
    return counter.size();
}

// 1. The forward pass, each period copied onto its tape row.
// 2. The backward pass over the tape: the means every period, the covariances when asked for.
int kfs_smoother(const kf_inputs* in, f64* arena, kfs_outputs* out) {
    ArenaCarver carver{arena};
    SmootherArena a = smoother_carve(carver, in->n, in->m, in->k, in->T);
    TapeRecorder recorder(a.tape, in->n, in->m);
    i64 settle = in->T;
    const int status = forward(in, a, &recorder, out->loglik, &settle);
    if (status != KF_OK) {
        clear_outputs(in, out);
        return status;
    }
    backward_pass(in, a, settle, out);
    return KF_OK;
}
