// FitResult: the outcome of Circuit.fit().  Instances come from fit() and
// from_dict(); every attribute read builds a fresh Python object (a new Circuit, a new
// dict), so results never share state with their callers.  The measured
// spectrum is kept in the record for plot(), which hands it and the result
// to the pure-Python module kelvora.plot (matplotlib is imported there, on
// first use, never at module import).
#include "python/fit_result.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "circuit/tree.h"
#include "fit/fit_statistics.h"
#include "python/numpy_bridge.h"
#include "circuit/value_identity.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/class_setup.h"
#include "python/dict_form.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
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

// Whether the calling thread's stack holds a walk of the result's circuit
// (the fitted and the initial circuit share one topology).
bool stack_holds_result(PyObject* self) { return stack_holds(nesting_depth(outcome_of(self).circuit)); }

// Fn behind that check, for the methods and getters that walk the circuit.
template <auto Fn>
inline constexpr auto walks_result = &CheckedFirst<&stack_holds_result, Fn>::call;

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

// A p x p NumPy array of a row-major matrix, or None.
PyObject* matrix_or_none(const std::optional<std::vector<double>>& m, std::size_t p) {
  if (!m) Py_RETURN_NONE;
  double* data = nullptr;
  PyObject* arr = new_double_matrix(p, p, &data);
  if (!arr) return nullptr;
  std::copy(m->begin(), m->end(), data);
  return arr;
}

PyObject* get_covariance(PyObject* self, void*) {
  const auto& o = outcome_of(self);
  return matrix_or_none(o.covariance, o.params.size());
}
PyObject* get_correlation(PyObject* self, void*) {
  const auto& o = outcome_of(self);
  if (!o.covariance) Py_RETURN_NONE;
  return matrix_or_none(correlation(*o.covariance, o.params.size()), o.params.size());
}
PyObject* get_residuals(PyObject* self, void*) {
  const auto& r = outcome_of(self).residuals;
  double* data = nullptr;
  PyObject* arr = new_double_array(r.size(), &data);
  if (!arr) return nullptr;
  std::copy(r.begin(), r.end(), data);
  return arr;
}
FitStatistics statistics_of(PyObject* self) { return fit_statistics(outcome_of(self), record_of(self).constraints); }
PyObject* get_dof(PyObject* self, void*) { return PyLong_FromLongLong(statistics_of(self).dof); }
PyObject* get_reduced_chi_square(PyObject* self, void*) {
  return PyFloat_FromDouble(statistics_of(self).reduced_chi_square);
}
PyObject* get_aic(PyObject* self, void*) { return PyFloat_FromDouble(statistics_of(self).aic); }
PyObject* get_bic(PyObject* self, void*) { return PyFloat_FromDouble(statistics_of(self).bic); }
PyObject* get_method(PyObject* self, void*) { return to_py_str(record_of(self).method); }
PyObject* get_message(PyObject* self, void*) {
  return to_py_str(std::string(fit_ending_info(outcome_of(self).ending).message));
}
PyObject* get_initial(PyObject* self, void*) {
  const FitRecord& r = record_of(self);
  return new_circuit(r.initial, r.initial_explicit, r.constraints);
}

PyObject* fit_result_summary(PyObject* self, PyObject*) {
  const FitRecord& r = record_of(self);
  const std::vector<double> start = param_values(r.initial);
  return to_py_str(fit_summary(outcome_of(self), r.constraints, r.method, start));
}

