#pragma once
// Python exceptions raised by the module.
//
// The module's internal-error exception is raised when an internal invariant
// fails ("impedance_from_iter: not enough values supplied") or a C++
// exception other than std::bad_alloc reaches the boundary (guard.h).  It
// derives from BaseException so that `except Exception` does not swallow it;
// it is available as kelvora.InternalError.
#include <Python.h>

#include <string>
#include <string_view>

namespace kelvora::py {

// Creates the exception class (once, at module initialisation); -1 on error.
int init_internal_error(PyObject* module);
PyObject* internal_error_type();
// Sets the exception and returns nullptr, for `return raise_internal_error(...)`.
PyObject* raise_internal_error(std::string_view message);
// Sets ValueError with a UTF-8 message and returns nullptr.
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);

// Clears the pending exception if it is an ordinary error -- an Exception
// other than MemoryError -- and returns true.  Otherwise (KeyboardInterrupt,
// SystemExit, MemoryError, kelvora.InternalError, any other BaseException)
// leaves it pending and returns false, for the caller to propagate.  For the
// places where a failed lookup or conversion means "absent" or "not of this
// form":  `if (!clear_ordinary_error()) return nullptr;`
bool clear_ordinary_error();

// The pending exception as a normalised exception object, cleared (a new
// reference; null when none is pending).
PyObject* take_exception();

// Re-raises a pending TypeError as TypeError "argument '{name}': {message}";
// any other pending exception is left as it is.
void prefix_type_error(const char* name);

}  // namespace kelvora::py
