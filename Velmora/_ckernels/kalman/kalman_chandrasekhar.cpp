// Chandrasekhar recursions for the linear filter (Morf, Sidhu and Kailath, 1974; Herbst, 2015,
// Comput. Econ. 45): the covariance recursion carried as rank-r updates of S, P C' and the gain,
// in O(n^2 r) per period instead of the O(n^3) of the prediction.
//
// With dP_t = P_pred(t + 1) - P_pred(t) = W_t M_t W_t' and K_t = P_pred(t) C' S_t^-1:
//   S_{t+1}   = S_t + (C W_t) M_t (C W_t)'
//   PCt_{t+1} = PCt_t + W_t M_t (C W_t)'
//   W_{t+1}   = A (W_t - K_t C W_t)
//   M_{t+1}   = M_t - M_t (C W_t)' S_{t+1}^-1 (C W_t) M_t
// A stationary start (P0 = A P0 A' + B Q B') has dP_0 = -(A PCt_0) S_0^-1 (A PCt_0)': rank m,
// M_0 = -S_0^-1 negative definite, and M stays negative definite, so every dP_t is negative
// semi-definite and its largest entry in correlation units lies on its diagonal.
// From any other prior the change starts at full rank, but its rank falls as the recursion
// contracts: once it has a rank that pays, to rounding, it is factored as W M W' with
// M = diag(+-1) and carried the same way (a semi-definite M keeps its sign; an indefinite one
// bounds the change instead of giving it on the diagonal).
#include "kalman/kalman_chandrasekhar.h"

#include <cmath>
#include <limits>

#include "_common/velm_linalg.h"
#include "_common/velm_pivot.h"
#include "_common/velm_rows.h"
#include "kalman/kalman.h"

namespace velm_chandrasekhar {

using velm_arena::ArenaCarver;
using velm_arena::Cells;
using velm_settle::settle_fold;
using velm_settle::settle_gain_change;
using velm_settle::settle_innovation_delta;
using velm_settle::settle_inverse_scales;
using velm_settle::settle_scaled;
using velm_settle::SettleWatch;
using velm_steps::FilterBlocks;
using velm_steps::FilterModel;
using velm_steps::kf_add;
using velm_steps::kf_copy;

LowRankBlocks low_rank_carve(ArenaCarver& carver, i64 n, i64 m) {
    const i64 capacity = low_rank_capacity(n, m);
    const Cells N = n, M = m, R = capacity;
    LowRankBlocks lr;
    lr.rank = m;
    lr.capacity = capacity;
    lr.definite = true;
    lr.W = carver.take(N * R);
    lr.W_next = carver.take(N * R);
    lr.M = carver.take(R * R);
    lr.CW = carver.take(M * R);
    lr.MCWt = carver.take(R * M);
    lr.dS = carver.take(R * R);  // m x m and r x r, r >= m
    lr.WM = carver.take(N * R);
    lr.P_diag = carver.take(N);
    lr.P_diag_entry = carver.take(N);
    lr.S_diag_entry = carver.take(M);
    return lr;
}

namespace {

// A period's flops on the route at rank r, and on the full prediction and update.
f64 route_flops(f64 N, f64 M, f64 R) { return 2.0 * N * N * R + 6.0 * N * M * R + 2.0 * M * M * M; }
f64 full_flops(f64 N, f64 M) { return 2.0 * N * N * N + 4.0 * N * N * M; }

}  // namespace

bool low_rank_pays(i64 n, i64 m) {
    const f64 N = static_cast<f64>(n), M = static_cast<f64>(m);
    return n >= 4 && m >= 1 && 2.0 * route_flops(N, M, M) <= full_flops(N, M);
}

bool low_rank_carries(const FilterModel& model) {
    if (!model.joseph_cov) return true;
    if (velm_pivot::adds_jitter(model.jitter)) return false;
    return model.symmetrize || model.R_symmetric;
}

i64 low_rank_capacity(i64 n, i64 m) {
    if (!low_rank_pays(n, m)) return m;
    const f64 N = static_cast<f64>(n), M = static_cast<f64>(m);
    // above m the r x r products (W M, the update of M) count too: the largest r with
    // 2 (route_flops(r) + 2 N r^2) <= full_flops, a quadratic in r, then checked by the rule itself
    const auto pays = [&](f64 R) {
        return 2.0 * (route_flops(N, M, R) + 2.0 * N * R * R) <= full_flops(N, M);
    };
    const f64 a = 4.0 * N, b = 4.0 * N * N + 12.0 * N * M, c = 4.0 * M * M * M - full_flops(N, M);
    f64 R = std::floor((std::sqrt(b * b - 4.0 * a * c) - b) / (2.0 * a));
    while (R > M && !pays(R)) R -= 1.0;
    while (R + 1.0 <= N && pays(R + 1.0)) R += 1.0;
    return R > M ? static_cast<i64>(R) : m;
}

namespace {

void diagonal_of(const f64* P, i64 n, f64* diag) {
    for (i64 i = 0; i < n; ++i) diag[i] = P[i * n + i];
}

// How far S and P_pred may shrink on the route. Its sums (S, P C', P_pred's diagonal) add the
// changes to the values the route began with, so they keep rounding of that size: relative to
// what they have shrunk to, it grows by the shrink. Within this factor it stays within a few
// hundred ulps, the full recursion's own; a slowly converging model started far above its
// fixed point (a damped rotation from 1e6 I) shrinks by 1e4 and more, and runs in full.
constexpr f64 kLargestShrink = 64.0;

// The route begins at P_diag (P_pred of the period) and S of the period.
void mark_entry(const FilterBlocks& b, LowRankBlocks* lr, i64 n, i64 m) {
    velm_steps::kf_copy(lr->P_diag_entry, lr->P_diag, n);
    diagonal_of(b.S_buf, m, lr->S_diag_entry);
}

// Whether every diagonal entry of now is at least its entry value / kLargestShrink.
bool within_shrink(const f64* entry, const f64* now, i64 count) {
    for (i64 i = 0; i < count; ++i) {
        if (!(entry[i] <= kLargestShrink * now[i])) return false;
    }
    return true;
}

}  // namespace

namespace {

// Largest entry of (change - prev) - factored in correlation units (prev null for none).
f64 largest_residual(const f64* change, const f64* prev, const f64* factored,
                     const f64* inv_scale, i64 n) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n; ++i) {
        for (i64 j = 0; j < n; ++j) {
            const i64 c = i * n + j;
            const f64 residual = (prev ? change[c] - prev[c] : change[c]) - factored[c];
            largest = settle_fold(largest, settle_scaled(residual, inv_scale[i], inv_scale[j]));
        }
    }
    return largest;
}

