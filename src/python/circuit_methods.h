#pragma once
// Circuit methods implemented outside the Circuit class file.
#include <Python.h>

namespace kelvora::py {

PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs);

// Creates the FitResult heap type; returns a new reference or nullptr.
PyObject* create_fit_result_type(PyObject* module);

}  // namespace kelvora::py
