// CPython binding of the filter kernels: the module frame, one table-driven argument binder and
// marshalling path, and the entries kalman_hot_loop, stationary_covariance, ekf_hot_loop,
// ukf_hot_loop and kalman_loglik_grad.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "kalman/kalman.h"

namespace {

constexpr const char kDottedName[] = "Velmora._ckernels.kalman._kalman";

static_assert(sizeof(long long) == sizeof(i64), "counts travel through PyLong_AsLongLong");
static_assert(sizeof(std::uint64_t) == sizeof(meas_fn), "addresses are 64-bit function pointers");

// ==== ownership helpers ==========================================================================

// An owned reference: `steal` adopts a new reference, `borrow` takes one of its own.
class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XSETREF(object_, other.release());
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A buffer export held for the lifetime of the guard; the export keeps its exporter alive.
class BufferView {
  public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // Exports from exporter, releasing any export held before.
    bool acquire(PyObject* exporter, int flags) noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    int rank() const noexcept { return view_.ndim; }
    i64 extent(int axis) const noexcept { return view_.shape[axis]; }
    Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
    const char* format() const noexcept { return view_.format ? view_.format : "B"; }
    Py_ssize_t bytes() const noexcept { return view_.len; }
    // The kernels dereference f64 pointers, which must be 8-byte aligned (C++17 [basic.align]).
    bool aligned() const noexcept {
        return reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(f64) == 0;
    }
    f64* cells() const noexcept { return static_cast<f64*>(view_.buf); }
    f64* cells_if(bool present) const noexcept { return present ? cells() : nullptr; }
    PyObject* exporter() const noexcept { return view_.obj; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the interpreter lock for the guard's lifetime (the kernel call and nothing else).
class InterpreterLockReleased {
  public:
    InterpreterLockReleased() noexcept : state_(PyEval_SaveThread()) {}
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
    ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState* state_;
};

template <class Kernel>
auto without_interpreter_lock(Kernel&& kernel) noexcept -> decltype(kernel()) {
    InterpreterLockReleased released;
    return kernel();
}

// Raises ValueError with a fixed message; false, for the boolean check chains.
bool refuse(const char* message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

// ==== module-wide constants ======================================================================

// Interned attribute names and keyword tuples, prepared once by module execution.
struct Constants {
    PyObject* np;
    PyObject* ascontiguousarray;
    PyObject* zeros;
    PyObject* empty;
    PyObject* float64;
    PyObject* shape;
    PyObject* dtype_kwnames;    // ("dtype",)
    PyObject* default_kwnames;  // ("default",), for inspect.Parameter
    PyObject* float64_type;     // numpy.float64 as imported at initialisation
    PyObject* float64_dtype;    // numpy.dtype(numpy.float64), handed to NumPy in its place
};
Constants g_constants{};

PyObject* g_module = nullptr;              // the one module of this process, once executing
PyTypeObject* g_function_type = nullptr;   // type of the module's function objects
std::int64_t g_interpreter_id = -1;        // the interpreter that first created the module

// ==== the entry table: parameters, kinds and defaults ============================================

enum class Kind : unsigned char { array, count, address, real, flag, triple };

struct Param {
    const char* name;
    Kind kind;
    int rank;       // arrays only
    bool writable;  // arrays only: false for the observation matrix
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

struct Entry {
    const char* name;
    const char* doc;
    const Param* params;
    Py_ssize_t n_params;
    const Default* defaults;  // of the last n_defaults parameters
    Py_ssize_t n_defaults;
    PyObject* (*run)(Call& call) noexcept;

    Py_ssize_t n_required() const noexcept { return n_params - n_defaults; }
};

// A function object of this module: one entry of the table plus what the host sees of it.
struct KernelFunction {
    PyObject_HEAD
    const Entry* entry;
    PyObject* module;       // strong: `np` is looked up on it at call time
    PyObject* name;         // __name__ and __qualname__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__
    PyObject* param_names;  // interned names in positional order
    PyObject* signature;    // inspect.Signature, built on first request
};

// ==== stage 2: scalar conversion =================================================================

// The integer value of x: x itself when it is an int, else its type's __int__ (a float is
// truncated toward zero); no __index__ fallback, and str has no __int__.
Ref integer_of(PyObject* x) noexcept {
    if (PyLong_Check(x)) {
        return Ref::borrow(x);
    }
    PyNumberMethods* number = Py_TYPE(x)->tp_as_number;
    Ref result = Ref::steal(number && number->nb_int ? number->nb_int(x) : nullptr);
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
    } else if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    return result;
}

bool to_count(PyObject* x, i64* out) noexcept {
    Ref value = integer_of(x);
    if (!value) {
        return false;
    }
    const long long converted = PyLong_AsLongLong(value.get());
    if (converted == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = converted;
    return true;
}

bool to_address(PyObject* x, std::uint64_t* out) noexcept {
    Ref value = integer_of(x);
    if (!value) {
        return false;
    }
    int overflow = 0;
    const long long as_signed = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (as_signed == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && as_signed < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", "size_t");
        return false;
    }
    if (overflow == 0) {
        *out = static_cast<std::uint64_t>(as_signed);
        return true;
    }
    const unsigned long long as_unsigned = PyLong_AsUnsignedLongLong(value.get());
    if (as_unsigned == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    *out = as_unsigned;
    return true;
}

bool to_real(PyObject* x, f64* out) noexcept {
    const double converted = PyFloat_AsDouble(x);
    if (converted == -1.0 && PyErr_Occurred()) {
        return false;
    }
    *out = converted;
    return true;
}

bool to_flag(PyObject* x, int* out) noexcept {
    if (x == Py_True || x == Py_False || x == Py_None) {
        *out = x == Py_True;
        return true;
    }
    const int truth = PyObject_IsTrue(x);
    *out = truth;
    return truth >= 0;
}

// obj[index] with an int key, as a subscript would do it.
Ref item_at(PyObject* obj, Py_ssize_t index) noexcept {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(key ? PyObject_GetItem(obj, key.get()) : nullptr);
}

// Items 0, 1, 2 of obj, each converted as a count before the next is read.
bool to_triple(PyObject* obj, i64 (&items)[3]) noexcept {
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = item_at(obj, i);
        if (!item || !to_count(item.get(), &items[i])) {
            return false;
        }
    }
    return true;
}

// ==== shapes ===================================================================================

struct Shape {
    int rank;
    i64 dims[3];
};

constexpr Shape dims(i64 a) { return {1, {a, 0, 0}}; }
constexpr Shape dims(i64 a, i64 b) { return {2, {a, b, 0}}; }
constexpr Shape dims(i64 a, i64 b, i64 c) { return {3, {a, b, c}}; }

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

// "(3,)", "(3, 2)", "(3, 2, 2)", as NumPy prints shapes.
struct ShapeText {
    char text[96];
    explicit ShapeText(const Shape& shape) noexcept {
        int used = std::snprintf(text, sizeof text, "(");
        for (int axis = 0; axis < shape.rank; ++axis) {
            used += std::snprintf(text + used, sizeof text - used, axis ? ", %lld" : "%lld",
                                  static_cast<long long>(shape.dims[axis]));
        }
        std::snprintf(text + used, sizeof text - used, "%s", shape.rank == 1 ? ",)" : ")");
    }
};

// Refuses an array whose coerced shape differs from the one its dimensions imply, naming both;
// the kernels index by the dimensions alone, so a mismatch would read or write out of bounds.
bool require_shape(const BufferView& view, const char* name, const char* symbols,
                   const Shape& expected) noexcept {
    if (has_shape(view, expected)) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must have shape %s = %s, got %s.", name, symbols,
                 ShapeText(expected).text, ShapeText(shape_of(view)).text);
    return false;
}

// Refuses a shape without item `index`, counting its entries when it has a length.
bool missing_shape_item(PyObject* shape, const char* name, int rank, Py_ssize_t index) noexcept {
    const char* dimensional = rank == 1 ? "one" : "two";
    const Py_ssize_t entries = PyObject_Size(shape);
    if (entries < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be %s-dimensional (its shape has no item %zd).",
                     name, dimensional, index);
        return false;
    }
    PyErr_Format(PyExc_ValueError, "%s must be %s-dimensional (its shape has %zd entries).", name,
                 dimensional, entries);
    return false;
}

// Item `index` of obj.shape, read before coercion and converted as a count. The shape need only
// be indexable; a missing item (IndexError, KeyError) becomes a ValueError naming the argument.
bool shape_item(PyObject* obj, const char* name, int rank, Py_ssize_t index, i64* out) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(obj, g_constants.shape));
    if (!shape) {
        return false;
    }
    Ref item = item_at(shape.get(), index);
    if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError)) {
            return false;
        }
        PyErr_Clear();
        return missing_shape_item(shape.get(), name, rank, index);
    }
    return to_count(item.get(), out);
}