// Symmetric pivoted factor of a change E in correlation units, sum_k sign_k g_k g_k' (G n x r,
// row stride capacity), read through entry(i, p) = E(i, p) and its diagonal, which `left` holds
// on entry: column r from the column of the largest diagonal entry left in magnitude, until what
// is left is negligible(pivot); pivot rows are done (marked NaN). Returns r, or -1 when more than
// `capacity` pivots are not negligible, with *left_over the largest of those left.
template <class Entry, class Negligible>
i64 pivoted_factor(i64 n, i64 capacity, Negligible negligible, f64* left, f64* G, f64* signs,
                   Entry entry, f64* left_over) {
    i64 r = 0;
    for (;;) {
        i64 p = -1;
        f64 pivot = 0.0;
        for (i64 i = 0; i < n; ++i) {
            if (std::fabs(left[i]) > pivot) {
                pivot = std::fabs(left[i]);
                p = i;
            }
        }
        if (p < 0 || negligible(pivot)) break;
        if (r == capacity) {
            *left_over = pivot;
            return -1;
        }
        const f64 sign = left[p] < 0.0 ? -1.0 : 1.0;
        const f64 root = std::sqrt(pivot);
        const f64* G_p = G + p * capacity;
        for (i64 i = 0; i < n; ++i) {
            f64* G_i = G + i * capacity;
            if (i == p) {
                G_i[r] = root;
            } else if (std::isnan(left[i])) {
                G_i[r] = 0.0;  // a pivot row: zero below its own column
            } else {
                f64 taken = 0.0;
                for (i64 k = 0; k < r; ++k) taken += signs[k] * G_i[k] * G_p[k];
                G_i[r] = (entry(i, p) - taken) * sign / root;
                left[i] -= sign * G_i[r] * G_i[r];
            }
        }
        left[p] = std::numeric_limits<f64>::quiet_NaN();
        signs[r] = sign;
        ++r;
    }
    *left_over = 0.0;
    return r;
}

