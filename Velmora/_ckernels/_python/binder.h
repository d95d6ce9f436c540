// The table-driven argument binder of native functions and the converters of each argument kind.
#ifndef VELM_PYTHON_BINDER_H
#define VELM_PYTHON_BINDER_H

#include <cstdint>
#include <initializer_list>

#include "_python/numpy_io.h"
#include "_python/ref.h"

namespace velm_py {

// ==== the entry table: parameters, kinds and defaults ============================================

// A count is an i64 (nb_int, no __index__), an address a 64-bit unsigned function address, a
// real a double, a flag a truth value; a triple is read by its entry (three counts, see
// to_triple); an array is coerced by its entry (Call::coerce_each).
enum class Kind : unsigned char { array, count, address, real, flag, triple };

struct Param {
    const char* name;
    Kind kind;
    int rank;       // arrays only
    bool writable;  // arrays only: false for an observation matrix the kernel only reads
};

constexpr Param array(const char* name, int rank) { return {name, Kind::array, rank, true}; }
constexpr Param observations(const char* name) { return {name, Kind::array, 2, false}; }
constexpr Param count(const char* name) { return {name, Kind::count, 0, false}; }
constexpr Param address(const char* name) { return {name, Kind::address, 0, false}; }
constexpr Param real(const char* name) { return {name, Kind::real, 0, false}; }
constexpr Param flag(const char* name) { return {name, Kind::flag, 0, false}; }
constexpr Param triple(const char* name) { return {name, Kind::triple, 0, false}; }

struct Default {
    enum class Type : unsigned char { boolean, real, integer } type;
    double value;
};

constexpr Default default_flag(bool value) { return {Default::Type::boolean, value ? 1.0 : 0.0}; }
constexpr Default default_real(double value) { return {Default::Type::real, value}; }
constexpr Default default_count(int value) { return {Default::Type::integer, double(value)}; }

constexpr Py_ssize_t kMaxParams = 25;

class Call;

// One function of a module: its name, docstring, parameters in positional order (the last
// n_defaults with defaults) and what runs once the arguments are bound and converted.
struct Entry {
    const char* name;
    const char* doc;
    const Param* params;
    Py_ssize_t n_params;
    const Default* defaults;  // of the last n_defaults parameters
    Py_ssize_t n_defaults;
    PyObject* (*run)(Call& call) noexcept;

    constexpr Py_ssize_t n_required() const noexcept { return n_params - n_defaults; }
};

// An entry over a whole parameter table whose last rows take `defaults`, or over the first
// n_params rows of one, all required; no more parameters than a Call holds.
template <Py_ssize_t P, Py_ssize_t D>
constexpr Entry make_entry(const char* name, const char* doc, const Param (&params)[P],
                           const Default (&defaults)[D], PyObject* (*run)(Call&) noexcept) {
    static_assert(P <= kMaxParams && D <= P, "a Call holds at most kMaxParams arguments");
    return {name, doc, params, P, defaults, D, run};
}
template <Py_ssize_t P>
constexpr Entry make_entry(const char* name, const char* doc, const Param (&params)[P],
                           Py_ssize_t n_params, PyObject* (*run)(Call&) noexcept) {
    static_assert(P <= kMaxParams, "a Call holds at most kMaxParams arguments");
    return {name, doc, params, n_params, nullptr, 0, run};
}

// ==== argument readers outside the scalar stage ==================================================

// The interned `shape`, made by module execution before any call.
bool prepare_binder_names() noexcept;

// Items 0, 1, 2 of obj, each converted as a count before the next is read.
bool to_triple(PyObject* obj, i64 (&items)[3]) noexcept;

// Item `index` of obj.shape, read before coercion and converted as a count. The shape need only
// be indexable; a missing item (IndexError, KeyError) becomes a ValueError naming the argument,
// which is expected to have `rank` dimensions.
bool shape_item(PyObject* obj, const char* name, int rank, Py_ssize_t index, i64* out) noexcept;

// ==== one call: stages 1, 2 and access to the bound arguments ====================================

struct Scalar {
    i64 count;
    std::uint64_t address;
    f64 real;
    int flag;
};

class Call {
  public:
    // param_names: the interned names in positional order; defaults: the tuple of the defaults;
    // module: where `np` is looked up.
    Call(const Entry& entry, PyObject* param_names, PyObject* defaults, PyObject* module) noexcept
        : entry_(entry), param_names_(param_names), defaults_(defaults), numpy_(module) {}

    // Stage 1: positionals fill parameters in order, keywords match by name, defaults fill the
    // rest.
    bool bind(PyObject* args, PyObject* kwargs) noexcept;
    // Stage 2: every count, address, real and flag in parameter order, before any array.
    bool convert_scalars() noexcept;

    NumPy& numpy() noexcept { return numpy_; }
    PyObject* arg(int param) const noexcept { return values_[param].get(); }
    i64 count(int param) const noexcept { return scalars_[param].count; }
    std::uint64_t address(int param) const noexcept { return scalars_[param].address; }
    f64 real(int param) const noexcept { return scalars_[param].real; }
    int flag(int param) const noexcept { return scalars_[param].flag; }

    // The address argument as a pointer to a native function.
    template <class Function>
    Function function_at(int param) const noexcept {
        static_assert(sizeof(std::uint64_t) == sizeof(Function),
                      "addresses are 64-bit function pointers");
        return reinterpret_cast<Function>(static_cast<std::uintptr_t>(address(param)));
    }

    // Coerces the named array arguments in the order given, stopping at the first failure.
    struct Slot {
        int param;
        BufferView& view;
    };
    bool coerce_each(std::initializer_list<Slot> slots) noexcept;

  private:
    PyObject* name_of(Py_ssize_t param) const noexcept {
        return PyTuple_GET_ITEM(param_names_, param);
    }
    bool positional_count_error(Py_ssize_t given) const noexcept;
    Py_ssize_t param_index(PyObject* key) const noexcept;
    bool match_keywords(PyObject* kwargs, Py_ssize_t n_pos) noexcept;
    bool stray_keyword_error(PyObject* key) const noexcept;

    const Entry& entry_;
    PyObject* param_names_;
    PyObject* defaults_;
    NumPy numpy_;
    Ref values_[kMaxParams];
    Scalar scalars_[kMaxParams]{};
};

}  // namespace velm_py

#endif
