// The heap type of a native module's functions: one binder entry each, callable like a built-in.
#ifndef VELM_PYTHON_FUNCTION_TYPE_H
#define VELM_PYTHON_FUNCTION_TYPE_H

#include "_python/binder.h"
#include "_python/ref.h"

namespace velm_py {

// The function type of module, named type_name ("package.module.native_function", static text):
// its instances have __name__, __qualname__, __doc__, __defaults__, a lazily built
// __signature__, __module__ from the type name, pickle by reference and never bind as methods.
PyTypeObject* new_function_type(PyObject* module, const char* type_name) noexcept;

// A function of `type` running `entry`; it looks `np` up on module at call time.
Ref new_function(PyTypeObject* type, const Entry& entry, PyObject* module) noexcept;

}  // namespace velm_py

#endif
