// Series() and Parallel(): circuits assembled from element and circuit objects.
#include "python/series_parallel.h"

#include <set>
#include <string>

#include "circuit/tree.h"
#include "python/circuit_object.h"
#include "python/element_types.h"
#include "python/pyref.h"

namespace kelvora::py {
namespace {

// One item of `parts`: the nodes it contributes and whether its values are explicit.
struct Part {
  SeriesList nodes;
  bool explicit_values;
  ParamConstraints constraints;
};

bool read_parts(PyObject* parts, std::vector<Part>& out) {
  if (PyUnicode_Check(parts)) {
    PyErr_SetString(PyExc_TypeError, "argument 'parts': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(parts)) {
    PyErr_Format(PyExc_TypeError, "argument 'parts': '%s' object cannot be converted to 'Sequence'",
                 _PyType_Name(Py_TYPE(parts)));
    return false;
  }
  PyRef it(PyObject_GetIter(parts));
  if (!it) return false;
  std::size_t index = 0;
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item(raw);
    if (is_element(item.get())) {
      SeriesList leaf{Node{Leaf{element_value(item.get()), std::nullopt}}};
      ParamConstraints constraints = default_constraints(leaf);
      out.push_back({std::move(leaf), true, std::move(constraints)});
    } else if (is_circuit(item.get())) {
      if (!stack_holds_circuit(item.get())) return false;
      out.push_back({circuit_nodes(item.get()), circuit_explicit(item.get()), circuit_constraints(item.get())});
    } else {
      PyErr_Format(PyExc_TypeError, "argument 'parts': item %zu is neither an Element nor a Circuit, but '%s'", index,
                   _PyType_Name(Py_TYPE(item.get())));
      return false;
    }
    ++index;
  }
  return !PyErr_Occurred();
}

// Parts may bring the same written label (automatic labels pass over the
// written ones): the circuit is built, as the labels are the caller's, but
// parameters of one name share a single entry wherever names are keys
// (FitResult.params, with_named_values(), with_fixed(), with_bounds(),
// results tables), so the caller is told.  Returns false when the warning
// was turned into an error.
bool warn_repeated_names(const SeriesList& nodes) {
  std::set<std::string> seen;
  std::string repeated;
  std::size_t count = 0;
  for (const std::string& name : kelvora::param_names(nodes)) {
    if (seen.insert(name).second) continue;
    if (++count <= 3) repeated += (repeated.empty() ? "\"" : ", \"") + name + "\"";
  }
  if (count == 0) return true;
  if (count > 3) repeated += ", ...";
  const std::string text = "parameter names repeat (" + repeated +
                           "): parameters of one name share a single entry in FitResult.params, "
                           "with_named_values(), with_fixed() and with_bounds(); give the parts distinct "
                           "labels, for example Circuit(\"R2-C3\") beside Circuit(\"R0-C1\")";
  return PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0;
}

PyObject* parse_parts_arg(PyObject* args, PyObject* kwargs, const char* format) {
  static const char* kwlist[] = {"parts", nullptr};
  PyObject* parts = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &parts)) return nullptr;
  return parts;
}

}  // namespace

PyObject* series_function(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* parts = parse_parts_arg(args, kwargs, "O:Series");
  if (!parts) return nullptr;
  std::vector<Part> items;
  if (!read_parts(parts, items)) return nullptr;
  SeriesList nodes;
  bool explicit_values = true;
  ParamConstraints constraints;
  for (Part& p : items) {
    explicit_values = explicit_values && p.explicit_values;
    for (Node& n : p.nodes) nodes.push_back(std::move(n));
    append(constraints, p.constraints);
  }
  if (!warn_repeated_names(nodes)) return nullptr;
  return new_circuit(std::move(nodes), explicit_values, std::move(constraints));
}

PyObject* parallel_function(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* parts = parse_parts_arg(args, kwargs, "O:Parallel");
  if (!parts) return nullptr;
  std::vector<Part> items;
  if (!read_parts(parts, items)) return nullptr;
  ParallelGroup group;
  bool explicit_values = true;
  ParamConstraints constraints;
  for (Part& p : items) {
    explicit_values = explicit_values && p.explicit_values;
    group.branches.push_back(std::move(p.nodes));
    append(constraints, p.constraints);
  }
  SeriesList nodes;
  nodes.push_back(Node{std::move(group)});
  if (!warn_repeated_names(nodes)) return nullptr;
  return new_circuit(std::move(nodes), explicit_values, std::move(constraints));
}

}  // namespace kelvora::py
