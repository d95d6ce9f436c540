// NumPy marshalling: coercion of array arguments, checked allocation of result arrays, results.
#ifndef VELM_PYTHON_NUMPY_IO_H
#define VELM_PYTHON_NUMPY_IO_H

#include "_python/ref.h"
#include "_python/shape_checks.h"

namespace velm_py {

// A module whose calls use these holds NumPy as its attribute `np`. Module execution prepares
// the interned names first and, once NumPy is imported, binds it with bind_numpy.
bool prepare_numpy_names() noexcept;
// module.np = numpy; numpy.float64 and numpy.dtype(numpy.float64) are kept for call_float64.
bool bind_numpy(PyObject* module, PyObject* numpy) noexcept;

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
    Ref call_float64(NumPyMember function_name, PyObject* argument) noexcept;

    // Whether np.ascontiguousarray(argument, dtype=np.float64) would hand back the argument
    // itself, as a buffer the call takes as it is: NumPy's own function and float64, an ndarray
    // (not a subclass) of native float64 cells, C-contiguous and aligned, of the given rank and
    // writable when asked. Such an argument is exported into view without the call, which
    // would only return it. False otherwise, with view released, and with an exception set only
    // when np or one of its members could not be looked up.
    bool passes_through(PyObject* argument, int rank, bool writable, BufferView& view) noexcept;

  private:
    PyObject* member(NumPyMember which) noexcept;

    PyObject* module_;
    Ref np_;
    Ref members_[static_cast<int>(NumPyMember::count)];
};

// Takes a C-contiguous buffer of native doubles of the given rank from array.
bool export_float64(PyObject* array, int rank, bool writable, BufferView& view) noexcept;

// np.ascontiguousarray(argument, dtype=np.float64), exported with the given rank. A float64
// buffer at an address that is not 8-byte aligned (np.frombuffer at an odd offset) passes NumPy
// untouched; it is copied into a fresh array from np.empty, since the kernels read aligned f64.
bool coerce(NumPy& np, PyObject* argument, int rank, bool writable, BufferView& view) noexcept;

// A new float64 array from np.zeros or np.empty, exported writable into view. What NumPy
// returned must hold exactly the requested cells at an aligned address: the kernels write
// according to the dimensions alone.
bool allocate_array(NumPy& np, NumPyMember function_name, const Shape& shape,
                    BufferView& view) noexcept;

// A size whose formula overflowed comes back as -1 from the sizing functions; it is refused
// (MemoryError) before anything of the call is allocated.
bool arena_fits(arena_size size) noexcept;

// (status, out), the result of most entries.
PyObject* status_pair(long long status, PyObject* out) noexcept;

// The N arrays a call returns, allocated in order with one NumPy function, then the kernel's
// scratch arena with np.empty; a scratch size that overflowed is refused before any of them.
template <int N>
class Outputs {
  public:
    bool allocate(NumPy& np, NumPyMember function_name, const Shape (&shapes)[N],
                  arena_size scratch) noexcept {
        if (!arena_fits(scratch)) {
            return false;
        }
        for (int i = 0; i < N; ++i) {
            if (!allocate_array(np, function_name, shapes[i], arrays_[i])) {
                return false;
            }
        }
        return allocate_array(np, NumPyMember::empty, dims(scratch.n_float), arena_);
    }
    f64* cells(int i, bool present = true) const noexcept { return arrays_[i].cells_if(present); }
    f64* scratch() const noexcept { return arena_.cells(); }
    PyObject* array(int i) const noexcept { return arrays_[i].exporter(); }

    // (array 0, ..., array N-1), then `last` (borrowed) when one is given.
    Ref tuple(PyObject* last = nullptr) const noexcept {
        return tuple_of(last ? N + 1 : N, [&](Py_ssize_t i) {
            return Py_NewRef(i < N ? arrays_[i].exporter() : last);
        });
    }

  private:
    BufferView arrays_[N];
    BufferView arena_;
};

}  // namespace velm_py

#endif
