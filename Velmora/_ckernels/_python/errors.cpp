// Raising an error with a built message: the definition behind every refusal of the glue.
#include "_python/errors.h"

#include <cstdarg>

namespace velm_py {

bool refuse(PyObject* type, const char* format, ...) noexcept {
    std::va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    return false;
}

}  // namespace velm_py
