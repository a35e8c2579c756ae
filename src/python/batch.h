#pragma once
// fit_many(): one circuit fitted to many spectra on native threads.
#include <Python.h>

namespace kelvora::py {

PyObject* fit_many_function(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char kFitManyDoc[];

}  // namespace kelvora::py
