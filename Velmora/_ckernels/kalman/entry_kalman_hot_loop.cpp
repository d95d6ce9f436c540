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
    return run_linear_filter(call, kf_arena_size, kf_hot_loop);
}

}  // namespace

const Entry kalman_hot_loop_entry = make_entry("kalman_hot_loop", doc, params, defaults, run);

}  // namespace velm_kalman_py
