// kalman_filter_missing: the linear Kalman filter with NaN in y read as missing observations.
#include "kalman/entries.h"
#include "kalman/linear_model.h"

namespace velm_kalman_py {

namespace {

using namespace linear;

constexpr Default defaults[] = {default_flag(false), default_flag(true)};

constexpr const char doc[] =
    "Run the linear Kalman filter with missing observations.\n"
    "\n"
    "    Takes the arguments of ``kalman_hot_loop`` and returns its ``(status, out)``. A NaN\n"
    "    in ``y`` marks that observable missing in that period: the period updates with its\n"
    "    observed rows of ``C``, ``d`` and ``R`` only and its log-likelihood term counts only\n"
    "    them; a period with nothing observed only predicts. ``innov`` is NaN where ``y`` is,\n"
    "    ``std_innov`` holds the observed rows' standardised innovations at their positions\n"
    "    and NaN elsewhere; ``y_pred``, ``y_filt`` and ``S`` are those of the whole vector.\n"
    "    ";

PyObject* run(Call& call) noexcept {
    return run_linear_filter(call, kf_missing_arena_size, kf_missing_loop);
}

}  // namespace

const Entry kalman_filter_missing_entry =
    make_entry("kalman_filter_missing", doc, params, defaults, run);

}  // namespace velm_kalman_py