PyGetSetDef kGetSet[] = {
    {"circuit", guarded<walks_result<&get_circuit>>, nullptr, nullptr, nullptr},
    {"params", guarded<&get_params>, nullptr, nullptr, nullptr},
    {"stderr", guarded<&get_stderr>, nullptr, nullptr, nullptr},
    {"success", guarded<&get_success>, nullptr, nullptr, nullptr},
    {"iterations", guarded<&get_iterations>, nullptr, nullptr, nullptr},
    {"impedance_evals", guarded<&get_impedance_evals>, nullptr, nullptr, nullptr},
    {"cost", guarded<&get_cost>, nullptr, nullptr, nullptr},
    {"chi_square", guarded<&get_chi_square>, nullptr, nullptr, nullptr},
    {"covariance", guarded<&get_covariance>, nullptr,
     "Covariance of the parameters, a p x p NumPy array in parameter units in\n"
     "`param_names()` order: chi_square / dof times the inverse of J^T J over\n"
     "the free parameters, J the weighted Jacobian at the solution. Fixed\n"
     "parameters have zero rows and columns. `sqrt(diag(covariance))` is\n"
     "`stderr`; None when `stderr` is.",
     nullptr},
    {"correlation", guarded<&get_correlation>, nullptr,
     "Correlation matrix of the parameters (`covariance` scaled to a unit\n"
     "diagonal); fixed parameters have zero rows. None when `stderr` is.",
     nullptr},
    {"residuals", guarded<&get_residuals>, nullptr,
     "Weighted residual vector at the solution, interleaved\n"
     "`[re0, im0, re1, im1, ...]` as `Circuit.residuals()` returns it.",
     nullptr},
    {"dof", guarded<&get_dof>, nullptr, "Degrees of freedom: 2n observations minus the free parameters.", nullptr},
    {"reduced_chi_square", guarded<&get_reduced_chi_square>, nullptr, "`chi_square / dof`; NaN when `dof` is not positive.", nullptr},
    {"aic", guarded<&get_aic>, nullptr,
     "Akaike information criterion, n_obs ln(chi_square / n_obs) + 2k, with\n"
     "n_obs = 2n observations and k free parameters.",
     nullptr},
    {"bic", guarded<&get_bic>, nullptr,
     "Bayesian information criterion, n_obs ln(chi_square / n_obs) + k ln(n_obs).", nullptr},
    {"method", guarded<&get_method>, nullptr, "Name of the fit method.", nullptr},
    {"message", guarded<&get_message>, nullptr, "Why the solver or the search stopped.", nullptr},
    {"initial", guarded<walks_result<&get_initial>>, nullptr,
     "The circuit the fit started from: the guess, or the given values.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The plot kinds, each a function of kelvora.plot taking
// (frequencies, impedances, *, result, ax).
constexpr std::array<std::string_view, 3> kPlotKinds = {"nyquist", "bode", "residuals"};

PyObject* fit_result_plot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"kind", "ax", nullptr};
  PyObject* kind_obj = nullptr;
  PyObject* ax = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:plot", const_cast<char**>(kwlist), &kind_obj, &ax))
    return nullptr;
  std::string kind = "nyquist";
  if (kind_obj && !convert_str(kind_obj, "kind", kind)) return nullptr;
  if (std::find(kPlotKinds.begin(), kPlotKinds.end(), kind) == kPlotKinds.end()) {
    std::string message = "unknown plot kind " + quoted(kind) + ", expected one of ";
    for (std::size_t i = 0; i < kPlotKinds.size(); ++i)
      message += (i ? ", " : "") + quoted(std::string(kPlotKinds[i]));
    return raise_value_error(message);
  }

  // A result read back from a version-1 dict form has no spectrum.
  if (record_of(self).spectrum.frequencies.empty())
    return raise_value_error("this FitResult holds no measured spectrum (it was read from a dict form of "
                             "version 1): pass the spectrum to kelvora.plot." + kind + "(frequencies, impedances, "
                             "result=result)");
  PyRef spectrum(spectrum_arrays(record_of(self).spectrum));
  if (!spectrum) return nullptr;
  PyRef module(PyImport_ImportModule("kelvora.plot"));
  if (!module) return nullptr;
  PyRef function(PyObject_GetAttrString(module.get(), kind.c_str()));
  if (!function) return nullptr;
  PyRef call_kwargs(PyDict_New());
  if (!call_kwargs || PyDict_SetItemString(call_kwargs.get(), "result", self) < 0 ||
      PyDict_SetItemString(call_kwargs.get(), "ax", ax) < 0)
    return nullptr;
  return PyObject_Call(function.get(), spectrum.get(), call_kwargs.get());
}

