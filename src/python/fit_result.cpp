// FitResult: the outcome of Circuit.fit().  Instances come only from fit();
// every attribute read builds a fresh Python object (a new Circuit, a new
// dict), so results never share state with their callers.
#include "python/fit_result.h"

#include <algorithm>
#include <memory>
#include <string>

#include "circuit/tree.h"
#include "circuit/value_identity.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/class_setup.h"
#include "python/dict_form.h"
#include "python/errors.h"
#include "python/py_lists.h"
#include "python/guard.h"
#include "python/pyref.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::py {
namespace {

struct FitResultObject {
  PyObject_HEAD
  FitRecord* record;  // owned
};

// The type, created once at module initialisation and kept for the life of
// the process (the module lives in the main interpreter only).
PyTypeObject* g_type = nullptr;

const FitRecord& record_of(PyObject* self) { return *reinterpret_cast<FitResultObject*>(self)->record; }
const kelvora::FitOutcome& outcome_of(PyObject* self) { return record_of(self).outcome; }

// names paired with values position by position, up to the shorter list.
PyObject* paired_dict(const std::vector<std::string>& names, const std::vector<double>& values) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::size_t n = std::min(names.size(), values.size());
  for (std::size_t i = 0; i < n; ++i) {
    PyRef key(PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size())));
    PyRef value(PyFloat_FromDouble(values[i]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_circuit(PyObject* self, void*) {
  return new_circuit(outcome_of(self).circuit, true, record_of(self).constraints);
}
PyObject* get_params(PyObject* self, void*) {
  const auto& o = outcome_of(self);
  return paired_dict(o.names, o.params);
}
PyObject* get_stderr(PyObject* self, void*) {
  const auto& o = outcome_of(self);
  if (!o.standard_errors) Py_RETURN_NONE;
  return paired_dict(o.names, *o.standard_errors);
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(outcome_of(self).success ? 1 : 0); }
PyObject* get_iterations(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(outcome_of(self).iterations); }
PyObject* get_impedance_evals(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(outcome_of(self).impedance_evals);
}
PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).cost); }
PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).chi_square); }

PyGetSetDef kGetSet[] = {
    {"circuit", guarded<&get_circuit>, nullptr, nullptr, nullptr},
    {"params", guarded<&get_params>, nullptr, nullptr, nullptr},
    {"stderr", guarded<&get_stderr>, nullptr, nullptr, nullptr},
    {"success", guarded<&get_success>, nullptr, nullptr, nullptr},
    {"iterations", guarded<&get_iterations>, nullptr, nullptr, nullptr},
    {"impedance_evals", guarded<&get_impedance_evals>, nullptr, nullptr, nullptr},
    {"cost", guarded<&get_cost>, nullptr, nullptr, nullptr},
    {"chi_square", guarded<&get_chi_square>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// FitResult(success=true, iterations=42, impedance_evals=120, chi_square=1.234568e-3,
//           params={"R0.r": 10.0, ...}) -- params in the order of the params dict.
PyObject* fit_result_repr(PyObject* self) {
  const auto& o = outcome_of(self);
  std::string text = "FitResult(success=";
  text += o.success ? "true" : "false";
  text += ", iterations=" + std::to_string(o.iterations);
  text += ", impedance_evals=" + std::to_string(o.impedance_evals);
  text += ", chi_square=" + format_scientific6(o.chi_square);
  text += ", params={";
  const std::size_t n = std::min(o.names.size(), o.params.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (i) text += ", ";
    text += quoted(o.names[i]) + ": " + format_element_number(o.params[i]);
  }
  text += "})";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
  return nullptr;
}

void fit_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FitResultObject*>(self)->record;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the dict form, pickling and equality ----

constexpr long kFitResultVersion = 1;
const std::vector<const char*> kFitResultKeys = {"type", "version", "circuit", "params", "stderr", "success",
                                                 "iterations", "impedance_evals", "cost", "chi_square"};

PyObject* fit_result_to_dict(PyObject* self, PyObject*) {
  const FitRecord& r = record_of(self);
  const auto& o = r.outcome;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "type", PyUnicode_FromString("FitResult")) ||
      !set_item(dict.get(), "version", PyLong_FromLong(kFitResultVersion)) ||
      !set_item(dict.get(), "circuit", circuit_to_dict(o.circuit, true, r.constraints)) ||
      !set_item(dict.get(), "params", float_list(o.params)) ||
      !set_item(dict.get(), "stderr", o.standard_errors ? float_list(*o.standard_errors) : (Py_INCREF(Py_None), Py_None)) ||
      !set_item(dict.get(), "success", PyBool_FromLong(o.success ? 1 : 0)) ||
      !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) ||
      !set_item(dict.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals)) ||
      !set_item(dict.get(), "cost", PyFloat_FromDouble(o.cost)) ||
      !set_item(dict.get(), "chi_square", PyFloat_FromDouble(o.chi_square)))
    return nullptr;
  return dict.release();
}

