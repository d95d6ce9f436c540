// Shape comparison, shape text and the one refusal of an array whose shape differs.
#include "_python/shape_checks.h"

#include <cstdio>

#include "_python/errors.h"

namespace velm_py {

Shape shape_of(const BufferView& view) noexcept {
    Shape shape{view.rank(), {0, 0, 0}};
    for (int axis = 0; axis < shape.rank && axis < 3; ++axis) {
        shape.dims[axis] = view.extent(axis);
    }
    return shape;
}

bool has_shape(const BufferView& view, const Shape& expected) noexcept {
    if (view.rank() != expected.rank) {
        return false;
    }
    for (int axis = 0; axis < expected.rank; ++axis) {
        if (view.extent(axis) != expected.dims[axis]) {
            return false;
        }
    }
    return true;
}

ShapeText::ShapeText(const Shape& shape) noexcept {
    int used = std::snprintf(text, sizeof text, "(");
    for (int axis = 0; axis < shape.rank; ++axis) {
        used += std::snprintf(text + used, sizeof text - used, axis ? ", %lld" : "%lld",
                              static_cast<long long>(shape.dims[axis]));
    }
    std::snprintf(text + used, sizeof text - used, "%s", shape.rank == 1 ? ",)" : ")");
}

namespace {

bool refuse_shape(const ShapeRule& rule, ShapeMessage message) noexcept {
    if (message == ShapeMessage::symbols_only) {
        return refuse(PyExc_ValueError, "%s must have shape %s.", rule.name, rule.symbols);
    }
    return refuse(PyExc_ValueError, "%s must have shape %s = %s, got %s.", rule.name,
                  rule.symbols, ShapeText(rule.shape).text, ShapeText(shape_of(rule.view)).text);
}

}  // namespace

bool require_shapes(std::initializer_list<ShapeRule> rules, ShapeMessage message) noexcept {
    for (const ShapeRule& rule : rules) {
        if (!has_shape(rule.view, rule.shape)) {
            return refuse_shape(rule, message);
        }
    }
    return true;
}

}  // namespace velm_py
