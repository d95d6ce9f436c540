// The settled tail of the linear filter, run a chunk of periods at a time. Internal: not part of
// the exported interface.
#ifndef VELM_KALMAN_TAIL_H
#define VELM_KALMAN_TAIL_H

#include "_common/velm_common.h"
#include "kalman/kalman_arena.h"
#include "kalman/kalman_steps.h"

namespace velm_tail {

// Periods per chunk: enough that the chunk's products run as matrix products, few enough that
// its rows stay in the first cache levels.
constexpr i64 kChunk = 32;

// Scratch of the tail (rows of the chunk's periods).
struct TailBlocks {
    f64* F;    // closed-loop transition A - A K C (n x n)
    f64* AK;   // A K (n x m)
    f64* X;    // x_pred of the chunk's periods and of the period after (kChunk + 1 rows, n)
    f64* Xf;   // x_filt (kChunk x n)
    f64* Yd;   // y - d (kChunk x m)
    f64* Yp;   // y_pred (kChunk x m)
    f64* V;    // innovations v (kChunk x m)
    f64* SiV;  // S^-1 v (kChunk x m)
    f64* U;    // L^-1 v (kChunk x m)
    f64* Bx;   // A K (y - d) (kChunk x n)
};

TailBlocks tail_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m);

// What a caller keeps of each tail period beyond the log-likelihood. period(t) is told with the
// filter blocks' x_pred, x_filt, y_pred, v, L^-1 v and S^-1 v holding period t's (the covariance
// blocks hold the settled ones throughout).
class TailPeriods {
  public:
    virtual void period(i64 t) = 0;

  protected:
    ~TailPeriods() = default;
};

// What the tail reads: the model's measurement and the settled gain and factor.
struct SettledModel {
    i64 n, m;
    const f64* A;  // n x n
    const f64* C;  // m x n
    const f64* d;  // m
    const f64* y;  // T x m
    const f64* K;  // settled gain (n x m)
    const f64* L;  // lower factor of the settled S + jitter I (m x m)
};

// Periods t_begin .. T - 1 from x_pred of period t_begin in b.x_pred_buf: the log-likelihood,
// loglik plus their terms, each with ln det S taken once and m ln 2 pi. keep, when given, is told
// every period.
f64 settled_tail(const SettledModel& model, const TailBlocks& tail,
                 const velm_steps::FilterBlocks& b, i64 t_begin, i64 T, f64 loglik,
                 TailPeriods* keep);

// ---- reverse sweep --------------------------------------------------------------------------

// What a score recorded of a tail period t.
struct TailRecord {
    const f64* x_pred;   // n
    const f64* x_filt;   // n
    const f64* v;        // m
    const f64* S_inv_v;  // m
};

class TailRecords {
  public:
    virtual TailRecord record(i64 t) const = 0;

  protected:
    ~TailRecords() = default;
};

// Scratch of the reverse sweep, beside the tail's own blocks.
struct TailAdjointBlocks {
    f64* X_bar;       // adjoints of x_pred: the chunk's periods and the one after (kChunk + 1 x n)
    f64* X_filt_bar;  // adjoints of x_filt (kChunk x n)
    f64* temp;        // one sum's products (max(n, m)^2)
};

TailAdjointBlocks tail_adjoint_carve(velm_arena::ArenaCarver& carver, i64 n, i64 m);

// The sums the tail's periods add to, and the adjoint of x_pred they carry back.
struct TailAdjoint {
    f64* x_bar;       // out: adjoint of x_pred of period t_begin (n)
    f64* A_bar;       // += sum of x_bar(t + 1) x_filt(t)'  (n x n)
    f64* K_bar;       // += sum of x_filt_bar(t) v(t)'  (n x m)
    f64* C_bar;       // -= sum of v_bar(t) x_pred(t)'  (m x n)
    f64* d_bar;       // -= sum of v_bar(t)  (m)
    f64* S_tail_bar;  // += 1/2 sum of w(t) w(t)', w = S^-1 v  (m x m)
};

// The adjoint of periods t_begin .. T - 1 as settled_tail runs them, T the sample's end (nothing
// after it), each period's term -1/2 v' S^-1 v (the ln det S terms are the caller's, as is the
// gain's share of S_bar). Uses tail's blocks for the chunk's records.
void settled_tail_adjoint(const SettledModel& model, const TailBlocks& tail,
                          const TailAdjointBlocks& scratch, const TailRecords& records,
                          i64 t_begin, i64 T, const TailAdjoint& adjoint);

}  // namespace velm_tail

#endif
