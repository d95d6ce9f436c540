// NumPy marshalling: the per-call view of `np`, float64 exports, coercion and checked allocation.
#include "_python/numpy_io.h"

#include <cstring>
#include <iterator>

#include "_python/errors.h"

namespace velm_py {

namespace {

constexpr const char* kMemberNames[] = {"ascontiguousarray", "zeros", "empty", "float64"};
static_assert(std::size(kMemberNames) == static_cast<size_t>(NumPyMember::count),
              "one name per member");

// Interned names, the keyword tuple and NumPy's float64, made by module execution and held for
// the life of the process in plain pointers (nothing of Python runs at process exit).
struct Names {
    PyObject* np;
    PyObject* members[static_cast<int>(NumPyMember::count)];  // in NumPyMember order
    PyObject* dtype_kwnames;  // ("dtype",)
    PyObject* float64_type;   // numpy.float64 as imported at initialisation
    PyObject* float64_dtype;  // numpy.dtype(numpy.float64), handed to NumPy in its place
    PyObject* ascontiguousarray;  // numpy.ascontiguousarray as imported at initialisation
    PyObject* ndarray_type;       // numpy.ndarray
};
Names g_names{};

bool is_native_double(const BufferView& view) noexcept {
    const char* format = view.format();
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>')) {
        ++format;
    }
    return view.itemsize() == sizeof(f64) && format[0] == 'd' && format[1] == '\0';
}

Ref shape_tuple(const Shape& shape) noexcept {
    return tuple_of(shape.rank,
                    [&](Py_ssize_t axis) { return PyLong_FromLongLong(shape.dims[axis]); });
}

bool check_allocation(const BufferView& view, NumPyMember function_name,
                      const Shape& shape) noexcept {
    const char* function = kMemberNames[static_cast<int>(function_name)];
    if (!has_shape(view, shape)) {
        return refuse(PyExc_ValueError,
                      "np.%s returned an array of shape %s where %s was requested.", function,
                      ShapeText(shape_of(view)).text, ShapeText(shape).text);
    }
    return view.aligned() ||
           refuse(PyExc_ValueError, "np.%s returned a misaligned float64 buffer.", function);
}

}  // namespace

bool prepare_numpy_names() noexcept {
    for (int i = 0; i < static_cast<int>(NumPyMember::count); ++i) {
        if (!replace(g_names.members[i], PyUnicode_InternFromString(kMemberNames[i]))) {
            return false;
        }
    }
    return replace(g_names.np, PyUnicode_InternFromString("np")) &&
           replace(g_names.dtype_kwnames, keyword_names("dtype").release());
}

bool bind_numpy(PyObject* module, PyObject* numpy) noexcept {
    if (PyObject_SetAttr(module, g_names.np, numpy) != 0) {
        return false;
    }
    Ref owner = Ref::borrow(numpy);
    Ref float64 = Ref::steal(
        PyObject_GetAttr(numpy, g_names.members[static_cast<int>(NumPyMember::float64)]));
    Ref dtype_type = attribute(owner, "dtype");
    Ref dtype = Ref::steal(float64 && dtype_type
                               ? PyObject_CallOneArg(dtype_type.get(), float64.get())
                               : nullptr);
    Ref ascontiguousarray = Ref::steal(PyObject_GetAttr(
        numpy, g_names.members[static_cast<int>(NumPyMember::ascontiguousarray)]));
    Ref ndarray = attribute(owner, "ndarray");
    return dtype && ascontiguousarray && ndarray &&
           replace(g_names.float64_type, float64.release()) &&
           replace(g_names.float64_dtype, dtype.release()) &&
           replace(g_names.ascontiguousarray, ascontiguousarray.release()) &&
           replace(g_names.ndarray_type, ndarray.release());
}

bool NumPy::passes_through(PyObject* argument, int rank, bool writable,
                           BufferView& view) noexcept {
    PyObject* function = member(NumPyMember::ascontiguousarray);
    PyObject* float64 = function ? member(NumPyMember::float64) : nullptr;
    if (!float64 || function != g_names.ascontiguousarray ||
        float64 != g_names.float64_type ||
        Py_TYPE(argument) != reinterpret_cast<PyTypeObject*>(g_names.ndarray_type)) {
        return false;
    }
    if (!view.acquire(argument, PyBUF_RECORDS_RO)) {
        PyErr_Clear();
        return false;
    }
    if (view.rank() == rank && rank > 0 && is_native_double(view) && view.c_contiguous() &&
        view.aligned() && (!writable || !view.read_only())) {
        return true;
    }
    view.release();
    return false;
}

Ref NumPy::call_float64(NumPyMember function_name, PyObject* argument) noexcept {
    PyObject* function = member(function_name);
    PyObject* float64 = function ? member(NumPyMember::float64) : nullptr;
    if (!float64) {
        return Ref();
    }
    PyObject* dtype = float64 == g_names.float64_type ? g_names.float64_dtype : float64;
    PyObject* argv[] = {argument, dtype};
    return Ref::steal(PyObject_Vectorcall(function, argv, 1, g_names.dtype_kwnames));
}

PyObject* NumPy::member(NumPyMember which) noexcept {
    Ref& cached = members_[static_cast<int>(which)];
    if (!cached) {
        if (!np_) {
            np_ = Ref::steal(PyObject_GetAttr(module_, g_names.np));
        }
        cached = Ref::steal(
            np_ ? PyObject_GetAttr(np_.get(), g_names.members[static_cast<int>(which)]) : nullptr);
    }
    return cached.get();
}

bool export_float64(PyObject* array, int rank, bool writable, BufferView& view) noexcept {
    const int flags =
        PyBUF_ND | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (!view.acquire(array, flags)) {
        return false;
    }
    if (view.rank() != rank) {
        return refuse(PyExc_ValueError,
                      "Buffer has wrong number of dimensions (expected %d, got %d)", rank,
                      view.rank());
    }
    return is_native_double(view) ||
           refuse(PyExc_ValueError,
                  "Buffer dtype mismatch, expected 'double' but got format '%s' with item size "
                  "%zd",
                  view.format(), view.itemsize());
}

bool coerce(NumPy& np, PyObject* argument, int rank, bool writable, BufferView& view) noexcept {
    if (np.passes_through(argument, rank, writable, view)) {
        return true;
    }
    if (PyErr_Occurred()) {
        return false;
    }
    Ref array = np.call_float64(NumPyMember::ascontiguousarray, argument);
    if (!array || !export_float64(array.get(), rank, writable, view)) {
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
    return export_float64(aligned.get(), rank, writable, view);
}

bool allocate_array(NumPy& np, NumPyMember function_name, const Shape& shape,
                    BufferView& view) noexcept {
    Ref tuple = shape_tuple(shape);
    Ref array = tuple ? np.call_float64(function_name, tuple.get()) : Ref();
    return array && export_float64(array.get(), shape.rank, true, view) &&
           check_allocation(view, function_name, shape);
}

bool arena_fits(arena_size size) noexcept {
    return size.n_float >= 0 ||
           refuse(PyExc_MemoryError, "the scratch arena of these dimensions is too large.");
}

PyObject* status_pair(long long status, PyObject* out) noexcept {
    Ref code = Ref::steal(PyLong_FromLongLong(status));
    return code ? PyTuple_Pack(2, code.get(), out) : nullptr;
}

}  // namespace velm_py