const char kPlotDoc[] =
    "plot($self, kind=\"nyquist\", ax=None)\n--\n\n"
    "Draw the measured spectrum and the fitted curve with kelvora.plot:\n"
    "kind is \"nyquist\", \"bode\" or \"residuals\".  Returns the axes.";

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
  if (auto* record = reinterpret_cast<FitResultObject*>(self)->record) {
    release_tree(record->outcome.circuit);
    release_tree(record->initial);
  }
  delete reinterpret_cast<FitResultObject*>(self)->record;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the dict form, pickling and equality ----

// Version 2 added the measured spectrum, so that a result read back can
// plot itself; version 1 dicts are still read, without it.
constexpr long kFitResultVersion = 2;
const std::vector<const char*> kFitResultKeysV1 = {
    "type",       "version", "circuit",         "params", "stderr",    "covariance", "residuals", "success",
    "iterations", "method",  "impedance_evals", "cost",   "chi_square", "ending",    "initial"};
const std::vector<const char*> kFitResultKeys = [] {
  auto keys = kFitResultKeysV1;
  keys.insert(keys.end(), {"frequencies", "impedance_real", "impedance_imag"});
  return keys;
}();

// Whether `dict` says it is of format version 1 (an int 1, not a bool).
// The key is found by its text, so that no __eq__ of the dict's keys runs.
bool is_version_1(PyObject* dict) {
  if (!PyDict_Check(dict)) return false;
  PyObject *key = nullptr, *value = nullptr, *v = nullptr;
  Py_ssize_t pos = 0;
  while (!v && PyDict_Next(dict, &pos, &key, &value))
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "version") == 0) v = value;
  if (!v || !PyLong_Check(v) || PyBool_Check(v)) return false;
  int overflow = 0;
  const long n = PyLong_AsLongAndOverflow(v, &overflow);
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  return overflow == 0 && n == 1;
}


// A p x p row-major matrix as a list of row lists, or None.
PyObject* matrix_list(const std::optional<std::vector<double>>& m, std::size_t p) {
  if (!m) Py_RETURN_NONE;
  PyRef rows(PyList_New(static_cast<Py_ssize_t>(p)));
  if (!rows) return nullptr;
  for (std::size_t i = 0; i < p; ++i) {
    PyObject* row = float_list(std::vector<double>(m->begin() + static_cast<std::ptrdiff_t>(i * p),
                                                   m->begin() + static_cast<std::ptrdiff_t>((i + 1) * p)));
    if (!row) return nullptr;
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
  }
  return rows.release();
}

bool read_matrix(PyObject* obj, const char* what, const char* key, std::size_t p, std::vector<double>& out) {
  if (!PyList_Check(obj) || static_cast<std::size_t>(PyList_GET_SIZE(obj)) != p) {
    std::string text = quoted(key);
    text += " must be None or a list of ";
    text += std::to_string(p);
    text += " rows";
    return dict_error(what, text);
  }
  out.clear();
  for (std::size_t i = 0; i < p; ++i) {
    std::vector<double> row;
    if (!read_doubles(PyList_GET_ITEM(obj, static_cast<Py_ssize_t>(i)), what, key, p, row)) return false;
    out.insert(out.end(), row.begin(), row.end());
  }
  return true;
}

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
      !set_item(dict.get(), "covariance", matrix_list(o.covariance, o.params.size())) ||
      !set_item(dict.get(), "residuals", float_list(o.residuals)) ||
      !set_item(dict.get(), "method", to_py_str(r.method)) ||
      !set_item(dict.get(), "ending", to_py_str(std::string(fit_ending_info(o.ending).name))) ||
      !set_item(dict.get(), "initial", circuit_to_dict(r.initial, r.initial_explicit, r.constraints)) ||
      !set_item(dict.get(), "success", PyBool_FromLong(o.success ? 1 : 0)) ||
      !set_item(dict.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) ||
      !set_item(dict.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals)) ||
      !set_item(dict.get(), "cost", PyFloat_FromDouble(o.cost)) ||
      !set_item(dict.get(), "chi_square", PyFloat_FromDouble(o.chi_square)) ||
      !set_spectrum(dict.get(), r.spectrum.frequencies, r.spectrum.impedances))
    return nullptr;
  return dict.release();
}

