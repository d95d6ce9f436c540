// The one builder of the messages the native modules raise: refuse(type, format, ...).
#ifndef VELM_PYTHON_ERRORS_H
#define VELM_PYTHON_ERRORS_H

#include "_python/ref.h"

namespace velm_py {

// Raises `type` with the message built from format and its arguments, with the conversions of
// PyUnicode_FromFormat (%s, %.200s, %U, %d, %zd, %lld); false, for the boolean check chains.
// Every refusal of a malformed call and every failed module initialisation comes through here,
// so all messages are built the same way; a fixed message is a format without conversions.
bool refuse(PyObject* type, const char* format, ...) noexcept;

}  // namespace velm_py

#endif