// ==== NumPy marshalling ==========================================================================

// The members of NumPy a call uses.
enum class NumPyMember : int { ascontiguousarray, zeros, empty, float64, count };

// NumPy as one call sees it: `np` is read from the module attribute on first use in the call, and
// each member of it likewise, so a replaced `np` takes effect from the next call on.
class NumPy {
  public:
    explicit NumPy(PyObject* module) noexcept : module_(module) {}

    // np.<function>(argument, dtype=np.float64). When np.float64 is the type NumPy had at
    // initialisation, its dtype instance goes instead: the same dtype, without NumPy converting
    // the type on every call. Any other np.float64 is passed as it is.
    Ref call_float64(NumPyMember function_name, PyObject* argument) noexcept {
        PyObject* function = member(function_name);
        PyObject* float64 = function ? member(NumPyMember::float64) : nullptr;
        if (!float64) {
            return Ref();
        }
        PyObject* dtype =
            float64 == g_constants.float64_type ? g_constants.float64_dtype : float64;
        PyObject* argv[] = {argument, dtype};
        return Ref::steal(PyObject_Vectorcall(function, argv, 1, g_constants.dtype_kwnames));
    }

  private:
    PyObject* member(NumPyMember which) noexcept {
        Ref& cached = members_[static_cast<int>(which)];
        if (!cached) {
            if (!np_) {
                np_ = Ref::steal(PyObject_GetAttr(module_, g_constants.np));
            }
            PyObject* const names[] = {g_constants.ascontiguousarray, g_constants.zeros,
                                       g_constants.empty, g_constants.float64};
            cached = Ref::steal(np_ ? PyObject_GetAttr(np_.get(), names[static_cast<int>(which)])
                                    : nullptr);
        }
        return cached.get();
    }

    PyObject* module_;
    Ref np_;
    Ref members_[static_cast<int>(NumPyMember::count)];
};

bool is_native_double(const BufferView& view) noexcept {
    const char* format = view.format();
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>')) {
        ++format;
    }
    return view.itemsize() == sizeof(f64) && format[0] == 'd' && format[1] == '\0';
}

// Takes a C-contiguous buffer of native doubles of the given rank from array.
bool export_float64(PyObject* array, int rank, bool writable, BufferView& view) noexcept {
    const int flags =
        PyBUF_ND | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (!view.acquire(array, flags)) {
        return false;
    }
    if (view.rank() != rank) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", rank,
                     view.rank());
        return false;
    }
    if (!is_native_double(view)) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch, expected 'double' but got format '%s' with item "
                     "size %zd",
                     view.format(), view.itemsize());
        return false;
    }
    return true;
}

Ref shape_tuple(const Shape& shape) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(shape.rank));
    for (int axis = 0; tuple && axis < shape.rank; ++axis) {
        PyObject* extent = PyLong_FromLongLong(shape.dims[axis]);
        if (!extent) {
            return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), axis, extent);
    }
    return tuple;
}

// What np.zeros or np.empty returned must hold exactly the requested cells at an aligned
// address: the kernels write according to the dimensions alone.
bool check_allocation(const BufferView& view, NumPyMember function_name,
                      const Shape& shape) noexcept {
    const char* function = function_name == NumPyMember::zeros ? "zeros" : "empty";
    if (!has_shape(view, shape)) {
        PyErr_Format(PyExc_ValueError,
                     "np.%s returned an array of shape %s where %s was requested.", function,
                     ShapeText(shape_of(view)).text, ShapeText(shape).text);
        return false;
    }
    if (!view.aligned()) {
        PyErr_Format(PyExc_ValueError, "np.%s returned a misaligned float64 buffer.", function);
        return false;
    }
    return true;
}

// A new float64 array from np.zeros or np.empty, exported writable into view.
bool allocate_array(NumPy& np, NumPyMember function_name, const Shape& shape,
                    BufferView& view) noexcept {
    Ref tuple = shape_tuple(shape);
    Ref array = tuple ? np.call_float64(function_name, tuple.get()) : Ref();
    return array && export_float64(array.get(), shape.rank, true, view) &&
           check_allocation(view, function_name, shape);
}

// A size whose formula overflowed comes back as -1 from the sizing functions; it is refused
// before anything of the call is allocated.
bool arena_fits(arena_size size) noexcept {
    if (size.n_float >= 0) {
        return true;
    }
    PyErr_SetString(PyExc_MemoryError, "the scratch arena of these dimensions is too large.");
    return false;
}

bool allocate_arena(NumPy& np, arena_size size, BufferView& view) noexcept {
    return allocate_array(np, NumPyMember::empty, dims(size.n_float), view);
}

// np.ascontiguousarray(argument, dtype=np.float64), exported with the parameter's rank. A float64
// buffer at an address that is not 8-byte aligned (np.frombuffer at an odd offset) passes NumPy
// untouched; it is copied into a fresh array from np.empty, since the kernels read aligned f64.
bool coerce(NumPy& np, PyObject* argument, const Param& param, BufferView& view) noexcept {
    Ref array = np.call_float64(NumPyMember::ascontiguousarray, argument);
    if (!array || !export_float64(array.get(), param.rank, param.writable, view)) {
        return false;
    }
    if (view.aligned()) {
        return true;
    }
    BufferView copy;
    if (!allocate_array(np, NumPyMember::empty, shape_of(view), copy)) {
        return false;
    }
    std::memcpy(copy.cells(), view.cells(), static_cast<size_t>(view.bytes()));
    Ref aligned = Ref::borrow(copy.exporter());
    return export_float64(aligned.get(), param.rank, param.writable, view);
}

// (status, out), the result of every entry.
PyObject* status_pair(long long status, PyObject* out) noexcept {
    Ref code = Ref::steal(PyLong_FromLongLong(status));
    return code ? PyTuple_Pack(2, code.get(), out) : nullptr;
}

