// FitResult: the outcome of Circuit.fit().  Instances come only from fit();
// every attribute read builds a fresh Python object (a new Circuit, a new
// dict), so results never share state with their callers.
#include "python/fit_result.h"

#include <new>
#include <string>

#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/pyref.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::py {
namespace {

struct FitResultObject {
  PyObject_HEAD
  kelvora::FitOutcome* outcome;  // owned
};

// The type, created once at module initialisation and kept for the life of
// the process (the module lives in the main interpreter only).
PyTypeObject* g_type = nullptr;

const kelvora::FitOutcome& outcome_of(PyObject* self) { return *reinterpret_cast<FitResultObject*>(self)->outcome; }

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
  try {
    return new_circuit(outcome_of(self).circuit, true);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
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
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// FitResult(success=true, iterations=42, impedance_evals=120, chi_square=1.234568e-3,
//           params={"R0.r": 10.0, ...}) -- params in the dict's iteration order.
PyObject* fit_result_repr(PyObject* self) {
  try {
    const auto& o = outcome_of(self);
    PyRef params(get_params(self, nullptr));
    if (!params) return nullptr;
    std::string text = "FitResult(success=";
    text += o.success ? "true" : "false";
    text += ", iterations=" + std::to_string(o.iterations);
    text += ", impedance_evals=" + std::to_string(o.impedance_evals);
    text += ", chi_square=" + format_scientific6(o.chi_square);
    text += ", params={";
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    bool first = true;
    while (PyDict_Next(params.get(), &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (!utf8) return nullptr;
      if (!first) text += ", ";
      first = false;
      text += quoted(std::string_view(utf8, static_cast<std::size_t>(size)));
      text += ": ";
      text += format_element_number(PyFloat_AS_DOUBLE(value));
    }
    text += "})";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
  return nullptr;
}

void fit_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FitResultObject*>(self)->outcome;
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyObject* create_fit_result_type(PyObject*) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(fit_result_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr)},
      {Py_tp_getset, kGetSet},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"kelvora.FitResult", sizeof(FitResultObject), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) return nullptr;
  Py_XDECREF(reinterpret_cast<PyObject*>(g_type));
  Py_INCREF(type);
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* new_fit_result(kelvora::FitOutcome outcome) {
  if (!g_type) {
    PyErr_SetString(PyExc_RuntimeError, "FitResult type is not initialised");
    return nullptr;
  }
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (!self) return nullptr;
  try {
    reinterpret_cast<FitResultObject*>(self)->outcome = new kelvora::FitOutcome(std::move(outcome));
  } catch (const std::bad_alloc&) {
    reinterpret_cast<FitResultObject*>(self)->outcome = nullptr;
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

}  // namespace kelvora::py
