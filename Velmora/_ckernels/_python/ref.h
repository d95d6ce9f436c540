// Owned references, buffer views and the interpreter-lock guard of the native modules' glue.
#ifndef VELM_PYTHON_REF_H
#define VELM_PYTHON_REF_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstdint>

#include "_common/velm_common.h"

namespace velm_py {

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

// A module-lifetime slot (a raw pointer, never destroyed at process exit) takes value, a new
// reference or null, releasing what it held; true when value is not null.
inline bool replace(PyObject*& slot, PyObject* value) noexcept {
    Py_XSETREF(slot, value);
    return slot != nullptr;
}

// getattr(owner, name), or null when owner is null or the lookup fails.
inline Ref attribute(const Ref& owner, const char* name) noexcept {
    return Ref::steal(owner ? PyObject_GetAttrString(owner.get(), name) : nullptr);
}

// obj[index] with an int key, as a subscript would do it.
inline Ref item_at(PyObject* obj, Py_ssize_t index) noexcept {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(key ? PyObject_GetItem(obj, key.get()) : nullptr);
}

// A tuple of n items, item i made by make(i) as a new reference; null as soon as one is.
template <class Make>
Ref tuple_of(Py_ssize_t n, Make&& make) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; tuple && i < n; ++i) {
        PyObject* item = make(i);
        if (!item) {
            return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple;
}

// (name,) with the name interned, the keyword names of a vectorcall: argument parsers (NumPy's
// among them) match an interned keyword by identity and compare any other string by its text.
inline Ref keyword_names(const char* name) noexcept {
    return tuple_of(1, [&](Py_ssize_t) { return PyUnicode_InternFromString(name); });
}

// A buffer export held for the lifetime of the guard; the export keeps its exporter alive.
class BufferView {
  public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Exports from exporter, releasing any export held before.
    bool acquire(PyObject* exporter, int flags) noexcept {
        release();
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }
    int rank() const noexcept { return view_.ndim; }
    bool read_only() const noexcept { return view_.readonly != 0; }
    bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
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

}  // namespace velm_py

#endif
