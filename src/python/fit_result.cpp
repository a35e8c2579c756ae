// FitResult: the outcome of Circuit.fit().  Instances come only from fit();
// every attribute read builds a fresh Python object (a new Circuit, a new
// dict), so results never share state with their callers.  The measured
// spectrum is kept beside the outcome for plot(), which hands both to the
// pure-Python module kelvora.plot (matplotlib is imported there, on first
// use, never at module import).
#include "python/fit_result.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/class_setup.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
#include "python/guard.h"
#include "python/pyref.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::py {
namespace {

// What a FitResult owns: the outcome and the spectrum it was fitted to.
struct FitResultData {
  kelvora::FitOutcome outcome;
  Spectrum spectrum;
};

struct FitResultObject {
  PyObject_HEAD
  FitResultData* data;  // owned
};

// The type, created once at module initialisation and kept for the life of
// the process (the module lives in the main interpreter only).
PyTypeObject* g_type = nullptr;

const FitResultData& data_of(PyObject* self) { return *reinterpret_cast<FitResultObject*>(self)->data; }
const kelvora::FitOutcome& outcome_of(PyObject* self) { return data_of(self).outcome; }

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

PyObject* get_circuit(PyObject* self, void*) { return new_circuit(outcome_of(self).circuit, true); }
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

  PyRef spectrum(spectrum_arrays(data_of(self).spectrum));
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

PyMethodDef kMethods[] = {
    {"plot", guarded_method<&fit_result_plot>(), METH_VARARGS | METH_KEYWORDS, kPlotDoc},
    {nullptr, nullptr, 0, nullptr},
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
  delete reinterpret_cast<FitResultObject*>(self)->data;
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyObject* create_fit_result_type(PyObject*) {
  static PyType_Slot slots[] = {
      {Py_tp_new, guarded_slot<&fit_result_new>()},
      {Py_tp_dealloc, guarded_slot<&fit_result_dealloc>()},
      {Py_tp_repr, guarded_slot<&fit_result_repr>()},
      {Py_tp_getset, kGetSet},
      {Py_tp_methods, kMethods},
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

PyObject* new_fit_result(kelvora::FitOutcome outcome, Spectrum spectrum) {
  if (!g_type) {
    PyErr_SetString(PyExc_RuntimeError, "FitResult type is not initialised");
    return nullptr;
  }
  auto owned = std::make_unique<FitResultData>(FitResultData{std::move(outcome), std::move(spectrum)});
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (!self) return nullptr;
  reinterpret_cast<FitResultObject*>(self)->data = owned.release();
  return self;
}

}  // namespace kelvora::py