// The history arrays of a filter entry, allocated with np.zeros in table order.
template <int N>
class Histories {
  public:
    bool allocate(NumPy& np, const Shape (&shapes)[N]) noexcept {
        for (int i = 0; i < N; ++i) {
            if (!allocate_array(np, NumPyMember::zeros, shapes[i], arrays_[i])) {
                return false;
            }
        }
        return true;
    }
    f64* cells(int i, bool present) const noexcept { return arrays_[i].cells_if(present); }

    // (status, (history..., loglik))
    PyObject* result(long long status, f64 loglik) const noexcept {
        Ref out = Ref::steal(PyTuple_New(N + 1));
        if (!out) {
            return nullptr;
        }
        for (int i = 0; i < N; ++i) {
            PyTuple_SET_ITEM(out.get(), i, Py_NewRef(arrays_[i].exporter()));
        }
        PyObject* total = PyFloat_FromDouble(loglik);
        if (!total) {
            return nullptr;
        }
        PyTuple_SET_ITEM(out.get(), N, total);
        return status_pair(status, out.get());
    }

  private:
    BufferView arrays_[N];
};

// ==== one call: stages 1, 2 and access to the bound arguments ====================================

struct Scalar {
    i64 count;
    std::uint64_t address;
    f64 real;
    int flag;
};

class Call {
  public:
    explicit Call(const KernelFunction& function) noexcept
        : function_(function), entry_(*function.entry), numpy_(function.module) {}

    bool bind(PyObject* args, PyObject* kwargs) noexcept;
    bool convert_scalars() noexcept;

    NumPy& numpy() noexcept { return numpy_; }
    PyObject* arg(int param) const noexcept { return values_[param].get(); }
    i64 count(int param) const noexcept { return scalars_[param].count; }
    std::uint64_t address(int param) const noexcept { return scalars_[param].address; }
    f64 real(int param) const noexcept { return scalars_[param].real; }
    int flag(int param) const noexcept { return scalars_[param].flag; }

    // Coerces the named array arguments in the order given, stopping at the first failure.
    struct Slot {
        int param;
        BufferView& view;
    };
    // None is refused by name: NumPy would turn it into an array of NaN.
    bool coerce_each(std::initializer_list<Slot> slots) noexcept {
        for (const Slot& slot : slots) {
            const Param& param = entry_.params[slot.param];
            if (arg(slot.param) == Py_None) {
                PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be an array, not None",
                             entry_.name, param.name);
                return false;
            }
            if (!coerce(numpy_, arg(slot.param), param, slot.view)) {
                return false;
            }
        }
        return true;
    }

  private:
    PyObject* name_of(Py_ssize_t param) const noexcept {
        return PyTuple_GET_ITEM(function_.param_names, param);
    }
    bool positional_count_error(Py_ssize_t given) const noexcept;
    Py_ssize_t param_index(PyObject* key) const noexcept;
    bool match_keywords(PyObject* kwargs, Py_ssize_t n_pos) noexcept;
    bool stray_keyword_error(PyObject* key) const noexcept;

    const KernelFunction& function_;
    const Entry& entry_;
    NumPy numpy_;
    Ref values_[kMaxParams];
    Scalar scalars_[kMaxParams]{};
};

bool Call::positional_count_error(Py_ssize_t given) const noexcept {
    const bool too_few = given < entry_.n_required();
    const Py_ssize_t expected = too_few ? entry_.n_required() : entry_.n_params;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 entry_.name, too_few ? "at least" : "at most", expected,
                 expected == 1 ? "" : "s", given);
    return false;
}

// Two names are the same when their strings are: a str subclass is compared by its characters,
// whatever its own __hash__ or __eq__ say, and no Python code runs.
bool same_name(PyObject* name, PyObject* key) noexcept {
    return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
           PyUnicode_Compare(name, key) == 0;
}

// The parameter a keyword names, or -1. Keywords written at a call site are interned, as our
// names are, so a pointer comparison almost always decides; the string comparison is the
// fallback for names built at run time.
Py_ssize_t Call::param_index(PyObject* key) const noexcept {
    for (Py_ssize_t i = 0; i < entry_.n_params; ++i) {
        if (name_of(i) == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < entry_.n_params; ++i) {
        if (same_name(name_of(i), key)) {
            return i;
        }
    }
    return -1;
}

// Stage 1: positionals fill parameters in order, keywords match by name, defaults fill the rest.
bool Call::bind(PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t n_pos = PyTuple_GET_SIZE(args);
    if (n_pos > entry_.n_params) {
        return positional_count_error(n_pos);
    }
    for (Py_ssize_t i = 0; i < n_pos; ++i) {
        values_[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        if (!match_keywords(kwargs, n_pos)) {
            return false;
        }
    } else if (n_pos < entry_.n_required()) {
        return positional_count_error(n_pos);
    }
    for (Py_ssize_t i = entry_.n_required(); i < entry_.n_params; ++i) {
        if (!values_[i]) {
            values_[i] = Ref::borrow(PyTuple_GET_ITEM(function_.defaults, i - entry_.n_required()));
        }
    }
    return true;
}

// Every keyword, in call order, fills the free parameter it names. A required parameter left
// unfilled is reported first (as a positional-count error); then the first keyword that named no
// free parameter, if any.
bool Call::match_keywords(PyObject* kwargs, Py_ssize_t n_pos) noexcept {
    PyObject* stray = nullptr;  // borrowed from kwargs, which nothing here modifies
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const Py_ssize_t i = PyUnicode_Check(key) ? param_index(key) : -1;
        if (i >= n_pos && !values_[i]) {
            values_[i] = Ref::borrow(value);
        } else if (!stray) {
            stray = key;
        }
    }
    for (Py_ssize_t i = n_pos; i < entry_.n_required(); ++i) {
        if (!values_[i]) {
            return positional_count_error(i);
        }
    }
    return !stray || stray_keyword_error(stray);
}

// A keyword that is not a string, names a parameter that already has a value, or names none.
bool Call::stray_keyword_error(PyObject* key) const noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry_.name);
    } else if (param_index(key) >= 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     entry_.name, key);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry_.name,
                     key);
    }
    return false;
}

// Stage 2: every count, address, real and flag in parameter order, before any array is touched.
bool Call::convert_scalars() noexcept {
    for (Py_ssize_t i = 0; i < entry_.n_params; ++i) {
        PyObject* value = values_[i].get();
        bool converted = true;
        switch (entry_.params[i].kind) {
            case Kind::count: converted = to_count(value, &scalars_[i].count); break;
            case Kind::address: converted = to_address(value, &scalars_[i].address); break;
            case Kind::real: converted = to_real(value, &scalars_[i].real); break;
            case Kind::flag: converted = to_flag(value, &scalars_[i].flag); break;
            case Kind::array:
            case Kind::triple: break;
        }
        if (!converted) {
            return false;
        }
    }
    return true;
}

// ==== kalman_hot_loop and ekf_hot_loop: the shared history block ===============================

enum FilterHistory : int {
    h_x_pred, h_x_filt, h_P_pred, h_P_filt, h_y_pred, h_y_filt, h_innov, h_std_innov, h_S,
    h_eps_hat, n_filter_histories
};
using FilterHistories = Histories<n_filter_histories>;

bool allocate_filter_histories(FilterHistories& histories, NumPy& np, i64 hist_T,
                               i64 shock_T, i64 n, i64 m, i64 k) noexcept {
    const Shape shapes[n_filter_histories] = {
        dims(hist_T, n),    dims(hist_T, n), dims(hist_T, n, n), dims(hist_T, n, n),
        dims(hist_T, m),    dims(hist_T, m), dims(hist_T, m),    dims(hist_T, m),
        dims(hist_T, m, m), dims(shock_T, k),
    };
    return histories.allocate(np, shapes);
}

