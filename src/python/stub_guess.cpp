// Placeholder until the guess pipeline lands.
#include "python/circuit_methods.h"

namespace kelvora::py {

PyObject* circuit_guess(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "guess() is not available in this build");
  return nullptr;
}

}  // namespace kelvora::py
