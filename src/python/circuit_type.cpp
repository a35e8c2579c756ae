#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "circuit/expression.h"
#include "circuit/model_names.h"
#include "circuit/parse_report.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "circuit/value_identity.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/class_setup.h"
#include "python/errors.h"
#include "python/fit_signature.h"
#include "python/guard.h"
#include "python/py_lists.h"
#include "python/dict_form.h"
#include "python/pyref.h"
#include "python/spectrum.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::py {
namespace {

PyTypeObject* g_circuit_type = nullptr;

// Length of the longest name, for aligned columns.
std::size_t longest(const std::vector<std::string>& names) {
  std::size_t width = 0;
  for (const auto& n : names) width = std::max(width, n.size());
  return width;
}

// "bounds (1e-12, inf)", in the compact number format.
std::string bounds_text(const std::pair<double, double>& b) {
  return "bounds (" + kelvora::format_compact(b.first) + ", " + kelvora::format_compact(b.second) + ")";
}

std::string pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string names_report(const SeriesList& nodes, const std::vector<std::string>& unknown,
                         const std::vector<std::string>& missing);

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// UTF-8 text of a str, with lone surrogates replaced.
bool utf8_of(PyObject* s, std::string& out) {
  PyRef bytes(PyUnicode_AsEncodedString(s, "utf-8", "replace"));
  if (!bytes) return false;
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"s", nullptr};
  PyObject* s = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Circuit", const_cast<char**>(kwlist), &s)) return nullptr;
  if (!PyUnicode_Check(s)) {
    PyErr_Format(PyExc_TypeError, "Circuit() argument 's' must be str, not %s", _PyType_Name(Py_TYPE(s)));
    return nullptr;
  }
  std::string text;
  if (!utf8_of(s, text)) return nullptr;
  const std::u32string chars = kelvora::utf8_to_u32(text);
  std::size_t b = 0, e = chars.size();
  while (b < e && is_unicode_whitespace(chars[b])) ++b;
  while (e > b && is_unicode_whitespace(chars[e - 1])) --e;
  const std::string key = kelvora::u32_to_utf8(std::u32string_view(chars).substr(b, e - b));
  std::string expression = text;
  if (const auto model = kelvora::model_expression(key)) expression = std::string(*model);
  auto parsed = kelvora::parse(std::string_view(expression));
  if (!parsed) return raise_value_error(kelvora::parse_report(parsed.error(), expression));
  return new_circuit(std::move(parsed.value()), false);
}

void circuit_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (auto* nodes = reinterpret_cast<CircuitObject*>(self)->nodes) kelvora::release_tree(*nodes);
  delete reinterpret_cast<CircuitObject*>(self)->nodes;
  delete reinterpret_cast<CircuitObject*>(self)->constraints;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* circuit_repr(PyObject* self) {
  if (!stack_holds_circuit(self)) return nullptr;
  const SeriesList& nodes = circuit_nodes(self);
  const auto names = kelvora::param_names(nodes);
  const auto units = kelvora::param_units(nodes);
  const auto values = kelvora::param_values(nodes);
  const auto& bounds = circuit_constraints(self).bounds;
  const std::size_t width = longest(names);
  std::string out = "Circuit (" + std::to_string(names.size()) + " parameter" + (names.size() == 1 ? "" : "s") + ")\n";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += '\n';
    out += "  " + pad(names[i], width) + " = " + pad(kelvora::format_compact(values[i]), 10) + " [" + units[i] +
           "]  " + bounds_text(bounds[i]);
  }
  return to_py_str(out);
}

PyObject* ml_circuits(PyObject*, PyObject*) {
  std::vector<std::string> names;
  for (const auto& m : kelvora::kModelNames) names.emplace_back(m.name);
  return string_list(names);
}

PyObject* param_names(PyObject* self, PyObject*) { return string_list(kelvora::param_names(circuit_nodes(self))); }
PyObject* param_units(PyObject* self, PyObject*) { return string_list(kelvora::param_units(circuit_nodes(self))); }
PyObject* param_values(PyObject* self, PyObject*) { return float_list(kelvora::param_values(circuit_nodes(self))); }

