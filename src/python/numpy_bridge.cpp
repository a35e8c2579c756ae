#define PY_ARRAY_UNIQUE_SYMBOL kelvora_ARRAY_API
#include "python/numpy_bridge.h"

#include <numpy/arrayobject.h>

#include <cstring>

namespace kelvora::py {
namespace {

bool g_numpy_ready = false;

// import_array() looks for the multiarray module under numpy._core and,
// failing that, numpy.core, so the module runs with NumPy 1.x and 2.x.
int ensure_numpy() {
  if (g_numpy_ready) return 0;
  if (_import_array() < 0) return -1;
  g_numpy_ready = true;
  return 0;
}

}  // namespace

PyObject* new_complex_array(std::size_t n, kelvora::Complex** data) {
  if (ensure_numpy() < 0) return nullptr;
  static_assert(sizeof(kelvora::Complex) == 2 * sizeof(double));
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_COMPLEX128);
  if (!arr) return nullptr;
  *data = static_cast<kelvora::Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  return arr;
}

PyObject* new_double_array(std::size_t n, double** data) {
  if (ensure_numpy() < 0) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
  if (!arr) return nullptr;
  *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  return arr;
}

PyObject* new_double_array(const double* data, std::size_t n) {
  double* out = nullptr;
  PyObject* arr = new_double_array(n, &out);
  if (arr && n) std::memcpy(out, data, n * sizeof(double));
  return arr;
}

PyObject* new_double_matrix(std::size_t rows, std::size_t cols, double** data) {
  if (ensure_numpy() < 0) return nullptr;
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* arr = PyArray_SimpleNew(2, dims, NPY_FLOAT64);
  if (!arr) return nullptr;
  *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  return arr;
}

}  // namespace kelvora::py
