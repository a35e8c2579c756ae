// Placeholders until the fitting entry points land.
#include "python/circuit_methods.h"

namespace kelvora::py {

PyObject* circuit_residuals(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "residuals() is not available in this build");
  return nullptr;
}
PyObject* circuit_jacobian(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "jacobian() is not available in this build");
  return nullptr;
}
PyObject* circuit_fit(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "fit() is not available in this build");
  return nullptr;
}

namespace {
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
  return nullptr;
}
}  // namespace

PyObject* create_fit_result_type(PyObject*) {
  static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(no_constructor)}, {0, nullptr}};
  static PyType_Spec spec = {"kelvora.FitResult", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace kelvora::py