PyObject* param_bounds(PyObject* self, PyObject*) {
  const auto& bounds = circuit_constraints(self).bounds;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    PyObject* pair = Py_BuildValue("(dd)", bounds[i].first, bounds[i].second);
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// The circuit with new values, its constraints kept: a parameter held fixed
// must take a value its bounds allow, as with_fixed() requires, or the
// circuit could not be loaded again from its own dict or pickle.
PyObject* rebuilt_with(PyObject* self, const std::vector<double>& values) {
  const SeriesList& nodes = circuit_nodes(self);
  const ParamConstraints& c = circuit_constraints(self);
  if (c.any_fixed()) {
    const auto names = kelvora::param_names(nodes);
    for (std::size_t i = 0; i < names.size() && i < c.size(); ++i)
      if (c.fixed[i])
        if (const auto problem = fixed_value_problem(names[i], values[i], c.bounds[i].first, c.bounds[i].second))
          return raise_value_error(*problem);
  }
  return new_circuit(kelvora::rebuild(nodes, values), true, c);
}

PyObject* with_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"values", nullptr};
  PyObject* obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_values", const_cast<char**>(kwlist), &obj)) return nullptr;
  std::vector<double> values;
  if (!to_double_list(obj, values)) {
    prefix_type_error("values");
    return nullptr;
  }
  const SeriesList& nodes = circuit_nodes(self);
  const std::size_t n = kelvora::param_count(nodes);
  if (values.size() != n)
    return raise_value_error("expected " + std::to_string(n) + " values, got " + std::to_string(values.size()));
  return rebuilt_with(self, values);
}

PyObject* with_named_values(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"values", nullptr};
  PyObject* dict = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_named_values", const_cast<char**>(kwlist), &dict))
    return nullptr;
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "argument 'values': '%s' object cannot be converted to 'PyDict'",
                 _PyType_Name(Py_TYPE(dict)));
    return nullptr;
  }
  // The dict as (name, value) pairs in its iteration order.  A value's
  // __float__ may change the dict, so the pairs are read from a snapshot
  // that holds its own references.
  PyRef items(PyDict_Items(dict));
  if (!items) return nullptr;
  std::vector<std::pair<std::string, double>> entries;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument 'values': '%s' object cannot be converted to 'PyString'",
                   _PyType_Name(Py_TYPE(key)));
      return nullptr;
    }
    std::string name;
    if (!utf8_of(key, name)) return nullptr;
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
      prefix_type_error("values");
      return nullptr;
    }
    entries.emplace_back(std::move(name), v);
  }
  const SeriesList& nodes = circuit_nodes(self);
  const auto names = kelvora::param_names(nodes);
  std::map<std::string, double> map(entries.begin(), entries.end());
  std::vector<std::string> unknown, missing;
  for (const auto& [k, v] : entries)
    if (std::find(names.begin(), names.end(), k) == names.end()) unknown.push_back(k);
  for (const auto& n : names)
    if (!map.count(n)) missing.push_back(n);
  if (unknown.empty() && missing.empty()) {
    std::vector<double> values;
    values.reserve(names.size());
    for (const auto& n : names) values.push_back(map[n]);
    return rebuilt_with(self, values);
  }
  return raise_value_error(names_report(nodes, unknown, missing));
}