// kf_outputs and ekf_outputs share their fields; rows that are not stored go as null.
template <class Outputs>
Outputs point_filter_histories(const FilterHistories& h, i64 hist_T, i64 shock_T,
                               f64* loglik) noexcept {
    const bool stored = hist_T > 0;
    Outputs out{};
    out.x_pred = h.cells(h_x_pred, stored);
    out.x_filt = h.cells(h_x_filt, stored);
    out.P_pred = h.cells(h_P_pred, stored);
    out.P_filt = h.cells(h_P_filt, stored);
    out.y_pred = h.cells(h_y_pred, stored);
    out.y_filt = h.cells(h_y_filt, stored);
    out.innov = h.cells(h_innov, stored);
    out.std_innov = h.cells(h_std_innov, stored);
    out.S = h.cells(h_S, stored);
    out.eps_hat = h.cells(h_eps_hat, shock_T > 0);
    out.loglik = loglik;
    return out;
}

// ==== kalman_hot_loop ============================================================================

namespace kf {
enum : int {
    T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter, return_shocks,
    store_history
};
constexpr Param param_table[] = {
    count("T"),        triple("nmk"),         array("A", 2),        array("B", 2),
    array("C", 2),     array("d", 1),         array("Q", 2),        array("R", 2),
    observations("y"), array("x0", 1),        array("P0", 2),       flag("symmetrize"),
    flag("joseph_cov"), real("jitter"),       flag("return_shocks"), flag("store_history"),
};
constexpr Default defaults[] = {default_flag(false), default_flag(true)};
static_assert(std::size(param_table) == store_history + 1, "one table row per parameter");

constexpr const char doc[] =
    "Run the linear Kalman filter.\n"
    "\n"
    "    Array inputs are coerced to contiguous float64 here. Returns\n"
    "    ``(status, out)`` where ``status`` is a ``kalman.errors`` code (KF_OK on\n"
    "    success) and ``out`` is the history tuple + loglik; the caller maps a nonzero\n"
    "    status to the matching in-house exception.\n"
    "    ";

// Dimensions come from the arguments, so every array is compared with them before the kernel
// indexes it; y may carry more than T rows.
bool check_shapes(const BufferView& A, const BufferView& B, const BufferView& C,
                  const BufferView& d, const BufferView& Q, const BufferView& R,
                  const BufferView& y, const BufferView& x0, const BufferView& P0, i64 T, i64 n,
                  i64 m, i64 k) noexcept {
    if (!require_shape(A, "A", "(n, n)", dims(n, n)) ||
        !require_shape(B, "B", "(n, k)", dims(n, k)) ||
        !require_shape(C, "C", "(m, n)", dims(m, n)) ||
        !require_shape(d, "d", "(m,)", dims(m)) ||
        !require_shape(Q, "Q", "(k, k)", dims(k, k)) ||
        !require_shape(R, "R", "(m, m)", dims(m, m))) {
        return false;
    }
    if (T > 0 && (y.extent(0) < T || y.extent(1) != m)) {
        PyErr_Format(PyExc_ValueError,
                     "y must have m = %lld columns and at least T = %lld rows, got %s.",
                     static_cast<long long>(m), static_cast<long long>(T),
                     ShapeText(shape_of(y)).text);
        return false;
    }
    return require_shape(x0, "x0", "(n,)", dims(n)) &&
           require_shape(P0, "P0", "(n, n)", dims(n, n));
}

// The model of a linear-filter call: T and (n, m, k) from the arguments, and the nine arrays
// coerced and checked against them. kalman_hot_loop and kalman_loglik_grad share it.
struct LinearModel {
    i64 T, n, m, k;
    BufferView A, B, C, d, Q, R, y, x0, P0;
};

bool read_model(Call& call, LinearModel& md) noexcept {
    i64 nmk_items[3];
    if (!to_triple(call.arg(nmk), nmk_items)) {
        return false;
    }
    md.n = nmk_items[0];
    md.m = nmk_items[1];
    md.k = nmk_items[2];
    if (md.n < 0 || md.m < 0 || md.k < 0) {
        PyErr_Format(PyExc_ValueError,
                     "nmk must hold non-negative dimensions (n, m, k), got (%lld, %lld, %lld).",
                     static_cast<long long>(md.n), static_cast<long long>(md.m),
                     static_cast<long long>(md.k));
        return false;
    }
    md.T = call.count(T);
    return call.coerce_each({{A, md.A}, {B, md.B}, {C, md.C}, {d, md.d}, {Q, md.Q}, {R, md.R},
                             {y, md.y}, {x0, md.x0}, {P0, md.P0}}) &&
           check_shapes(md.A, md.B, md.C, md.d, md.Q, md.R, md.y, md.x0, md.P0, md.T, md.n, md.m,
                        md.k);
}

// kf_inputs of the model and the converted flags; the history flags are left for the caller.
kf_inputs model_inputs(const Call& call, const LinearModel& model) noexcept {
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

PyObject* run(Call& call) noexcept {
    LinearModel model;
    if (!read_model(call, model)) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k, steps = model.T;
    const i64 hist_T = call.flag(store_history) ? steps : 0;
    const i64 shock_T = call.flag(store_history) && call.flag(return_shocks) ? steps : 0;
    const arena_size size = kf_arena_size(n, m, k);
    FilterHistories histories;
    BufferView arena;
    if (!arena_fits(size) ||
        !allocate_filter_histories(histories, call.numpy(), hist_T, shock_T, n, m, k) ||
        !allocate_arena(call.numpy(), size, arena)) {
        return nullptr;
    }

    f64 loglik = 0.0;
    kf_inputs in = model_inputs(call, model);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    kf_outputs out = point_filter_histories<kf_outputs>(histories, hist_T, shock_T, &loglik);
    f64* scratch = arena.cells();

    const int status = without_interpreter_lock([&] { return kf_hot_loop(&in, scratch, &out); });
    return histories.result(status, loglik);
}
}  // namespace kf

// ==== stationary_covariance ======================================================================

namespace sc {
enum : int { A, B, Q, tolerance, max_iterations };
constexpr Param param_table[] = {
    array("A", 2), array("B", 2), array("Q", 2), real("tolerance"), count("max_iterations"),
};
constexpr Default defaults[] = {default_real(1e-12), default_count(64)};
static_assert(std::size(param_table) == max_iterations + 1, "one table row per parameter");

constexpr const char doc[] = "Solve ``P = A P A.T + B Q B.T`` and return ``(status, P)``.";

// The dimensions come from the coerced arrays: n from the rows of A, k from the columns of B.
bool check_shapes(const BufferView& A, const BufferView& B, const BufferView& Q) noexcept {
    const i64 n = A.extent(0), k = B.extent(1);
    if (n < 1 || k < 1) {
        return refuse("A and B must have positive state and shock dimensions.");
    }
    if (A.extent(1) != n) {
        return refuse("A must be square.");
    }
    if (B.extent(0) != n) {
        return refuse("B must have the same row count as A.");
    }
    if (Q.extent(0) != k || Q.extent(1) != k) {
        return refuse("Q must be square with dimension B.shape[1].");
    }
    return true;
}

PyObject* run(Call& call) noexcept {
    BufferView a, b, q;
    if (!call.coerce_each({{A, a}, {B, b}, {Q, q}}) || !check_shapes(a, b, q)) {
        return nullptr;
    }
    const i64 n = a.extent(0), k = b.extent(1);
    const arena_size size = kf_stationary_covariance_arena_size(n, k);
    BufferView P, arena;
    if (!arena_fits(size) || !allocate_array(call.numpy(), NumPyMember::empty, dims(n, n), P) ||
        !allocate_arena(call.numpy(), size, arena)) {
        return nullptr;
    }

    const f64 tol = call.real(tolerance);
    const i64 max_iter = call.count(max_iterations);
    const f64 *A_cells = a.cells(), *B_cells = b.cells(), *Q_cells = q.cells();
    f64 *scratch = arena.cells(), *P_cells = P.cells();
    const int status = without_interpreter_lock([&] {
        return kf_stationary_covariance(A_cells, B_cells, Q_cells, tol, max_iter, scratch,
                                        P_cells, n, k, n);
    });
    return status_pair(status, P.exporter());
}
}  // namespace sc

// ==== ekf_hot_loop ===============================================================================

namespace ekf {
enum : int {
    meas_addr, jac_addr, A, B, calib_params, Q, R, y, x0, P0, symmetrize, joseph_cov, jitter,
    compute_y_filt, return_shocks, store_history
};
constexpr Param param_table[] = {
    address("meas_addr"), address("jac_addr"),   array("A", 2),
    array("B", 2),        array("calib_params", 1), array("Q", 2),
    array("R", 2),        observations("y"),     array("x0", 1),
    array("P0", 2),       flag("symmetrize"),    flag("joseph_cov"),
    real("jitter"),       flag("compute_y_filt"), flag("return_shocks"),
    flag("store_history"),
};
constexpr Default defaults[] = {default_flag(true), default_flag(false), default_flag(true)};
static_assert(std::size(param_table) == store_history + 1, "one table row per parameter");

constexpr const char doc[] =
    "Run the native extended Kalman filter (linear transition, nonlinear\n"
    "    measurement via the ``meas``/``jac`` @cfunc addresses).\n"
    "\n"
    "    ``meas_addr``/``jac_addr`` are real-valued @cfunc addresses with signature\n"
    "    ``void(double* x, double* params, double* out)``: ``meas`` writes\n"
    "    ``out[m]``, ``jac`` writes the (m, n) row-major jacobian. Array inputs are\n"
    "    coerced to contiguous float64 here. Returns ``(status, out)`` with the\n"
    "    history tuple + loglik; the caller maps a nonzero status to the matching\n"
    "    in-house exception.\n"
    "    ";

struct Dimensions {
    i64 n, k, T, m, n_par;
};

// n, k, T, m, n_par from the `shape` of the arguments as passed, in that order.
bool read_dimensions(const Call& call, Dimensions& dim) noexcept {
    return shape_item(call.arg(A), "A", 2, 0, &dim.n) &&
           shape_item(call.arg(B), "B", 2, 1, &dim.k) &&
           shape_item(call.arg(y), "y", 2, 0, &dim.T) &&
           shape_item(call.arg(y), "y", 2, 1, &dim.m) &&
           shape_item(call.arg(calib_params), "calib_params", 1, 0, &dim.n_par);
}

bool check_addresses(const Call& call) noexcept {
    return (call.address(meas_addr) != 0 && call.address(jac_addr) != 0) ||
           refuse("ekf_hot_loop requires nonzero measurement and jacobian function addresses.");
}

// The coerced arrays must match the shapes read before coercion (a `shape` attribute may
// disagree with the data) and the shapes those dimensions imply for the other arrays.
bool check_shapes(const BufferView& A, const BufferView& B, const BufferView& Q,
                  const BufferView& R, const BufferView& y, const BufferView& x0,
                  const BufferView& P0, const BufferView& calib_params,
                  const Dimensions& dim) noexcept {
    const i64 n = dim.n, k = dim.k, m = dim.m;
    return require_shape(A, "A", "(n, n)", dims(n, n)) &&
           require_shape(B, "B", "(n, k)", dims(n, k)) &&
           require_shape(Q, "Q", "(k, k)", dims(k, k)) &&
           require_shape(R, "R", "(m, m)", dims(m, m)) &&
           require_shape(y, "y", "(T, m)", dims(dim.T, m)) &&
           require_shape(x0, "x0", "(n,)", dims(n)) &&
           require_shape(P0, "P0", "(n, n)", dims(n, n)) &&
           require_shape(calib_params, "calib_params", "(n_par,)", dims(dim.n_par));
}

PyObject* run(Call& call) noexcept {
    Dimensions dim{};
    if (!read_dimensions(call, dim) || !check_addresses(call)) {
        return nullptr;
    }
    const i64 hist_T = call.flag(store_history) ? dim.T : 0;
    const i64 shock_T = call.flag(store_history) && call.flag(return_shocks) ? dim.T : 0;

    BufferView a, b, q, r, obs, x_0, p_0, par;
    if (!call.coerce_each({{A, a}, {B, b}, {Q, q}, {R, r}, {y, obs}, {x0, x_0}, {P0, p_0},
                           {calib_params, par}}) ||
        !check_shapes(a, b, q, r, obs, x_0, p_0, par, dim)) {
        return nullptr;
    }
    const arena_size size = ekf_arena_size(dim.n, dim.m, dim.k);
    FilterHistories histories;
    BufferView arena;
    if (!arena_fits(size) ||
        !allocate_filter_histories(histories, call.numpy(), hist_T, shock_T, dim.n, dim.m,
                                   dim.k) ||
        !allocate_arena(call.numpy(), size, arena)) {
        return nullptr;
    }

    f64 loglik = 0.0;
    ekf_inputs in{};
    in.meas = reinterpret_cast<meas_fn>(static_cast<std::uintptr_t>(call.address(meas_addr)));
    in.jac = reinterpret_cast<meas_fn>(static_cast<std::uintptr_t>(call.address(jac_addr)));
    in.A = a.cells();
    in.B = b.cells();
    in.calib_params = par.cells_if(dim.n_par > 0);
    in.Q = q.cells();
    in.R = r.cells();
    in.y = obs.cells_if(dim.T > 0);
    in.x0 = x_0.cells();
    in.P0 = p_0.cells();
    in.T = dim.T;
    in.n = dim.n;
    in.m = dim.m;
    in.k = dim.k;
    in.n_par = dim.n_par;
    in.jitter = call.real(jitter);
    in.symmetrize = call.flag(symmetrize);
    in.joseph_cov = call.flag(joseph_cov);
    in.compute_y_filt = call.flag(compute_y_filt);
    in.return_shocks = call.flag(return_shocks);
    in.store_history = call.flag(store_history);
    ekf_outputs out = point_filter_histories<ekf_outputs>(histories, hist_T, shock_T, &loglik);
    f64* scratch = arena.cells();

    const int status = without_interpreter_lock([&] { return ekf_hot_loop(&in, scratch, &out); });
    return histories.result(status, loglik);
}
}  // namespace ekf

// ==== ukf_hot_loop ===============================================================================

namespace ukf {
enum : int {
    meas_addr, hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, steady_state, params, Q, R,
    obs, z0, P0, alpha, beta, kappa, jitter, symmetrize, store_history
};
constexpr Param param_table[] = {
    address("meas_addr"), array("hx", 2),     array("gx", 2),  array("bu", 2),
    array("hxx", 3),      array("gxx", 3),    array("hxu", 3), array("gxu", 3),
    array("huu", 3),      array("guu", 3),    array("hss", 1), array("gss", 1),
    array("steady_state", 1), array("params", 1), array("Q", 2), array("R", 2),
    observations("obs"),  array("z0", 1),     array("P0", 2),  real("alpha"),
    real("beta"),         real("kappa"),      real("jitter"),  flag("symmetrize"),
    flag("store_history"),
};
constexpr Default defaults[] = {default_flag(true), default_flag(true)};
static_assert(std::size(param_table) == store_history + 1, "one table row per parameter");

constexpr const char doc[] =
    "Run the native second-order UKF hot loop.\n"
    "\n"
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature\n"
    "    ``void(double* vars, double* params, double* out)``. Array inputs are coerced\n"
    "    to contiguous float64 here. Returns ``(status, out)``; the caller maps a\n"
    "    nonzero status to the matching in-house exception.\n"
    "\n"
    "    ``bu`` spans every variable rather than the state block: a control responds\n"
    "    to an innovation contemporaneously. ``hxu``/``gxu`` and ``huu``/``guu`` are\n"
    "    the quadratic blocks the shocks earn once they are no longer states.\n"
    "    ";

enum UkfHistory : int {
    h_x1_pred, h_x2_pred, h_x1_filt, h_x2_filt, h_x_pred, h_x_filt, h_P_pred, h_P_filt,
    h_y_pred, h_y_filt, h_innov, h_std_innov, h_S, n_histories
};

// The coerced arrays, in parameter order.
struct Arrays {
    BufferView hx, gx, bu, hxx, gxx, hxu, gxu, huu, guu, hss, gss, steady_state, params, Q, R,
        obs, z0, P0;
};

struct Dimensions {
    i64 n_state, n_ctrl, n_exog, n_obs, n_params, T;
};

bool check_shapes(const Call& call, const Arrays& a, const Dimensions& dim) noexcept {
    if (call.address(meas_addr) == 0) {
        return refuse("ukf_hot_loop requires a nonzero measurement function address.");
    }
    if (dim.n_state < 1) {
        return refuse("hx must have at least one state.");
    }
    if (dim.n_obs < 1) {
        return refuse("obs must have at least one observable column.");
    }
    const i64 ns = dim.n_state, nc = dim.n_ctrl, ne = dim.n_exog, no = dim.n_obs;
    const struct {
        const BufferView& view;
        Shape shape;
        const char* message;
    } rules[] = {
        {a.hx, dims(ns, ns), "hx must have shape (n_state, n_state)."},
        {a.bu, dims(ns + nc, ne), "bu must have shape (n_state + n_ctrl, n_exog)."},
        {a.gx, dims(nc, ns), "gx must have shape (n_ctrl, n_state)."},
        {a.hxx, dims(ns, ns, ns), "hxx must have shape (n_state, n_state, n_state)."},
        {a.gxx, dims(nc, ns, ns), "gxx must have shape (n_ctrl, n_state, n_state)."},
        {a.hxu, dims(ns, ns, ne), "hxu must have shape (n_state, n_state, n_exog)."},
        {a.gxu, dims(nc, ns, ne), "gxu must have shape (n_ctrl, n_state, n_exog)."},
        {a.huu, dims(ns, ne, ne), "huu must have shape (n_state, n_exog, n_exog)."},
        {a.guu, dims(nc, ne, ne), "guu must have shape (n_ctrl, n_exog, n_exog)."},
        {a.hss, dims(ns), "hss must have shape (n_state,)."},
        {a.gss, dims(nc), "gss must have shape (n_ctrl,)."},
        {a.steady_state, dims(ns + nc), "steady_state must have shape (n_state + n_ctrl,)."},
        {a.Q, dims(ne, ne), "Q must have shape (n_exog, n_exog)."},
        {a.R, dims(no, no), "R must have shape (n_obs, n_obs)."},
        {a.z0, dims(2 * ns), "z0 must have shape (2 * n_state,)."},
        {a.P0, dims(2 * ns, 2 * ns), "P0 must have shape (2 * n_state, 2 * n_state)."},
    };
    for (const auto& rule : rules) {
        if (!has_shape(rule.view, rule.shape)) {
            return refuse(rule.message);
        }
    }
    return true;
}

// Empty blocks go to the loop as null addresses.
ukf_inputs point_inputs(const Call& call, const Arrays& a, const Dimensions& dim) noexcept {
    const bool shocks = dim.n_exog > 0, controls = dim.n_ctrl > 0;
    ukf_inputs in{};
    in.meas = reinterpret_cast<meas_fn>(static_cast<std::uintptr_t>(call.address(meas_addr)));
    in.hx = a.hx.cells();
    in.gx = a.gx.cells_if(controls);
    in.bu = a.bu.cells_if(shocks);
    in.hxx = a.hxx.cells();
    in.gxx = a.gxx.cells_if(controls);
    in.hxu = a.hxu.cells_if(shocks);
    in.gxu = a.gxu.cells_if(shocks && controls);
    in.huu = a.huu.cells_if(shocks);
    in.guu = a.guu.cells_if(shocks && controls);
    in.hss = a.hss.cells();
    in.gss = a.gss.cells_if(controls);
    in.steady_state = a.steady_state.cells();
    in.params = a.params.cells_if(dim.n_params > 0);
    in.Q = a.Q.cells_if(shocks);
    in.R = a.R.cells();
    in.obs = a.obs.cells_if(dim.T > 0);
    in.z0 = a.z0.cells();
    in.P0 = a.P0.cells();
    in.T = dim.T;
    in.n_state = dim.n_state;
    in.n_ctrl = dim.n_ctrl;
    in.n_exog = dim.n_exog;
    in.n_obs = dim.n_obs;
    in.n_params = dim.n_params;
    in.alpha = call.real(alpha);
    in.beta = call.real(beta);
    in.kappa = call.real(kappa);
    in.jitter = call.real(jitter);
    in.symmetrize = call.flag(symmetrize);
    in.store_history = call.flag(store_history);
    return in;
}

PyObject* run(Call& call) noexcept {
    Arrays a;
    if (!call.coerce_each({{hx, a.hx}, {gx, a.gx}, {bu, a.bu}, {hxx, a.hxx}, {gxx, a.gxx},
                           {hxu, a.hxu}, {gxu, a.gxu}, {huu, a.huu}, {guu, a.guu},
                           {hss, a.hss}, {gss, a.gss}, {steady_state, a.steady_state},
                           {params, a.params}, {Q, a.Q}, {R, a.R}, {obs, a.obs}, {z0, a.z0},
                           {P0, a.P0}})) {
        return nullptr;
    }
    const Dimensions dim{a.hx.extent(0),     a.gx.extent(0),  a.bu.extent(1),
                         a.obs.extent(1),    a.params.extent(0), a.obs.extent(0)};
    if (!check_shapes(call, a, dim)) {
        return nullptr;
    }
    const i64 nz = 2 * dim.n_state, nv = dim.n_state + dim.n_ctrl, no = dim.n_obs;
    const i64 hist_T = call.flag(store_history) ? dim.T : 0;
    const Shape shapes[n_histories] = {
        dims(hist_T, dim.n_state), dims(hist_T, dim.n_state), dims(hist_T, dim.n_state),
        dims(hist_T, dim.n_state), dims(hist_T, nv),          dims(hist_T, nv),
        dims(hist_T, nz, nz),      dims(hist_T, nz, nz),      dims(hist_T, no),
        dims(hist_T, no),          dims(hist_T, no),          dims(hist_T, no),
        dims(hist_T, no, no),
    };
    const arena_size size = ukf_arena_size(dim.n_state, dim.n_ctrl, dim.n_exog, dim.n_obs);
    Histories<n_histories> histories;
    BufferView arena;
    if (!arena_fits(size) || !histories.allocate(call.numpy(), shapes) ||
        !allocate_arena(call.numpy(), size, arena)) {
        return nullptr;
    }

    f64 loglik = 0.0;
    const ukf_inputs in = point_inputs(call, a, dim);
    const bool stored = hist_T > 0;
    ukf_outputs out{};
    out.x1_pred = histories.cells(h_x1_pred, stored);
    out.x2_pred = histories.cells(h_x2_pred, stored);
    out.x1_filt = histories.cells(h_x1_filt, stored);
    out.x2_filt = histories.cells(h_x2_filt, stored);
    out.x_pred = histories.cells(h_x_pred, stored);
    out.x_filt = histories.cells(h_x_filt, stored);
    out.P_pred = histories.cells(h_P_pred, stored);
    out.P_filt = histories.cells(h_P_filt, stored);
    out.y_pred = histories.cells(h_y_pred, stored);
    out.y_filt = histories.cells(h_y_filt, stored);
    out.innov = histories.cells(h_innov, stored);
    out.std_innov = histories.cells(h_std_innov, stored);
    out.S = histories.cells(h_S, stored);
    out.loglik = &loglik;
    f64* scratch = arena.cells();

    const i64 status = without_interpreter_lock([&] { return ukf_hot_loop(&in, scratch, &out); });
    return histories.result(status, loglik);
}
}  // namespace ukf

// ==== kalman_loglik_grad =========================================================================

namespace kfg {
// The first 14 parameters of kalman_hot_loop, all required: the arguments of the log-likelihood.
constexpr const Param* param_table = kf::param_table;
constexpr Py_ssize_t n_params = kf::jitter + 1;

constexpr const char doc[] =
    "Log-likelihood of the linear Kalman filter and its gradient.\n"
    "\n"
    "    Takes the arguments of ``kalman_hot_loop`` without the history flags, coerced and\n"
    "    checked as there. Returns ``(status, loglik, grads)`` where ``status`` is a\n"
    "    ``kalman.errors`` code (KF_OK on success), ``loglik`` the log-likelihood that\n"
    "    ``kalman_hot_loop`` returns and ``grads`` the tuple of its gradients with respect to\n"
    "    ``A, B, C, d, Q, R, x0, P0``, each of its argument's shape. On a nonzero status\n"
    "    ``loglik`` sums the periods before the failure and every gradient is zero.\n"
    "    ";

enum Gradient : int { g_A, g_B, g_C, g_d, g_Q, g_R, g_x0, g_P0, n_gradients };

PyObject* run(Call& call) noexcept {
    kf::LinearModel model;
    if (!kf::read_model(call, model)) {
        return nullptr;
    }
    const i64 n = model.n, m = model.m, k = model.k;
    const arena_size size = kf_loglik_grad_arena_size(n, m, k, model.T);
    if (!arena_fits(size)) {
        return nullptr;
    }
    const Shape shapes[n_gradients] = {dims(n, n), dims(n, k), dims(m, n), dims(m),
                                       dims(k, k), dims(m, m), dims(n),    dims(n, n)};
    BufferView grads[n_gradients];
    for (int i = 0; i < n_gradients; ++i) {
        if (!allocate_array(call.numpy(), NumPyMember::empty, shapes[i], grads[i])) {
            return nullptr;
        }
    }
    BufferView arena;
    if (!allocate_arena(call.numpy(), size, arena)) {
        return nullptr;
    }

    f64 loglik = 0.0;
    const kf_inputs in = kf::model_inputs(call, model);
    kf_grad_outputs out{&loglik,           grads[g_A].cells(), grads[g_B].cells(),
                        grads[g_C].cells(), grads[g_d].cells(), grads[g_Q].cells(),
                        grads[g_R].cells(), grads[g_x0].cells(), grads[g_P0].cells()};
    f64* scratch = arena.cells();

    const int status =
        without_interpreter_lock([&] { return kf_loglik_grad(&in, scratch, &out); });
    Ref tuple = Ref::steal(PyTuple_New(n_gradients));
    for (int i = 0; tuple && i < n_gradients; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(grads[i].exporter()));
    }
    Ref code = Ref::steal(tuple ? PyLong_FromLong(status) : nullptr);
    Ref total = Ref::steal(code ? PyFloat_FromDouble(loglik) : nullptr);
    return total ? PyTuple_Pack(3, code.get(), total.get(), tuple.get()) : nullptr;
}
}  // namespace kfg

