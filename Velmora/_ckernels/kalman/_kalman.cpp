// CPython module of the filter kernels: the module frame and the one table of its entries.
//
// The frame is multi-phase initialisation bound to one interpreter, with the version warning and
// the `np` attribute through which every call reaches NumPy. Each entry lives in its own
// entry_<name>.cpp: a new one is that file, its declaration in entries.h and its row in kEntries.
#include <cstdint>

#include "_python/binder.h"
#include "_python/errors.h"
#include "_python/function_type.h"
#include "_python/numpy_io.h"
#include "_python/ref.h"
#include "kalman/entries.h"

namespace {

using namespace velm_py;

constexpr const char kDottedName[] = "Velmora._ckernels.kalman._kalman";
constexpr const char kFunctionTypeName[] = "Velmora._ckernels.kalman._kalman.native_function";

// The module's functions, in the order they are bound: one row an entry.
const Entry* const kEntries[] = {
    &velm_kalman_py::kalman_hot_loop_entry,
    &velm_kalman_py::stationary_covariance_entry,
    &velm_kalman_py::ekf_hot_loop_entry,
    &velm_kalman_py::ukf_hot_loop_entry,
    &velm_kalman_py::kalman_loglik_grad_entry,
    &velm_kalman_py::stationary_covariance_grad_entry,
    &velm_kalman_py::kalman_filter_missing_entry,
    &velm_kalman_py::kalman_smoother_entry,
    &velm_kalman_py::kalman_simulation_smoother_entry,
    &velm_kalman_py::kalman_loglik_grad_stationary_entry,
};

PyObject* g_module = nullptr;              // the one module of this process, once executing
PyTypeObject* g_function_type = nullptr;   // type of the module's function objects
std::int64_t g_interpreter_id = -1;        // the interpreter that first created the module

// ==== module creation and execution ==============================================================

// Creation step 1: the module binds itself to the first interpreter that creates it.
bool check_single_interpreter() noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        return refuse(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.");
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
    if (!prepare_numpy_names() || !prepare_binder_names()) {
        return false;
    }
    Py_XSETREF(g_function_type, new_function_type(module, kFunctionTypeName));
    return g_function_type != nullptr;
}

// Execution step 4.
bool register_module(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kDottedName);
    return present || PyDict_SetItemString(modules, kDottedName, module) == 0;
}

// Execution step 5: import numpy as np.
bool import_numpy(PyObject* module) noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    return numpy && bind_numpy(module, numpy.get());
}

// Execution step 6.
bool bind_functions(PyObject* module) noexcept {
    for (const Entry* entry : kEntries) {
        Ref function = new_function(g_function_type, *entry, module);
        if (!function || PyModule_AddObjectRef(module, entry->name, function.get()) != 0) {
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
        refuse(PyExc_RuntimeError,
               "Module '_kalman' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (warn_on_version_mismatch() && prepare_constants(module) && register_module(module) &&
        import_numpy(module) && bind_functions(module)) {
        return 0;
    }
    Py_CLEAR(g_module);  // a failed import may be tried again
    if (!PyErr_Occurred()) {
        refuse(PyExc_ImportError, "init Velmora._ckernels.kalman._kalman");
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