// Each name of `unknown` with its "did you mean" help, the missing names,
// and the table of valid parameters with units and default bounds.
std::string names_report(const SeriesList& nodes, const std::vector<std::string>& unknown,
                         const std::vector<std::string>& missing) {
  const auto names = kelvora::param_names(nodes);
  std::vector<std::string> lines;
  for (const auto& k : unknown) {
    std::string line = "unknown parameter " + kelvora::quoted(k);
    if (const auto suggestion = kelvora::closest_param_name(k, names))
      line += " (did you mean " + kelvora::quoted(*suggestion) + "?)";
    lines.push_back(line);
  }
  if (!missing.empty()) lines.push_back("missing parameter(s): " + kelvora::quoted_list(missing));
  lines.emplace_back();
  lines.push_back("valid parameters for this circuit:");
  const auto units = kelvora::param_units(nodes);
  const auto bounds = kelvora::param_bounds(nodes);
  const std::size_t width = longest(names);
  for (std::size_t i = 0; i < names.size(); ++i)
    lines.push_back("  " + pad(names[i], width) + "  [" + units[i] + "]  " + bounds_text(bounds[i]));
  std::string report;
  for (std::size_t i = 0; i < lines.size(); ++i) report += (i ? "\n" : "") + lines[i];
  return report;
}

// The (name, value) pairs of a dict argument with str keys, in its iteration
// order, read from a snapshot that holds its own references (a value's
// conversion may change the dict).  false with TypeError naming `arg`.
template <class T, class Read>
bool read_named(PyObject* dict, const char* arg, std::vector<std::pair<std::string, T>>& out, Read read) {
  PyRef items(PyDict_Items(dict));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'", arg,
                   _PyType_Name(Py_TYPE(key)));
      return false;
    }
    std::string name;
    if (!utf8_of(key, name)) return false;
    T value{};
    if (!read(PyTuple_GET_ITEM(pair, 1), value)) {
      prefix_type_error(arg);
      return false;
    }
    out.emplace_back(std::move(name), value);
  }
  return true;
}

// The keys of `entries` that name no parameter, in order.
template <class T>
std::vector<std::string> unknown_names(const std::vector<std::pair<std::string, T>>& entries,
                                       const std::vector<std::string>& names) {
  std::vector<std::string> unknown;
  for (const auto& [k, v] : entries)
    if (std::find(names.begin(), names.end(), k) == names.end()) unknown.push_back(k);
  return unknown;
}

// The part of a parameter name after the element label: "alpha" of "CPE1.alpha".
std::string param_part(const std::string& name) { return name.substr(name.find('.') + 1); }

bool read_bound_pair(PyObject* obj, std::pair<double, double>& out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj) || PySequence_Size(obj) != 2) {
    // An interrupt, exit or MemoryError from __len__ propagates.
    if (PyErr_Occurred() && !clear_ordinary_error()) return false;
    PyErr_Format(PyExc_TypeError, "expected a (lo, hi) pair of numbers, got %s", _PyType_Name(Py_TYPE(obj)));
    return false;
  }
  double v[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyRef item(PySequence_GetItem(obj, i));
    if (!item) return false;
    v[i] = PyFloat_AsDouble(item.get());
    if (v[i] == -1.0 && PyErr_Occurred()) return false;
  }
  out = {v[0], v[1]};
  return true;
}

PyObject* with_bounds(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"bounds", nullptr};
  PyObject* dict = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_bounds", const_cast<char**>(kwlist), &dict)) return nullptr;
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "argument 'bounds': '%s' object cannot be converted to 'PyDict'",
                 _PyType_Name(Py_TYPE(dict)));
    return nullptr;
  }
  std::vector<std::pair<std::string, std::pair<double, double>>> entries;
  if (!read_named(dict, "bounds", entries, read_bound_pair)) return nullptr;
  const SeriesList& nodes = circuit_nodes(self);
  const auto names = kelvora::param_names(nodes);
  const auto unknown = unknown_names(entries, names);
  if (!unknown.empty()) return raise_value_error(names_report(nodes, unknown, {}));
  const auto values = kelvora::param_values(nodes);
  ParamConstraints c = circuit_constraints(self);
  for (const auto& [name, b] : entries) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] != name) continue;
      if (const auto problem = bounds_problem(name, param_part(name), b.first, b.second))
        return raise_value_error(*problem);
      if (c.fixed[i])
        if (const auto problem = fixed_value_problem(name, values[i], b.first, b.second))
          return raise_value_error(*problem);
      c.bounds[i] = b;
    }
  }
  return new_circuit(nodes, circuit_explicit(self), std::move(c));
}