PyObject* fit_result_from_dict(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"d", nullptr};
  PyObject* given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dict", const_cast<char**>(kwlist), &given)) return nullptr;
  const char* what = "FitResult dict";
  const bool version_1 = is_version_1(given);
  const PyRef copy = check_dict_form(given, what, "FitResult", version_1 ? 1 : kFitResultVersion,
                                     version_1 ? kFitResultKeysV1 : kFitResultKeys);
  if (!copy) return nullptr;
  PyObject* const dict = copy.get();
  FitRecord r;
  auto& o = r.outcome;
  bool explicit_values = true;
  if (!circuit_from_dict(dict_item(dict, "circuit"), "FitResult dict: \"circuit\"", o.circuit, explicit_values,
                         r.constraints))
    return nullptr;
  o.names = param_names(o.circuit);
  const std::size_t n = o.names.size();
  if (!read_doubles(dict_item(dict, "params"), what, "params", n, o.params)) return nullptr;
  // The values are stored twice; a hand edit of one alone would make
  // result.params disagree with result.circuit.
  const auto stored = param_values(o.circuit);
  for (std::size_t i = 0; i < n; ++i)
    if (std::bit_cast<std::uint64_t>(stored[i]) != std::bit_cast<std::uint64_t>(o.params[i])) {
      dict_error(what, "\"params\" must equal the values of \"circuit\" (" + quoted(o.names[i]) + " differs)");
      return nullptr;
    }
  PyObject* stderr_obj = dict_item(dict, "stderr");
  if (stderr_obj != Py_None) {
    std::vector<double> errors;
    if (!read_doubles(stderr_obj, what, "stderr", n, errors)) return nullptr;
    o.standard_errors = std::move(errors);
  }
  PyObject* covariance_obj = dict_item(dict, "covariance");
  if (covariance_obj != Py_None) {
    std::vector<double> c;
    if (!read_matrix(covariance_obj, what, "covariance", n, c)) return nullptr;
    o.covariance = std::move(c);
  }
  if (o.covariance.has_value() != o.standard_errors.has_value()) {
    dict_error(what, "\"covariance\" and \"stderr\" must both be None or both be given");
    return nullptr;
  }
  if (!read_doubles(dict_item(dict, "residuals"), what, "residuals", std::nullopt, o.residuals) ||
      !read_string(dict_item(dict, "method"), what, "method", r.method))
    return nullptr;
  std::string ending;
  if (!read_string(dict_item(dict, "ending"), what, "ending", ending)) return nullptr;
  const auto endings = fit_endings();
  const auto row =
      std::find_if(endings.begin(), endings.end(), [&](const FitEndingInfo& e) { return e.name == ending; });
  if (row == endings.end()) {
    std::string text = "unknown \"ending\" ";
    text += quoted(ending);
    dict_error(what, text);
    return nullptr;
  }
  o.ending = row->ending;
  ParamConstraints initial_constraints;
  if (!circuit_from_dict(dict_item(dict, "initial"), "FitResult dict: \"initial\"", r.initial, r.initial_explicit,
                         initial_constraints))
    return nullptr;
  if (param_names(r.initial) != o.names) {
    dict_error(what, "\"initial\" must have the parameters of \"circuit\"");
    return nullptr;
  }
  if (!read_bool(dict_item(dict, "success"), what, "success", o.success) ||
      !read_u64(dict_item(dict, "iterations"), what, "iterations", o.iterations) ||
      !read_u64(dict_item(dict, "impedance_evals"), what, "impedance_evals", o.impedance_evals) ||
      !read_double(dict_item(dict, "cost"), what, "cost", o.cost) ||
      !read_double(dict_item(dict, "chi_square"), what, "chi_square", o.chi_square))
    return nullptr;
  if (!version_1) {
    if (!read_spectrum(dict, what, r.spectrum.frequencies, r.spectrum.impedances)) return nullptr;
    const std::size_t n = r.spectrum.frequencies.size();
    // A result read from a version 1 dict carries no spectrum and writes an empty one; a kept spectrum is the
    // one the residuals were computed on.
    if (n != 0 && o.residuals.size() != 2 * n) {
      dict_error(what, "\"residuals\" must hold twice as many values as \"frequencies\" (" +
                           std::to_string(o.residuals.size()) + " for " + std::to_string(n) + " frequencies)");
      return nullptr;
    }
  }
  return new_fit_result(std::move(r));
}

