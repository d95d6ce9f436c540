// kalman_hot_loop: the linear Kalman filter over the whole sample, with its histories.
#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

constexpr Default defaults[] = {default_flag(false), default_flag(true)};

constexpr const char doc[] =
    "Run the linear Kalman filter.\n"
    "\n"
    "    Array inputs are coerced to contiguous float64 here. Returns\n"
    "    ``(status, out)`` where ``status`` is a ``kalman.errors`` code (KF_OK on\n"
    "    success) and ``out`` is the history tuple + loglik; the caller maps a nonzero\n"
    "    status to the matching in-house exception.\n"
    "    ";

PyObject* run(Call& call) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const HistoryRows rows =
        history_rows(model.T, call.flag(store_history), call.flag(return_shocks));
    FilterHistories histories;
    if (!allocate_filter_histories(histories, call.numpy(), rows, model.n, model.m, model.k,
                                   kf_arena_size(model.n, model.m, model.k))) {
        return nullptr;
    }

    kf_inputs in = model_inputs(call, model);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    return run_filter(kf_hot_loop, in, point_filter_histories<kf_outputs>(histories, rows),
                      histories);
}

}  // namespace

const Entry kalman_hot_loop_entry = make_entry("kalman_hot_loop", doc, params, defaults, run);

}  // namespace velm_kalman_py
