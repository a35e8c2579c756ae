#pragma once
#include <Python.h>

namespace kelvora::py {
PyObject* series_function(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* parallel_function(PyObject* module, PyObject* args, PyObject* kwargs);
}  // namespace kelvora::py
