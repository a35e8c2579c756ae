#pragma once
// read_spectra() and read_spectrum(): potentiostat files to dicts of arrays.
#include <Python.h>

namespace kelvora::py {

PyObject* read_spectra_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* read_spectrum_function(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace kelvora::py
