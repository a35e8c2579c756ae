#pragma once
// The private timing hook of the network forward pass (network_timing.cpp).
#include <Python.h>

namespace kelvora::py {

// _forward(model, frequencies, impedances=None, kernel="blocked", repeat=1)
// -> (values, feature seconds, network seconds), medians over `repeat` runs.
PyObject* forward_function(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kelvora::py
