#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "circuit/model_names.h"
#include "circuit/parse_report.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/class_setup.h"
#include "python/errors.h"
#include "python/fit_signature.h"
#include "python/guard.h"
#include "python/py_lists.h"
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
  delete reinterpret_cast<CircuitObject*>(self)->nodes;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* circuit_repr(PyObject* self) {
  const SeriesList& nodes = circuit_nodes(self);
  const auto names = kelvora::param_names(nodes);
  const auto units = kelvora::param_units(nodes);
  const auto values = kelvora::param_values(nodes);
  const auto bounds = kelvora::param_bounds(nodes);
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
  const auto bounds = kelvora::param_bounds(circuit_nodes(self));
  PyRef list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    PyObject* pair = Py_BuildValue("(dd)", bounds[i].first, bounds[i].second);
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
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
  return new_circuit(kelvora::rebuild(nodes, values), true);
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
    return new_circuit(kelvora::rebuild(nodes, values), true);
  }
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
  return raise_value_error(report);
}

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
    {"guess", guarded_method<&circuit_guess>(), METH_VARARGS | METH_KEYWORDS,
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
    {"param_names", guarded_method<&param_names>(), METH_NOARGS,
     "param_names($self)\n--\n\n"
     "Parameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"with_values", guarded_method<&with_values>(), METH_VARARGS | METH_KEYWORDS,
     "with_values($self, values)\n--\n\n"
     "Rebuild this circuit with a new flat parameter vector, assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values", guarded_method<&with_named_values>(), METH_VARARGS | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\n"
     "Rebuild this circuit with parameter values looked up by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\n"
     "may be supplied."},
    {"impedance", guarded_method<&circuit_impedance>(), METH_VARARGS | METH_KEYWORDS, "impedance($self, frequencies)\n--\n\n"},
    {"param_values", guarded_method<&param_values>(), METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"param_bounds", guarded_method<&param_bounds>(), METH_NOARGS,
     "param_bounds($self)\n--\n\n"
     "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", guarded_method<&param_units>(), METH_NOARGS, "param_units($self)\n--\n\nPhysical units per parameter"},
    {"residuals", guarded_method<&circuit_residuals>(), METH_VARARGS | METH_KEYWORDS,
     "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
     "arbitrary parameter vector -- the same building block `fit()` uses\n"
     "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
     "`scipy.optimize.least_squares`) can drive this circuit's math directly."},
    {"jacobian", guarded_method<&circuit_jacobian>(), METH_VARARGS | METH_KEYWORDS,
     "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
     "len(frequencies), len(params))` -- rows are residuals, columns are\n"
     "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."},
    {"fit", guarded_method<&circuit_fit>(), METH_VARARGS | METH_KEYWORDS, kFitDoc.data()},
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
  if (kelvora::nesting_depth(nodes) > kelvora::kMaxNestingDepth)
    return raise_value_error("circuit nests parallel groups deeper than " + std::to_string(kelvora::kMaxNestingDepth) +
                             " levels");
  auto owned = std::make_unique<SeriesList>(std::move(nodes));
  PyObject* self = g_circuit_type->tp_alloc(g_circuit_type, 0);
  if (!self) return nullptr;
  auto* c = reinterpret_cast<CircuitObject*>(self);
  c->nodes = owned.release();
  c->explicit_values = explicit_values;
  return self;
}

}  // namespace kelvora::py
