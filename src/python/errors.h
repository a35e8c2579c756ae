#pragma once
// The module's internal-error exception: raised when an internal invariant
// fails ("ftol must be >= 0", "impedance_from_iter: not enough values
// supplied").  It derives from BaseException so that `except Exception`
// does not swallow it; it is available as kelvora.InternalError.
#include <Python.h>

#include <string>

namespace kelvora::py {

// Creates the exception class (once, at module initialisation); -1 on error.
int init_internal_error(PyObject* module);
PyObject* internal_error_type();
// Sets the exception and returns nullptr, for `return raise_internal_error(...)`.
PyObject* raise_internal_error(const std::string& message);
// Sets ValueError with a UTF-8 message and returns nullptr.
PyObject* raise_value_error(const std::string& message);
PyObject* raise_type_error(const std::string& message);

}  // namespace kelvora::py