// The module's functions, in the order they are bound.
constexpr Entry kEntries[] = {
    {"kalman_hot_loop", kf::doc, kf::param_table, std::size(kf::param_table), kf::defaults,
     std::size(kf::defaults), kf::run},
    {"stationary_covariance", sc::doc, sc::param_table, std::size(sc::param_table), sc::defaults,
     std::size(sc::defaults), sc::run},
    {"ekf_hot_loop", ekf::doc, ekf::param_table, std::size(ekf::param_table), ekf::defaults,
     std::size(ekf::defaults), ekf::run},
    {"ukf_hot_loop", ukf::doc, ukf::param_table, std::size(ukf::param_table), ukf::defaults,
     std::size(ukf::defaults), ukf::run},
    {"kalman_loglik_grad", kfg::doc, kfg::param_table, kfg::n_params, nullptr, 0, kfg::run},
};

constexpr bool every_entry_fits_a_call() {
    for (const Entry& entry : kEntries) {
        if (entry.n_params > kMaxParams) {
            return false;
        }
    }
    return true;
}
static_assert(every_entry_fits_a_call(), "a Call holds at most kMaxParams arguments");

// ==== the function type ==========================================================================

KernelFunction* as_function(PyObject* self) noexcept {
    return reinterpret_cast<KernelFunction*>(self);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    const KernelFunction& function = *as_function(self);
    Call call(function);
    if (!call.bind(args, kwargs) || !call.convert_scalars()) {
        return nullptr;
    }
    return function.entry->run(call);
}

