// Reading and checking the linear model shared by kalman_hot_loop and kalman_loglik_grad.
#include "kalman/linear_model.h"

#include <algorithm>

#include "_python/errors.h"

namespace velm_kalman_py::linear {

namespace {

// Dimensions come from the arguments, so every array is compared with them before the kernel
// indexes it; y may carry more than T rows.
bool check_shapes(const Model& md) noexcept {
    const i64 n = md.n, m = md.m, k = md.k;
    if (!require_shapes({{md.A, "A", "(n, n)", dims(n, n)},
                         {md.B, "B", "(n, k)", dims(n, k)},
                         {md.C, "C", "(m, n)", dims(m, n)},
                         {md.d, "d", "(m,)", dims(m)},
                         {md.Q, "Q", "(k, k)", dims(k, k)},
                         {md.R, "R", "(m, m)", dims(m, m)}})) {
        return false;
    }
    if (md.T > 0 && (md.y.extent(0) < md.T || md.y.extent(1) != m)) {
        return refuse(PyExc_ValueError,
                      "y must have m = %lld columns and at least T = %lld rows, got %s.",
                      static_cast<long long>(m), static_cast<long long>(md.T),
                      ShapeText(shape_of(md.y)).text);
    }
    return require_shapes({{md.x0, "x0", "(n,)", dims(n)}, {md.P0, "P0", "(n, n)", dims(n, n)}});
}

// A negative n, m or k is refused where the first output whose shape holds it is allocated, by
// NumPy itself (its ValueError for negative dimensions), before the shapes are compared with it.
bool dimensions_allocatable(Call& call, const Model& md) noexcept {
    const i64 smallest = std::min({md.n, md.m, md.k});
    if (smallest >= 0) return true;
    velm_py::BufferView refused;
    return velm_py::allocate_array(call.numpy(), velm_py::NumPyMember::zeros, dims(0, smallest),
                                   refused);
}

}  // namespace

bool read_model(Call& call, Model& md) noexcept {
    i64 nmk_items[3];
    if (!to_triple(call.arg(nmk), nmk_items)) {
        return false;
    }
    md.n = nmk_items[0];
    md.m = nmk_items[1];
    md.k = nmk_items[2];
    md.T = call.count(T);
    return call.coerce_each({{A, md.A}, {B, md.B}, {C, md.C}, {d, md.d}, {Q, md.Q}, {R, md.R},
                             {y, md.y}, {x0, md.x0}, {P0, md.P0}}) &&
           dimensions_allocatable(call, md) && check_shapes(md);
}

kf_inputs model_inputs(const Call& call, const Model& model) noexcept {
    kf_inputs in{};
    in.n = model.n;
    in.m = model.m;
    in.k = model.k;
    in.T = model.T;
    in.A = model.A.cells();
    in.B = model.B.cells();
    in.C = model.C.cells();
    in.d = model.d.cells();
    in.Q = model.Q.cells();
    in.R = model.R.cells();
    in.y = model.y.cells_if(model.T > 0);
    in.x0 = model.x0.cells();
    in.P0 = model.P0.cells();
    in.symmetrize = call.flag(symmetrize);
    in.joseph_cov = call.flag(joseph_cov);
    in.jitter = call.real(jitter);
    return in;
}

PyObject* run_linear_filter(Call& call, arena_size (*arena_of)(i64, i64, i64),
                            LinearLoop loop) noexcept {
    Model model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const HistoryRows rows =
        history_rows(model.T, call.flag(store_history), call.flag(return_shocks));
    FilterHistories histories;
    if (!allocate_filter_histories(histories, call.numpy(), rows, model.n, model.m, model.k,
                                   arena_of(model.n, model.m, model.k))) {
        return nullptr;
    }
    kf_inputs in = model_inputs(call, model);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    return run_filter(loop, in, point_filter_histories<kf_outputs>(histories, rows), histories);
}

}  // namespace velm_kalman_py::linear
