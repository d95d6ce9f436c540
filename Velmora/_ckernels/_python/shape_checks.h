// Array shapes and the checks that refuse a coerced array whose shape its dimensions do not imply.
#ifndef VELM_PYTHON_SHAPE_CHECKS_H
#define VELM_PYTHON_SHAPE_CHECKS_H

#include <initializer_list>

#include "_python/ref.h"

namespace velm_py {

struct Shape {
    int rank;
    i64 dims[3];
};

constexpr Shape dims(i64 a) { return {1, {a, 0, 0}}; }
constexpr Shape dims(i64 a, i64 b) { return {2, {a, b, 0}}; }
constexpr Shape dims(i64 a, i64 b, i64 c) { return {3, {a, b, c}}; }

Shape shape_of(const BufferView& view) noexcept;
bool has_shape(const BufferView& view, const Shape& expected) noexcept;

// "(3,)", "(3, 2)", "(3, 2, 2)", as NumPy prints shapes.
struct ShapeText {
    char text[96];
    explicit ShapeText(const Shape& shape) noexcept;
};

// One row of a shape check: `view` must have `shape`; `name` and `symbols` ("A", "(n, n)") say
// so in the refusal.
struct ShapeRule {
    const BufferView& view;
    const char* name;
    const char* symbols;
    Shape shape;
};

// How a refusal states the expected shape: by its symbols and both values,
// "A must have shape (n, n) = (2, 2), got (2, 3).", or by its symbols alone,
// "hx must have shape (n_state, n_state).".
enum class ShapeMessage : unsigned char { with_values, symbols_only };

// Checks the rules in order and refuses the first array whose shape differs with a ValueError.
// The kernels index by the dimensions alone, so a mismatch would read or write out of bounds.
bool require_shapes(std::initializer_list<ShapeRule> rules,
                    ShapeMessage message = ShapeMessage::with_values) noexcept;

}  // namespace velm_py

#endif