PyObject* fit_result_from_dict(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"d", nullptr};
  PyObject* dict = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dict", const_cast<char**>(kwlist), &dict)) return nullptr;
  const char* what = "FitResult dict";
  if (!check_dict_form(dict, what, "FitResult", kFitResultVersion, kFitResultKeys)) return nullptr;
  FitRecord r;
  auto& o = r.outcome;
  bool explicit_values = true;
  if (!circuit_from_dict(dict_item(dict, "circuit"), "FitResult dict: \"circuit\"", o.circuit, explicit_values,
                         r.constraints))
    return nullptr;
  o.names = param_names(o.circuit);
  const std::size_t n = o.names.size();
  if (!read_doubles(dict_item(dict, "params"), what, "params", n, o.params)) return nullptr;
  PyObject* stderr_obj = dict_item(dict, "stderr");
  if (stderr_obj != Py_None) {
    std::vector<double> errors;
    if (!read_doubles(stderr_obj, what, "stderr", n, errors)) return nullptr;
    o.standard_errors = std::move(errors);
  }
  if (!read_bool(dict_item(dict, "success"), what, "success", o.success) ||
      !read_u64(dict_item(dict, "iterations"), what, "iterations", o.iterations) ||
      !read_u64(dict_item(dict, "impedance_evals"), what, "impedance_evals", o.impedance_evals) ||
      !read_double(dict_item(dict, "cost"), what, "cost", o.cost) ||
      !read_double(dict_item(dict, "chi_square"), what, "chi_square", o.chi_square))
    return nullptr;
  return new_fit_result(std::move(r));
}

PyObject* fit_result_reduce(PyObject* self, PyObject*) {
  PyRef dict(fit_result_to_dict(self, nullptr));
  if (!dict) return nullptr;
  PyRef restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_dict"));
  if (!restore) return nullptr;
  return Py_BuildValue("(O(O))", restore.get(), dict.get());
}

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_bits(a[i], b[i])) return false;
  return true;
}

bool same_record(const FitRecord& a, const FitRecord& b) {
  const auto& x = a.outcome;
  const auto& y = b.outcome;
  return x.iterations == y.iterations && x.impedance_evals == y.impedance_evals && same_bits(x.cost, y.cost) &&
         same_bits(x.chi_square, y.chi_square) && x.standard_errors.has_value() == y.standard_errors.has_value() &&
         (!x.standard_errors || same_values(*x.standard_errors, *y.standard_errors)) &&
         same_nodes(x.circuit, y.circuit) && x.names == y.names && same_values(x.params, y.params) &&
         x.success == y.success && same_constraints(a.constraints, b.constraints);
}

// Results compare by value, every number bit for bit.  They are not hashable.
PyObject* fit_result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = same_record(record_of(self), record_of(other));
  return PyBool_FromLong((op == Py_EQ) == same ? 1 : 0);
}

PyMethodDef kMethods[] = {
    {"to_dict", guarded_method<&fit_result_to_dict>(), METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "This result as a JSON-compatible dict of every attribute, with a format\n"
     "version. See `from_dict()`."},
    {"from_dict", guarded_method<&fit_result_from_dict>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\n"
     "The result a `to_dict()` dict describes. ValueError for unknown or\n"
     "missing keys, malformed entries or a newer format version."},
    {"__reduce__", guarded_method<&fit_result_reduce>(), METH_NOARGS, "Helper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_fit_result_type(PyObject*) {
  static PyType_Slot slots[] = {
      {Py_tp_new, guarded_slot<&fit_result_new>()},
      {Py_tp_dealloc, guarded_slot<&fit_result_dealloc>()},
      {Py_tp_repr, guarded_slot<&fit_result_repr>()},
      {Py_tp_getset, kGetSet},
      {Py_tp_methods, kMethods},
      {Py_tp_richcompare, guarded_slot<&fit_result_richcompare>()},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"kelvora.FitResult", sizeof(FitResultObject), 0, kClassFlags, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) return nullptr;
  Py_XDECREF(reinterpret_cast<PyObject*>(g_type));
  Py_INCREF(type);
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* new_fit_result(FitRecord record) {
  if (!g_type) {
    PyErr_SetString(PyExc_RuntimeError, "FitResult type is not initialised");
    return nullptr;
  }
  auto owned = std::make_unique<FitRecord>(std::move(record));
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (!self) return nullptr;
  reinterpret_cast<FitResultObject*>(self)->record = owned.release();
  return self;
}

}  // namespace kelvora::py