// getattr(owner, name), or null when owner is null or the lookup fails.
Ref attribute(const Ref& owner, const char* name) noexcept {
    return Ref::steal(owner ? PyObject_GetAttrString(owner.get(), name) : nullptr);
}

// inspect.Signature of positional-or-keyword parameters with the tabled defaults.
PyObject* build_signature(const KernelFunction& function) noexcept {
    const Entry& entry = *function.entry;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = attribute(inspect, "Parameter");
    Ref kind = attribute(parameter, "POSITIONAL_OR_KEYWORD");
    Ref signature = attribute(inspect, "Signature");
    Ref parameters = Ref::steal(kind && signature ? PyList_New(entry.n_params) : nullptr);
    if (!parameters) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < entry.n_params; ++i) {
        const Py_ssize_t default_index = i - entry.n_required();
        PyObject* argv[] = {PyTuple_GET_ITEM(function.param_names, i), kind.get(),
                            default_index >= 0 ? PyTuple_GET_ITEM(function.defaults, default_index)
                                               : nullptr};
        PyObject* item = PyObject_Vectorcall(
            parameter.get(), argv, 2, default_index >= 0 ? g_constants.default_kwnames : nullptr);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(parameters.get(), i, item);
    }
    return PyObject_CallOneArg(signature.get(), parameters.get());
}