// W = diag(sqrt(P_ii)) G, the factor G (row stride capacity, r columns) in the units of P, packed
// to row stride r; W may be G itself (each cell moves to one not after it).
void factor_in_units(const f64* G, const f64* P_diag, i64 n, i64 r, i64 capacity, f64* W) {
    for (i64 i = 0; i < n; ++i) {
        const f64 unit = std::sqrt(P_diag[i]);
        for (i64 j = 0; j < r; ++j) W[i * r + j] = G[i * capacity + j] * unit;
    }
}

// M = diag(signs) (r x r); whether it is definite.
bool signs_to_core(const f64* signs, i64 r, f64* M) {
    bool definite = true;
    velm_zero_mat(M, r, r);
    for (i64 k = 0; k < r; ++k) {
        M[k * r + k] = signs[k];
        definite = definite && signs[k] == signs[0];
    }
    return definite;
}

}  // namespace

bool low_rank_start(const FilterModel& model, const f64* P_prev, const FilterBlocks& b,
                    LowRankBlocks* lr_out, const SettleWatch& watch) {
    const i64 n = model.n, m = model.m;
    const LowRankBlocks& lr = *lr_out;
    lr_out->rank = m;
    lr_out->definite = true;
    // W = A PCt  (n x m)
    velm_matmul(model.A, b.PCt, lr.W, n, n, m);
    // M = -S^-1 (m x m), from the identity solved against the factor
    velm_zero_mat(lr.MCWt, m, m);
    for (i64 i = 0; i < m; ++i) lr.MCWt[i * m + i] = 1.0;
    velm_chol_solve_rows(b.L, lr.MCWt, lr.M, m, m);
    for (i64 i = 0; i < m * m; ++i) lr.M[i] = -lr.M[i];
    // temp_nn = W M W'  (n x n)
    velm_matmul(lr.W, lr.M, lr.WM, n, m, m);
    velm_matmul_abt(lr.WM, lr.W, b.temp_nn, n, m, n);
    // P_pred(1) - P0 - W M W' in correlation units of P_pred(1); I_minus_KC is free scratch
    f64* const inv_scale = b.I_minus_KC;
    settle_inverse_scales(b.P_pred_buf, n, inv_scale);
    if (!watch.within_rounding(largest_residual(b.P_pred_buf, P_prev, b.temp_nn, inv_scale, n))) {
        return false;
    }
    diagonal_of(P_prev, n, lr.P_diag);
    mark_entry(b, lr_out, n, m);
    return true;
}

bool low_rank_restart(const FilterModel& model, const f64* P_prev, const FilterBlocks& b,
                      LowRankBlocks* lr, const SettleWatch& watch, f64* left_over) {
    const i64 n = model.n, capacity = lr->capacity;
    const f64* const P = b.P_pred_buf;
    f64* const inv_scale = b.I_minus_KC;
    f64* const left = b.I_minus_KC + n;  // diagonal of the change not yet taken by pivots
    f64* const signs = lr->dS;           // the pivots' signs (capacity)
    *left_over = HUGE_VAL;
    for (i64 i = 0; i < n; ++i) {
        const f64 variance = P[i * n + i];
        if (!(variance > 0.0)) return false;  // no unit to measure the change in
        inv_scale[i] = 1.0 / std::sqrt(variance);
        lr->P_diag[i] = variance;
    }
    for (i64 i = 0; i < n; ++i) {
        left[i] = (P[i * n + i] - P_prev[i * n + i]) * (inv_scale[i] * inv_scale[i]);
    }
    const auto change = [&](i64 i, i64 p) {
        return (P[i * n + p] - P_prev[i * n + p]) * inv_scale[i] * inv_scale[p];
    };
    const auto rounding = [&](f64 pivot) { return watch.within_rounding(pivot); };
    const i64 r = pivoted_factor(n, capacity, rounding, left, lr->W, signs, change, left_over);
    if (r <= 0) return false;  // above capacity, or nothing the settle rule would not see
    factor_in_units(lr->W, lr->P_diag, n, r, capacity, lr->W);
    const bool definite = signs_to_core(signs, r, lr->M);
    // the whole residual P_pred(t + 1) - P_pred(t) - W M W' in correlation units
    velm_matmul(lr->W, lr->M, lr->WM, n, r, r);
    velm_matmul_abt(lr->WM, lr->W, b.P_filt_buf, n, r, n);
    if (!watch.within_rounding(largest_residual(P, P_prev, b.P_filt_buf, inv_scale, n))) {
        return false;
    }
    lr->rank = r;
    lr->definite = definite;
    diagonal_of(P_prev, n, lr->P_diag);
    mark_entry(b, lr, n, model.m);
    return true;
}

