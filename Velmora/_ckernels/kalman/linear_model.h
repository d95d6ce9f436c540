// The linear model that kalman_hot_loop, kalman_filter_missing, kalman_loglik_grad and the
// smoothers read: parameters, nmk, arrays.
#ifndef VELM_KALMAN_LINEAR_MODEL_H
#define VELM_KALMAN_LINEAR_MODEL_H

#include <iterator>

#include "kalman/entries.h"

namespace velm_kalman_py::linear {

enum : int {
    T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter, return_shocks,
    store_history
};
// kalman_hot_loop takes all of them; kalman_loglik_grad the first n_model_params, up to jitter.
inline constexpr Param params[] = {
    count("T"),        triple("nmk"),         array("A", 2),        array("B", 2),
    array("C", 2),     array("d", 1),         array("Q", 2),        array("R", 2),
    observations("y"), array("x0", 1),        array("P0", 2),       flag("symmetrize"),
    flag("joseph_cov"), real("jitter"),       flag("return_shocks"), flag("store_history"),
};
static_assert(std::size(params) == store_history + 1, "one table row per parameter");
constexpr Py_ssize_t n_model_params = jitter + 1;

// T and (n, m, k) from the arguments, and the nine arrays coerced and checked against them.
struct Model {
    i64 T, n, m, k;
    BufferView A, B, C, d, Q, R, y, x0, P0;
};

// nmk is read before any array is coerced; the arrays are coerced in parameter order, then a
// negative dimension is refused as NumPy refuses it, then the arrays are checked against the
// dimensions.
bool read_model(Call& call, Model& model) noexcept;

// kf_inputs of the model and the converted flags; the history flags are left for the caller.
kf_inputs model_inputs(const Call& call, const Model& model) noexcept;

// The whole call of a linear filter entry (kalman_hot_loop, kalman_filter_missing): the model,
// the histories and the arena of `arena_of`, the run of `loop`, and (status, out).
using LinearLoop = int (*)(const kf_inputs*, f64*, kf_outputs*);
PyObject* run_linear_filter(Call& call, arena_size (*arena_of)(i64, i64, i64),
                            LinearLoop loop) noexcept;

// (status, loglik, (gradient, ...)), the result of the score entries.
template <int N>
PyObject* score_result(int status, f64 loglik, const Outputs<N>& grads) noexcept {
    Ref tuple = grads.tuple();
    Ref code = Ref::steal(tuple ? PyLong_FromLong(status) : nullptr);
    Ref total = Ref::steal(code ? PyFloat_FromDouble(loglik) : nullptr);
    return total ? PyTuple_Pack(3, code.get(), total.get(), tuple.get()) : nullptr;
}

}  // namespace velm_kalman_py::linear

#endif
