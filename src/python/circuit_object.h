#pragma once
// The Python Circuit object: an immutable circuit tree, the flag telling
// whether its parameter values were given explicitly by the user, and the
// parameters' bounds and fixed set.
#include <Python.h>

#include "circuit/constraints.h"
#include "circuit/node.h"

namespace kelvora::py {

struct CircuitObject {
  PyObject_HEAD
  kelvora::SeriesList* nodes;  // owned
  bool explicit_values;
  kelvora::ParamConstraints* constraints;  // owned; one entry per parameter
  std::size_t depth;                       // nesting_depth(*nodes)
};

// -1 with an exception set on failure.
int init_circuit_type(PyObject* module);
PyTypeObject* circuit_type();
bool is_circuit(PyObject* obj);
inline const kelvora::SeriesList& circuit_nodes(PyObject* obj) { return *reinterpret_cast<CircuitObject*>(obj)->nodes; }
inline bool circuit_explicit(PyObject* obj) { return reinterpret_cast<CircuitObject*>(obj)->explicit_values; }
inline const kelvora::ParamConstraints& circuit_constraints(PyObject* obj) {
  return *reinterpret_cast<CircuitObject*>(obj)->constraints;
}

// Whether the calling thread may walk a tree nested `depth` levels deep
// (nesting_limit); false with ValueError when its stack is too small.
bool stack_holds(std::size_t depth);
// The same for a circuit object's tree.
inline bool stack_holds_circuit(PyObject* obj) { return stack_holds(reinterpret_cast<CircuitObject*>(obj)->depth); }

// Fn called only when Check(self) passes (nullptr otherwise, with the
// exception Check set): for methods and getters.
template <bool (*Check)(PyObject*), auto Fn>
struct CheckedFirst;
template <bool (*Check)(PyObject*), class... Rest, PyObject* (*Fn)(PyObject*, Rest...)>
struct CheckedFirst<Check, Fn> {
  static PyObject* call(PyObject* self, Rest... rest) {
    if (!Check(self)) return nullptr;
    return Fn(self, rest...);
  }
};

// Fn behind a check that the calling thread's stack holds a walk of the
// tree of `self`, the circuit Fn is called on.
template <auto Fn>
inline constexpr auto walks_self = &CheckedFirst<&stack_holds_circuit, Fn>::call;

// A new Circuit holding `nodes`; ValueError when the tree nests deeper than
// the supported limit, or than the calling thread's stack allows.  Returns a
// new reference or nullptr.
PyObject* new_circuit(kelvora::SeriesList nodes, bool explicit_values);
// The same with the given constraints, which must match the tree.
PyObject* new_circuit(kelvora::SeriesList nodes, bool explicit_values, kelvora::ParamConstraints constraints);

// Plain dict form of a circuit (circuit_dict.cpp), and back.  `from` fails
// with ValueError on unknown, missing or malformed keys and on a newer
// format version; `what` names the dict in messages.
PyObject* circuit_to_dict(const kelvora::SeriesList& nodes, bool explicit_values,
                          const kelvora::ParamConstraints& constraints);
bool circuit_from_dict(PyObject* dict, const char* what, kelvora::SeriesList& nodes, bool& explicit_values,
                       kelvora::ParamConstraints& constraints);

}  // namespace kelvora::py