Deflation low_rank_deflate(const FilterModel& model, const FilterBlocks& b, LowRankBlocks* lr,
                           const SettleWatch& watch) {
    const i64 n = model.n, r = lr->rank, most = r - 1;  // a rank of r or more gains nothing
    if (r <= 1) return Deflation::kept;
    f64* const inv_scale = b.I_minus_KC;
    f64* const left = b.I_minus_KC + n;
    f64* const column = b.I_minus_KC + 2 * n;  // M W_p' of the current pivot (r)
    f64* const signs = lr->dS;
    for (i64 i = 0; i < n; ++i) {
        if (!(lr->P_diag[i] > 0.0)) return Deflation::kept;
        inv_scale[i] = 1.0 / std::sqrt(lr->P_diag[i]);
    }
    // diagonal of W M W' in correlation units, W M into WM
    velm_matmul(lr->W, lr->M, lr->WM, n, r, r);
    for (i64 i = 0; i < n; ++i) {
        left[i] = velm_rows::row_dot(lr->WM + i * r, lr->W + i * r, r) * inv_scale[i] *
                  inv_scale[i];
    }
    i64 column_of = -1;
    const auto change = [&](i64 i, i64 p) {
        if (p != column_of) {
            column_of = p;
            for (i64 k = 0; k < r; ++k) column[k] = lr->WM[p * r + k];  // M symmetric
        }
        return velm_rows::row_dot(lr->W + i * r, column, r) * inv_scale[i] * inv_scale[p];
    };
    // what is dropped must stay rounding in every later period too, as it falls by the
    // contraction the watch has seen
    const auto dropped = [&](f64 size) {
        return watch.within_rounding(size) && watch.sums_within_rounding(size);
    };
    f64 left_over = 0.0;
    const i64 lower = pivoted_factor(n, most, dropped, left, lr->W_next, signs, change, &left_over);
    if (lower <= 0) return Deflation::kept;
    // the residual: the change carried (temp_nn) less the lower factor's (P_filt_buf), W M of
    // the lower factor in WM; W and M stay as they are until it is within rounding
    velm_matmul_abt(lr->WM, lr->W, b.temp_nn, n, r, n);
    factor_in_units(lr->W_next, lr->P_diag, n, lower, most, lr->W_next);
    for (i64 i = 0; i < n; ++i) {
        for (i64 k = 0; k < lower; ++k) {
            lr->WM[i * lower + k] = lr->W_next[i * lower + k] * signs[k];
        }
    }
    velm_matmul_abt(lr->WM, lr->W_next, b.P_filt_buf, n, lower, n);
    if (!dropped(largest_residual(b.temp_nn, nullptr, b.P_filt_buf, inv_scale, n))) {
        return Deflation::missed;
    }
    lr->definite = signs_to_core(signs, lower, lr->M);
    lr->rank = lower;
    f64* const W = lr->W;
    lr->W = lr->W_next;
    lr->W_next = W;
    return Deflation::lowered;
}

