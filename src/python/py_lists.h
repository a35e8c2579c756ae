#pragma once
// New Python objects from core values.
#include <Python.h>

#include <string>
#include <vector>

#include "support/complex.h"

namespace kelvora::py {

// A str from UTF-8 (malformed bytes replaced); new reference or nullptr.
PyObject* to_py_str(const std::string& s);
// A list of floats / of str; new reference or nullptr.
PyObject* float_list(const std::vector<double>& values);
PyObject* string_list(const std::vector<std::string>& items);
// A list of floats of one part of each value: &Complex::re or &Complex::im.
PyObject* part_list(const std::vector<kelvora::Complex>& values, double kelvora::Complex::*part);

}  // namespace kelvora::py