PyObject* function_signature(PyObject* self, void*) noexcept {
    KernelFunction* function = as_function(self);
    if (!function->signature) {
        // Building may release the interpreter lock (the import), so another thread may have
        // stored a signature meanwhile; the first one stored is kept.
        PyObject* built = build_signature(*function);
        if (!built) {
            return nullptr;
        }
        if (function->signature) {
            Py_DECREF(built);
        } else {
            function->signature = built;
        }
    }
    return Py_NewRef(function->signature);
}

// Pickles by reference, as built-in functions do: the name alone tells pickle to look the object
// up as a global of __module__ when loading, and copy and deepcopy to return the object itself.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->name);
}

// A descriptor that never binds, like a built-in function stored on a class; being one is also
// what makes inspect.isroutine true, so that help() prints the signature.
PyObject* function_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native function %U of module %s>", as_function(self)->name,
                                kDottedName);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    KernelFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->module);
    Py_VISIT(function->name);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->param_names);
    Py_VISIT(function->signature);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    KernelFunction* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->name);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->param_names);
    Py_CLEAR(function->signature);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT_EX, offsetof(KernelFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT_EX, offsetof(KernelFunction, name), READONLY, nullptr},
    {"__doc__", T_OBJECT_EX, offsetof(KernelFunction, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT_EX, offsetof(KernelFunction, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// No Py_tp_doc: the per-object __doc__ member must stay the type's __doc__ entry. __module__
// comes from the dotted type name and is read through the type by every instance.
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "Velmora._ckernels.kalman._kalman.native_function",
    sizeof(KernelFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref default_value(const Default& value) noexcept {
    switch (value.type) {
        case Default::Type::boolean: return Ref::steal(PyBool_FromLong(value.value != 0.0));
        case Default::Type::real: return Ref::steal(PyFloat_FromDouble(value.value));
        case Default::Type::integer:
            return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value.value)));
    }
    return Ref();
}

Ref defaults_tuple(const Entry& entry) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(entry.n_defaults));
    for (Py_ssize_t i = 0; tuple && i < entry.n_defaults; ++i) {
        Ref value = default_value(entry.defaults[i]);
        if (!value) {
            return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), i, value.release());
    }
    return tuple;
}

