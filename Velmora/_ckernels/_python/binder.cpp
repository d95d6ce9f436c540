// The argument binder: keyword matching, one converter per scalar kind, triples, shape items.
#include "_python/binder.h"

#include "_python/errors.h"

namespace velm_py {

static_assert(sizeof(long long) == sizeof(i64), "counts travel through PyLong_AsLongLong");

namespace {

PyObject* g_shape = nullptr;  // interned "shape"

// ==== one converter per scalar kind ==============================================================

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
            refuse(PyExc_TypeError, "an integer is required");
        }
    } else if (!PyLong_Check(result.get())) {
        refuse(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
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
        return refuse(PyExc_OverflowError, "can't convert negative value to %.200s", "size_t");
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

// Refuses a shape without item `index`, counting its entries when it has a length.
bool missing_shape_item(PyObject* shape, const char* name, int rank, Py_ssize_t index) noexcept {
    const char* dimensional = rank == 1 ? "one" : "two";
    const Py_ssize_t entries = PyObject_Size(shape);
    if (entries < 0) {
        PyErr_Clear();
        return refuse(PyExc_ValueError, "%s must be %s-dimensional (its shape has no item %zd).",
                      name, dimensional, index);
    }
    return refuse(PyExc_ValueError, "%s must be %s-dimensional (its shape has %zd entries).",
                  name, dimensional, entries);
}

// Two names are the same when their strings are: a str subclass is compared by its characters,
// whatever its own __hash__ or __eq__ say, and no Python code runs.
bool same_name(PyObject* name, PyObject* key) noexcept {
    return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
           PyUnicode_Compare(name, key) == 0;
}

}  // namespace

// ==== readers outside the scalar stage ===========================================================

bool prepare_binder_names() noexcept {
    return replace(g_shape, PyUnicode_InternFromString("shape"));
}

bool to_triple(PyObject* obj, i64 (&items)[3]) noexcept {
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref item = item_at(obj, i);
        if (!item || !to_count(item.get(), &items[i])) {
            return false;
        }
    }
    return true;
}

bool shape_item(PyObject* obj, const char* name, int rank, Py_ssize_t index, i64* out) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(obj, g_shape));
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

// ==== stage 1: binding ===========================================================================

bool Call::positional_count_error(Py_ssize_t given) const noexcept {
    const bool too_few = given < entry_.n_required();
    const Py_ssize_t expected = too_few ? entry_.n_required() : entry_.n_params;
    return refuse(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                  entry_.name, too_few ? "at least" : "at most", expected,
                  expected == 1 ? "" : "s", given);
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
            values_[i] = Ref::borrow(PyTuple_GET_ITEM(defaults_, i - entry_.n_required()));
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
        return refuse(PyExc_TypeError, "%.200s() keywords must be strings", entry_.name);
    }
    if (param_index(key) >= 0) {
        return refuse(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      entry_.name, key);
    }
    return refuse(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry_.name,
                  key);
}

// ==== stage 2: scalar conversion =================================================================

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

// ==== array arguments ============================================================================

// None is refused by name: NumPy would turn it into an array of NaN.
bool Call::coerce_each(std::initializer_list<Slot> slots) noexcept {
    for (const Slot& slot : slots) {
        const Param& param = entry_.params[slot.param];
        if (arg(slot.param) == Py_None) {
            return refuse(PyExc_TypeError, "%.200s() argument '%s' must be an array, not None",
                          entry_.name, param.name);
        }
        if (!coerce(numpy_, arg(slot.param), param.rank, param.writable, slot.view)) {
            return false;
        }
    }
    return true;
}

}  // namespace velm_py