PyObject* fit_result_reduce(PyObject* self, PyObject*) {
  return reduce_through_dict(self, fit_result_to_dict(self, nullptr));
}

bool same_record(const FitRecord& a, const FitRecord& b) {
  const auto& x = a.outcome;
  const auto& y = b.outcome;
  return x.iterations == y.iterations && x.impedance_evals == y.impedance_evals && same_bits(x.cost, y.cost) &&
         same_bits(x.chi_square, y.chi_square) && x.standard_errors.has_value() == y.standard_errors.has_value() &&
         (!x.standard_errors || same_bits(*x.standard_errors, *y.standard_errors)) &&
         same_nodes(x.circuit, y.circuit) && x.names == y.names && same_bits(x.params, y.params) &&
         x.success == y.success && same_constraints(a.constraints, b.constraints) &&
         x.covariance.has_value() == y.covariance.has_value() && (!x.covariance || same_bits(*x.covariance, *y.covariance)) &&
         same_bits(x.residuals, y.residuals) && x.ending == y.ending && a.method == b.method &&
         a.initial_explicit == b.initial_explicit && same_nodes(a.initial, b.initial) &&
         same_bits(a.spectrum.frequencies, b.spectrum.frequencies) &&
         same_bits(a.spectrum.impedances, b.spectrum.impedances);
}

// Results compare by value, every number bit for bit.  They are not hashable.
PyObject* fit_result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  if (!stack_holds_result(self) || !stack_holds_result(other)) return nullptr;
  const bool same = same_record(record_of(self), record_of(other));
  return PyBool_FromLong((op == Py_EQ) == same ? 1 : 0);
}

PyMethodDef kMethods[] = {
    // A result never changes, so a copy (shallow or deep) is the result itself; pickles go through the dict
    // form, measured spectrum and all.
    {"__copy__", guarded_method<&same_value>(), METH_NOARGS, "The result itself: results never change."},
    {"__deepcopy__", guarded_method<&same_value>(), METH_O, "The result itself: results never change."},
    {"to_dict", guarded_method<walks_result<&fit_result_to_dict>>(), METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "This result as a JSON-compatible dict of every attribute, with a format\n"
     "version. See `from_dict()`."},
    {"from_dict", guarded_method<&fit_result_from_dict>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\n"
     "The result a `to_dict()` dict describes. ValueError for unknown or\n"
     "missing keys, malformed entries or a newer format version."},
    {"__reduce__", guarded_method<walks_result<&fit_result_reduce>>(), METH_NOARGS, "Helper for pickle and copy."},
    {"summary", guarded_method<walks_result<&fit_result_summary>>(), METH_NOARGS,
     "summary($self)\n--\n\n"
     "A table of the parameters: name, value ± standard error, relative error\n"
     "in percent, unit, and a mark on fixed parameters, those at a bound and\n"
     "those that diverged (ran off to an open or short circuit);\n"
     "headed by the method, why it stopped, and the fit statistics."},
    {"plot", guarded_method<&fit_result_plot>(), METH_VARARGS | METH_KEYWORDS, kPlotDoc},
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