PyObject* with_fixed(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"params", nullptr};
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:with_fixed", const_cast<char**>(kwlist), &arg)) return nullptr;
  // name -> value to hold, or nothing to hold the current value
  std::vector<std::pair<std::string, std::optional<double>>> entries;
  if (PyDict_Check(arg)) {
    auto read_value = [](PyObject* obj, std::optional<double>& out) {
      const double v = PyFloat_AsDouble(obj);
      if (v == -1.0 && PyErr_Occurred()) return false;
      out = v;
      return true;
    };
    if (!read_named(arg, "params", entries, read_value)) return nullptr;
  } else {
    if (PyUnicode_Check(arg) || !PySequence_Check(arg)) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'params': expected a dict of names to values or a sequence of names, got %s",
                   _PyType_Name(Py_TYPE(arg)));
      return nullptr;
    }
    PyRef seq(PySequence_Fast(arg, "argument 'params': expected a sequence of names"));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "argument 'params': names must be str, not %s", _PyType_Name(Py_TYPE(item)));
        return nullptr;
      }
      std::string name;
      if (!utf8_of(item, name)) return nullptr;
      entries.emplace_back(std::move(name), std::nullopt);
    }
  }
  const SeriesList& nodes = circuit_nodes(self);
  const auto names = kelvora::param_names(nodes);
  const auto unknown = unknown_names(entries, names);
  if (!unknown.empty()) return raise_value_error(names_report(nodes, unknown, {}));
  auto values = kelvora::param_values(nodes);
  ParamConstraints c = circuit_constraints(self);
  for (const auto& [name, value] : entries) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] != name) continue;
      const double v = value.value_or(values[i]);
      if (const auto problem = fixed_value_problem(name, v, c.bounds[i].first, c.bounds[i].second))
        return raise_value_error(*problem);
      values[i] = v;
      c.fixed[i] = true;
    }
  }
  return new_circuit(kelvora::rebuild(nodes, values), circuit_explicit(self), std::move(c));
}

PyObject* fixed_params(PyObject* self, PyObject*) {
  const auto names = kelvora::param_names(circuit_nodes(self));
  const auto& fixed = circuit_constraints(self).fixed;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < names.size() && i < fixed.size(); ++i)
    if (fixed[i]) out.push_back(names[i]);
  return string_list(out);
}

PyObject* get_expression(PyObject* self, void*) {
  const auto text = kelvora::expression(circuit_nodes(self));
  if (!text) return raise_value_error("this circuit has no expression: " + text.error());
  return to_py_str(*text);
}

PyObject* to_dict(PyObject* self, PyObject*) {
  return circuit_to_dict(circuit_nodes(self), circuit_explicit(self), circuit_constraints(self));
}

PyObject* from_dict(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"d", nullptr};
  PyObject* dict = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dict", const_cast<char**>(kwlist), &dict)) return nullptr;
  SeriesList nodes;
  bool explicit_values = false;
  ParamConstraints constraints;
  if (!circuit_from_dict(dict, "circuit dict", nodes, explicit_values, constraints)) return nullptr;
  return new_circuit(std::move(nodes), explicit_values, std::move(constraints));
}

// (Circuit.from_dict, (self.to_dict(),)) for pickle and copy.
PyObject* circuit_reduce(PyObject* self, PyObject*) {
  return reduce_through_dict(self, to_dict(self, nullptr));
}

// Circuits compare and hash by value: tree, values bit for bit, flag and constraints.
PyObject* circuit_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_circuit(other)) Py_RETURN_NOTIMPLEMENTED;
  if (!stack_holds_circuit(self) || !stack_holds_circuit(other)) return nullptr;
  const bool same = circuit_explicit(self) == circuit_explicit(other) &&
                    kelvora::same_nodes(circuit_nodes(self), circuit_nodes(other)) &&
                    same_constraints(circuit_constraints(self), circuit_constraints(other));
  return PyBool_FromLong((op == Py_EQ) == same ? 1 : 0);
}