Ref param_names(const Entry& entry) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(entry.n_params));
    for (Py_ssize_t i = 0; tuple && i < entry.n_params; ++i) {
        PyObject* name = PyUnicode_InternFromString(entry.params[i].name);
        if (!name) {
            return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), i, name);
    }
    return tuple;
}

Ref new_function(const Entry& entry, PyObject* module) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(entry.name));
    Ref doc = Ref::steal(PyUnicode_FromString(entry.doc));
    Ref defaults = defaults_tuple(entry);
    Ref names = param_names(entry);
    if (!name || !doc || !defaults || !names) {
        return Ref();
    }
    KernelFunction* function = PyObject_GC_New(KernelFunction, g_function_type);
    if (!function) {
        return Ref();
    }
    function->entry = &entry;
    function->module = Py_NewRef(module);
    function->name = name.release();
    function->doc = doc.release();
    function->defaults = defaults.release();
    function->param_names = names.release();
    function->signature = nullptr;
    PyObject_GC_Track(function);
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

// ==== module creation and execution ==============================================================

bool intern(PyObject** slot, const char* text) noexcept {
    Py_XSETREF(*slot, PyUnicode_InternFromString(text));
    return *slot != nullptr;
}

bool keyword_tuple(PyObject** slot, const char* keyword) noexcept {
    Py_XSETREF(*slot, Py_BuildValue("(s)", keyword));
    return *slot != nullptr;
}

// Creation step 1: the module binds itself to the first interpreter that creates it.
bool check_single_interpreter() noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// module.__dict__[to] = module_spec.<from>; an attribute the module_spec lacks is skipped.
bool copy_spec_attribute(PyObject* module_spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    return (!allow_none && value.get() == Py_None) ||
           PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    if (!check_single_interpreter()) {
        return nullptr;
    }
    if (g_module) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    Ref module = Ref::steal(name ? PyModule_NewObject(name.get()) : nullptr);
    PyObject* dict = module ? PyModule_GetDict(module.get()) : nullptr;
    if (!dict || !copy_spec_attribute(module_spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(module_spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(module_spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(module_spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// Execution step 2: a build for another interpreter version warns but goes on.
bool warn_on_version_mismatch() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kDottedName, "does not match",
                            major, minor) == 0;
}

// Execution step 3: interned names, keyword tuples and the function type.
bool prepare_constants(PyObject* module) noexcept {
    Constants& c = g_constants;
    if (!intern(&c.np, "np") || !intern(&c.ascontiguousarray, "ascontiguousarray") ||
        !intern(&c.zeros, "zeros") || !intern(&c.empty, "empty") ||
        !intern(&c.float64, "float64") || !intern(&c.shape, "shape") ||
        !keyword_tuple(&c.dtype_kwnames, "dtype") ||
        !keyword_tuple(&c.default_kwnames, "default")) {
        return false;
    }
    Py_XSETREF(g_function_type, reinterpret_cast<PyTypeObject*>(
                                    PyType_FromModuleAndSpec(module, &function_spec, nullptr)));
    return g_function_type != nullptr;
}

// Execution step 4.
bool register_module(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kDottedName);
    return present || PyDict_SetItemString(modules, kDottedName, module) == 0;
}

// Execution step 5: import numpy as np; keep numpy.float64 and its dtype for call_float64.
bool import_numpy(PyObject* module) noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyObject_SetAttr(module, g_constants.np, numpy.get()) != 0) {
        return false;
    }
    Ref float64 = Ref::steal(PyObject_GetAttr(numpy.get(), g_constants.float64));
    Ref dtype_type = attribute(numpy, "dtype");
    Ref dtype = Ref::steal(float64 && dtype_type
                               ? PyObject_CallOneArg(dtype_type.get(), float64.get())
                               : nullptr);
    if (!dtype) {
        return false;
    }
    Py_XSETREF(g_constants.float64_type, float64.release());
    Py_XSETREF(g_constants.float64_dtype, dtype.release());
    return true;
}

// Execution step 6.
bool bind_functions(PyObject* module) noexcept {
    for (const Entry& entry : kEntries) {
        Ref function = new_function(entry, module);
        if (!function || PyModule_AddObjectRef(module, entry.name, function.get()) != 0) {
            return false;
        }
    }
    return true;
}

int module_exec(PyObject* module) noexcept {
    if (g_module) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_kalman' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (warn_on_version_mismatch() && prepare_constants(module) && register_module(module) &&
        import_numpy(module) && bind_functions(module)) {
        return 0;
    }
    Py_CLEAR(g_module);  // a failed import may be tried again
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init Velmora._ckernels.kalman._kalman");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kalman",
    "Native binding of the linear Kalman filter's hot loop. It allocates the history output\n"
    "arrays, marshals the NumPy buffers into the ``kf_inputs``/``kf_outputs`` records, runs\n"
    "``kf_hot_loop`` without the interpreter lock, and hands the status code back for\n"
    "``KalmanFilter.run`` to translate into its exceptions. Its public signature and return\n"
    "shape match the package's just-in-time-compiled ``_kalman_hot_loop``, so that the two are\n"
    "interchangeable at the call site.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kalman(void) noexcept { return PyModuleDef_Init(&module_def); }
