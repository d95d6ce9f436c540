// The filter module's entries, one entry_<name>.cpp each, and what the filter entries share.
//
// Internal to the binding: the history block of kalman_hot_loop and ekf_hot_loop, and the run of a
// filter loop that those two and ukf_hot_loop end with.
#ifndef VELM_KALMAN_ENTRIES_H
#define VELM_KALMAN_ENTRIES_H

#include "_python/binder.h"
#include "_python/numpy_io.h"
#include "_python/shape_checks.h"
#include "kalman/kalman.h"

namespace velm_kalman_py {

using namespace velm_py;

extern const Entry kalman_hot_loop_entry;
extern const Entry stationary_covariance_entry;
extern const Entry ekf_hot_loop_entry;
extern const Entry ukf_hot_loop_entry;
extern const Entry kalman_loglik_grad_entry;
extern const Entry kalman_filter_missing_entry;
extern const Entry kalman_smoother_entry;
extern const Entry kalman_simulation_smoother_entry;
extern const Entry stationary_covariance_grad_entry;
extern const Entry kalman_loglik_grad_stationary_entry;

// The shapes of A (n x n), B (n x k) and Q (k x k) of the stationary covariance, n, k >= 1.
bool check_stationary_shapes(const BufferView& A, const BufferView& B,
                             const BufferView& Q) noexcept;

// ==== what every filter records ==================================================================

// The nine histories every filter's records name alike, x_pred to S, held in this order from
// history `first` on; histories that are not stored go as null.
template <class Records, int N>
void point_common_histories(Records& out, const Outputs<N>& h, int first, bool stored) noexcept {
    out.x_pred = h.cells(first, stored);
    out.x_filt = h.cells(first + 1, stored);
    out.P_pred = h.cells(first + 2, stored);
    out.P_filt = h.cells(first + 3, stored);
    out.y_pred = h.cells(first + 4, stored);
    out.y_filt = h.cells(first + 5, stored);
    out.innov = h.cells(first + 6, stored);
    out.std_innov = h.cells(first + 7, stored);
    out.S = h.cells(first + 8, stored);
}

// Runs the filter loop over in, writing to the histories out points at, without the interpreter
// lock; returns (status, (history..., loglik)).
template <class Inputs, class Records, class Status, int N>
PyObject* run_filter(Status (*loop)(const Inputs*, f64*, Records*), const Inputs& in,
                     Records out, const Outputs<N>& histories) noexcept {
    f64 loglik = 0.0;
    out.loglik = &loglik;
    f64* scratch = histories.scratch();
    const Status status = without_interpreter_lock([&] { return loop(&in, scratch, &out); });
    Ref total = Ref::steal(PyFloat_FromDouble(loglik));
    Ref result = total ? histories.tuple(total.get()) : Ref();
    return result ? status_pair(status, result.get()) : nullptr;
}

// ==== kalman_hot_loop and ekf_hot_loop: the shared history block =================================

enum FilterHistory : int {
    h_x_pred, h_x_filt, h_P_pred, h_P_filt, h_y_pred, h_y_filt, h_innov, h_std_innov, h_S,
    h_eps_hat, n_filter_histories
};
static_assert(h_S == h_x_pred + 8, "the common histories in their order");
using FilterHistories = Outputs<n_filter_histories>;

// Rows of the histories: T when they are stored, and of the shock estimates when they are
// stored and asked for as well; zero otherwise.
struct HistoryRows {
    i64 hist_T, shock_T;
};

inline HistoryRows history_rows(i64 T, bool store_history, bool return_shocks) noexcept {
    return {store_history ? T : 0, store_history && return_shocks ? T : 0};
}

// The histories, allocated with np.zeros, then the arena of `scratch` cells.
inline bool allocate_filter_histories(FilterHistories& histories, NumPy& np, HistoryRows rows,
                                      i64 n, i64 m, i64 k, arena_size scratch) noexcept {
    const i64 T = rows.hist_T;
    const Shape shapes[n_filter_histories] = {
        dims(T, n), dims(T, n), dims(T, n, n), dims(T, n, n), dims(T, m),
        dims(T, m), dims(T, m), dims(T, m),    dims(T, m, m), dims(rows.shock_T, k),
    };
    return histories.allocate(np, NumPyMember::zeros, shapes, scratch);
}

// kf_outputs or ekf_outputs pointing at the histories.
template <class Records>
Records point_filter_histories(const FilterHistories& h, HistoryRows rows) noexcept {
    Records out{};
    point_common_histories(out, h, h_x_pred, rows.hist_T > 0);
    out.eps_hat = h.cells(h_eps_hat, rows.shock_T > 0);
    return out;
}

}  // namespace velm_kalman_py

#endif