Py_hash_t circuit_hash(PyObject* self) {
  if (!stack_holds_circuit(self)) return -1;
  std::size_t h = kelvora::hash_nodes(circuit_nodes(self));
  h = kelvora::hash_mix(h, circuit_explicit(self) ? 1 : 0);
  h = kelvora::hash_mix(h, hash_constraints(circuit_constraints(self)));
  const auto out = static_cast<Py_hash_t>(h);
  return out == -1 ? -2 : out;
}

PyGetSetDef kGetSet[] = {
    {"expression", guarded<walks_self<&get_expression>>, nullptr,
     "Expression text that `Circuit()` parses back to this topology with the\n"
     "same `param_names()`; unlabelled elements are written with their\n"
     "automatic labels. ValueError for circuits no expression can write:\n"
     "repeated labels, or a series or parallel group without elements.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The text signature comes from the parameter table (fit_parameters.def).
constexpr auto kFitDoc = fit_docstring(
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.");

PyMethodDef kMethods[] = {
    {"ml_circuits", guarded_method<&ml_circuits>(), METH_NOARGS | METH_STATIC,
     "ml_circuits()\n--\n\n"
     "Names accepted by the constructor that have trained initial-parameter\n"
     "models, and so get a guessed starting point from `fit()` by default."},
    {"guess", guarded_method<walks_self<&circuit_guess>>(), METH_VARARGS | METH_KEYWORDS,
     "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
     "Machine-learning guess of starting parameters for this circuit's\n"
     "topology, in `param_names()` order.\n"
     "\n"
     "Series and parallel elements may be written with any order and labels:\n"
     "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
     "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
     "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
     "\n"
     "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
     "bundled model.\n"
     "\n"
     "Raises if no model has been trained for this topology, or if `weights`\n"
     "was trained for a different one."},
    {"param_names", guarded_method<walks_self<&param_names>>(), METH_NOARGS,
     "param_names($self)\n--\n\n"
     "Parameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"with_values", guarded_method<walks_self<&with_values>>(), METH_VARARGS | METH_KEYWORDS,
     "with_values($self, values)\n--\n\n"
     "Rebuild this circuit with a new flat parameter vector, assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values", guarded_method<walks_self<&with_named_values>>(), METH_VARARGS | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\n"
     "Rebuild this circuit with parameter values looked up by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\n"
     "may be supplied."},
    {"impedance", guarded_method<walks_self<&circuit_impedance>>(), METH_VARARGS | METH_KEYWORDS, "impedance($self, frequencies)\n--\n\n"},
    {"param_values", guarded_method<walks_self<&param_values>>(), METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"param_bounds", guarded_method<walks_self<&param_bounds>>(), METH_NOARGS,
     "param_bounds($self)\n--\n\n"
     "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", guarded_method<walks_self<&param_units>>(), METH_NOARGS, "param_units($self)\n--\n\nPhysical units per parameter"},
    {"residuals", guarded_method<walks_self<&circuit_residuals>>(), METH_VARARGS | METH_KEYWORDS,
     "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
     "arbitrary parameter vector -- the same building block `fit()` uses\n"
     "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
     "`scipy.optimize.least_squares`) can drive this circuit's math directly."},
    {"jacobian", guarded_method<walks_self<&circuit_jacobian>>(), METH_VARARGS | METH_KEYWORDS,
     "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
     "len(frequencies), len(params))` -- rows are residuals, columns are\n"
     "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."},
    {"fit", guarded_method<walks_self<&circuit_fit>>(), METH_VARARGS | METH_KEYWORDS, kFitDoc.data()},
    {"with_bounds", guarded_method<walks_self<&with_bounds>>(), METH_VARARGS | METH_KEYWORDS,
     "with_bounds($self, bounds)\n--\n\n"
     "This circuit with new `(lo, hi)` bounds for the named parameters, e.g.\n"
     "`{\"CPE1.alpha\": (0.5, 1.0)}`. Every fit method searches within them.\n"
     "Bounds must lie within the parameter's valid range ([0, inf) for\n"
     "magnitudes, [0, 1] for exponents) with `lo < hi`."},
    {"with_fixed", guarded_method<walks_self<&with_fixed>>(), METH_VARARGS | METH_KEYWORDS,
     "with_fixed($self, params)\n--\n\n"
     "This circuit with the named parameters held fixed: a dict gives their\n"
     "values, a list of names holds their current values. Every fit method\n"
     "leaves them exactly as they are; parameters fixed before stay fixed."},
    {"fixed_params", guarded_method<walks_self<&fixed_params>>(), METH_NOARGS,
     "fixed_params($self)\n--\n\nNames of the parameters held fixed, in `param_names()` order."},
    {"to_dict", guarded_method<walks_self<&to_dict>>(), METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "This circuit as a JSON-compatible dict: expression, values, flag,\n"
     "bounds and fixed set, with a format version. See `from_dict()`."},
    {"from_dict", guarded_method<&from_dict>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\n"
     "The circuit a `to_dict()` dict describes. ValueError for unknown or\n"
     "missing keys, malformed entries or a newer format version."},
    {"__reduce__", guarded_method<walks_self<&circuit_reduce>>(), METH_NOARGS, "Helper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int init_circuit_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
      {Py_tp_new, guarded_slot<&circuit_new>()},
      {Py_tp_dealloc, guarded_slot<&circuit_dealloc>()},
      {Py_tp_repr, guarded_slot<&circuit_repr>()},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetSet},
      {Py_tp_richcompare, guarded_slot<&circuit_richcompare>()},
      {Py_tp_hash, guarded_slot<&circuit_hash>()},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"kelvora.Circuit", sizeof(CircuitObject), 0, kClassFlags, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) return -1;
  g_circuit_type = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);
  if (PyModule_AddObject(module, "Circuit", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyTypeObject* circuit_type() { return g_circuit_type; }
bool is_circuit(PyObject* obj) { return g_circuit_type && PyObject_TypeCheck(obj, g_circuit_type); }

PyObject* new_circuit(SeriesList nodes, bool explicit_values) {
  ParamConstraints constraints = default_constraints(nodes);
  return new_circuit(std::move(nodes), explicit_values, std::move(constraints));
}

bool stack_holds(std::size_t depth) {
  const std::size_t limit = kelvora::nesting_limit();
  if (depth <= limit) return true;
  raise_value_error("circuit nests parallel groups " + std::to_string(depth) +
                    " levels deep, deeper than this thread's stack holds (" + std::to_string(limit) +
                    " levels); use it on a thread with a larger stack (threading.stack_size())");
  return false;
}

PyObject* new_circuit(SeriesList nodes, bool explicit_values, ParamConstraints constraints) {
  // Measured first: the other checks walk the tree.
  const std::size_t depth = kelvora::nesting_depth(nodes);
  const std::size_t limit = kelvora::nesting_limit();
  if (depth > limit)
    return raise_value_error("circuit nests parallel groups deeper than " + std::to_string(limit) + " levels" +
                             (limit < kelvora::kMaxNestingDepth ? " (the most this thread's stack holds)" : ""));
  if (!matches(constraints, nodes)) return raise_internal_error("new_circuit: constraints do not match the circuit");
  auto owned = std::make_unique<SeriesList>(std::move(nodes));
  auto owned_constraints = std::make_unique<ParamConstraints>(std::move(constraints));
  PyObject* self = g_circuit_type->tp_alloc(g_circuit_type, 0);
  if (!self) return nullptr;
  auto* c = reinterpret_cast<CircuitObject*>(self);
  c->nodes = owned.release();
  c->constraints = owned_constraints.release();
  c->explicit_values = explicit_values;
  c->depth = depth;
  return self;
}

}  // namespace kelvora::py
