#pragma once
// Conversions of the fitting methods' arguments (fit, residuals, jacobian), with the messages
// of the interpreter's own argument extraction.  Each returns false with an
// exception set on failure.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvora::py {

// A str to UTF-8.  TypeError "argument '{name}': '{type}' object cannot be
// converted to 'str'" otherwise.
bool convert_str(PyObject* obj, const char* name, std::string& out);
// A str naming a file to the bytes the operating system knows it by: the
// file-system encoding with escaped bytes restored (as open() does), so a
// name that is not UTF-8, as os.listdir and sys.argv give it, still opens.
// An embedded NUL is kept.  The caller has checked that obj is a str.
bool path_bytes(PyObject* obj, std::string& out);
// None, a Python bool or a NumPy boolean scalar.
bool convert_optional_bool(PyObject* obj, const char* name, std::optional<bool>& out);
// True for Python's bool and NumPy's boolean scalar.
bool is_bool_scalar(PyObject* obj);
// The interpreter's float conversion (__float__ or __index__).
bool convert_double(PyObject* obj, const char* name, double& out);
// The interpreter's integer conversion (__index__; floats refused).  A
// negative value raises the interpreter's OverflowError; a 32-bit value
// above 4294967295 OverflowError "out of range integral type conversion attempted".
bool convert_u32(PyObject* obj, const char* name, std::uint32_t& out);
bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out);
// A sequence of numbers (not a str) to doubles.
bool convert_double_list(PyObject* obj, const char* name, std::vector<double>& out);

}  // namespace kelvora::py
