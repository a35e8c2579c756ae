#pragma once
// The Python Circuit object: an immutable circuit tree and the flag telling
// whether its parameter values were given explicitly by the user.
#include <Python.h>

#include "circuit/node.h"

namespace kelvora::py {

struct CircuitObject {
  PyObject_HEAD
  kelvora::SeriesList* nodes;  // owned
  bool explicit_values;
};

// -1 with an exception set on failure.
int init_circuit_type(PyObject* module);
PyTypeObject* circuit_type();
bool is_circuit(PyObject* obj);
inline const kelvora::SeriesList& circuit_nodes(PyObject* obj) { return *reinterpret_cast<CircuitObject*>(obj)->nodes; }
inline bool circuit_explicit(PyObject* obj) { return reinterpret_cast<CircuitObject*>(obj)->explicit_values; }

// A new Circuit holding `nodes`; ValueError when the tree nests deeper than
// the supported limit.  Returns a new reference or nullptr.
PyObject* new_circuit(kelvora::SeriesList nodes, bool explicit_values);

}  // namespace kelvora::py