bool low_rank_advance(const FilterModel& model, const f64* C, const FilterBlocks& b,
                      LowRankBlocks* lr, bool keep_P, SettleWatch* watch, bool* arrived) {
    const i64 n = model.n, m = model.m, r = lr->rank;
    *arrived = false;
    // CW = C W (m x r), WM = W M (n x r)
    velm_matmul(C, lr->W, lr->CW, m, n, r);
    velm_matmul(lr->W, lr->M, lr->WM, n, r, r);
    // dP = W M W': its diagonal, and all of it when the histories need P_pred. A semi-definite
    // change is largest on its diagonal; an indefinite one is bounded there by
    // |w_i M w_j'| <= |M| |w_i| |w_j|, |M| the largest absolute row sum of the symmetric M
    f64 M_norm = 0.0;
    if (!lr->definite) {
        for (i64 i = 0; i < r; ++i) {
            f64 row = 0.0;
            for (i64 j = 0; j < r; ++j) row += std::fabs(lr->M[i * r + j]);
            M_norm = row > M_norm || std::isnan(row) ? row : M_norm;
        }
    }
    f64 change = 0.0;
    for (i64 i = 0; i < n; ++i) {
        // rows of r cells: shorter than a call into the vector kernels pays for
        const f64 step = velm_rows::row_dot(lr->WM + i * r, lr->W + i * r, r);
        lr->P_diag[i] += step;
        const f64 scale = lr->P_diag[i] > 0.0 ? 1.0 / lr->P_diag[i] : 0.0;
        const f64* const W_i = lr->W + i * r;
        const f64 size = lr->definite ? std::fabs(step) : M_norm * velm_rows::row_dot(W_i, W_i, r);
        change = settle_fold(change, step == 0.0 && size == 0.0 ? 0.0 : size * scale);
        if (size != 0.0 && !(lr->P_diag[i] > 0.0)) change = HUGE_VAL;
    }
    if (keep_P) {
        velm_matmul_abt(lr->WM, lr->W, b.temp_nn, n, r, n);
        kf_add(b.P_pred_buf, b.temp_nn, n * n);
        if (model.symmetrize) velm_sym_inplace(b.P_pred_buf, n);
    }
    // W_next = A (W - K C W)  (n x r), with this period's gain; W M is not read again
    velm_c_minus_matmul(b.K, lr->CW, lr->W, lr->WM, n, m, r);
    velm_matmul(model.A, lr->WM, lr->W_next, n, n, r);
    // MCWt = M (C W)'  (r x m); dS = C W M W' C'  (m x m); S += dS
    velm_matmul_abt(lr->M, lr->CW, lr->MCWt, r, r, m);
    velm_matmul(lr->CW, lr->MCWt, lr->dS, m, r, m);
    kf_add(b.S_buf, lr->dS, m * m);
    if (model.symmetrize) velm_sym_inplace(b.S_buf, m);
    const f64 innovation_change = settle_innovation_delta(lr->dS, b.S_buf, m);
    // PCt += W M (C W)'  (n x m)
    velm_matmul(lr->W, lr->MCWt, b.temp_mn, n, r, m);
    kf_add(b.PCt, b.temp_mn, n * m);
    // the next factor and gain
    kf_copy(b.K_prev, b.K, n * m);
    if (velm_chol(b.S_buf, model.jitter, b.L, m) != VELM_OK) return false;
    velm_chol_solve_rows(b.L, b.PCt, b.K, n, m);
    // M -= (M (C W)' S^-1) (C W M), with C W M = MCWt' (M is symmetric); CW is free again
    velm_chol_solve_rows(b.L, lr->MCWt, lr->CW, r, m);
    velm_matmul_abt(lr->CW, lr->MCWt, lr->dS, r, m, r);
    for (i64 i = 0; i < r * r; ++i) lr->M[i] -= lr->dS[i];
    velm_sym_inplace(lr->M, r);  // C W M = (M (C W)')' holds for a symmetric M
    f64* const W = lr->W;
    lr->W = lr->W_next;
    lr->W_next = W;
    // the change just applied, in the units of the settle rule; the gain's units only once the
    // covariance has arrived
    const bool cov = watch->covariance_arrived(change);
    *arrived = cov && watch->within_rounding(innovation_change);
    if (*arrived) {
        for (i64 i = 0; i < n; ++i) {
            b.I_minus_KC[i] = lr->P_diag[i] > 0.0 ? 1.0 / std::sqrt(lr->P_diag[i]) : HUGE_VAL;
        }
        *arrived = watch->within_rounding(
            settle_gain_change(b.K_prev, b.K, b.I_minus_KC, b.S_buf, n, m));
    }
    if (!within_shrink(lr->P_diag_entry, lr->P_diag, n)) return false;
    for (i64 i = 0; i < m; ++i) lr->dS[i] = b.S_buf[i * m + i];  // dS is free again
    if (!within_shrink(lr->S_diag_entry, lr->dS, m)) return false;
    return std::isfinite(lr->M[0]);
}

void low_rank_filtered_cov(const FilterModel& model, const f64* C, const FilterBlocks& b) {
    const i64 n = model.n, m = model.m;
    if (model.joseph_cov) {
        // as a full period forms it, from C P_pred; the route keeps P_pred exactly symmetric
        // when symmetrised
        velm_matmul(C, b.P_pred_buf, b.temp_mn, m, n, n);
        velm_steps::kf_filtered_cov(model, C, model.symmetrize, b);
        return;
    }
    kf_simple_cov(b.K, b.PCt, b.P_pred_buf, b.P_filt_buf, n, m);
    if (model.symmetrize) velm_sym_inplace(b.P_filt_buf, n);
}

}  // namespace velm_chandrasekhar
