#pragma once
// The few NumPy C API calls the module makes, kept in one file.  NumPy is
// imported on first use, from numpy._core or numpy.core.
#include <Python.h>

#include <cstddef>

#include "support/complex.h"

namespace kelvora::py {

// A new one-dimensional complex128 array of n entries; *data points at its
// buffer, which the caller fills (it may do so without the interpreter lock).
PyObject* new_complex_array(std::size_t n, kelvora::Complex** data);
// The same for a one-dimensional float64 array.
PyObject* new_double_array(std::size_t n, double** data);
// A new one-dimensional float64 array holding a copy of data[0..n).
PyObject* new_double_array(const double* data, std::size_t n);
// A new two-dimensional C-ordered float64 array; *data points at its buffer.
PyObject* new_double_matrix(std::size_t rows, std::size_t cols, double** data);

}  // namespace kelvora::py
