// lin_kk and KKResult: the linear Kramers-Kronig test from Python.  The
// arguments are read with the interpreter lock held, the test runs without
// it, and the result is an immutable object whose array attributes are new
// NumPy arrays at every read.
#include "python/kk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/value_identity.h"
#include "kk/lin_kk.h"
#include "python/class_setup.h"
#include "python/dict_form.h"
#include "python/errors.h"
#include "python/guard.h"
#include "python/fit_arguments.h"
#include "python/gil.h"
#include "python/numpy_bridge.h"
#include "python/py_lists.h"
#include "python/pyref.h"
#include "python/spectrum.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::py {

const char kLinKkDoc[] =
    "lin_kk(frequencies, impedances=None, *, c=0.85, max_m=None, test=\"complex\", "
    "add_capacitance=False, add_inductance=True)\n--\n\n"
    "Linear Kramers-Kronig test of a measured spectrum.\n\n"
    "Fits a series resistance, M Voigt elements with time constants log-spaced\n"
    "from 1/(2 pi f_max) to 1/(2 pi f_min) and, optionally, a series inductance\n"
    "and capacitance to the spectrum by linear least squares weighted by 1/|Z|\n"
    "(Schoenleber et al., Electrochim. Acta 131 (2014) 20).  M grows from 1 and\n"
    "stops at the first fit whose mu = 1 - sum|R_k < 0| / sum|R_k >= 0| is below\n"
    "c, or at max_m (default: the number of points, capped at half the number\n"
    "of Voigt elements the data determine, where points repeated at one\n"
    "frequency count once; an explicit max_m is capped at that number).  A\n"
    "fit that is under-resolved rather than overfitted (a sharp arc between\n"
    "two time constants, where mu dips while the residuals are large) does\n"
    "not stop it: a fit is passed over when one of the next M // 2 + 2\n"
    "fits, up to that half, has less than a tenth of its sum of squared\n"
    "residuals.  A spectrum that obeys the Kramers-Kronig relations gives\n"
    "residuals at its noise level without trend.\n\n"
    "The spectrum is two sequences, or a dataframe (or dict) with the column\n"
    "names fit() accepts, whose rows with a frequency that is not positive\n"
    "(zero, negative or NaN) are dropped as fit() drops them.  test=\"complex\" fits both parts together; \"real\"\n"
    "fits the real part (the inductance and capacitance then come from the\n"
    "imaginary part) and \"imaginary\" the imaginary part (the series\n"
    "resistance then comes from the real part), as proposed by Boukamp (1995).\n\n"
    "Returns a KKResult.  Raises ValueError for c outside (0, 1], max_m < 1, an\n"
    "unknown test, fewer than 3 points or 3 distinct frequencies, and\n"
    "non-positive or non-finite frequencies or non-finite, zero or\n"
    "overflowing impedances; TypeError for add_capacitance or add_inductance\n"
    "other than a bool.";

namespace {

struct KkResultObject {
  PyObject_HEAD
  kk::KkResult* result;  // owned
  kk::KkTest test;
};

PyTypeObject* g_type = nullptr;

const kk::KkResult& result_of(PyObject* self) { return *reinterpret_cast<KkResultObject*>(self)->result; }

PyObject* double_array(const std::vector<double>& values) {
  double* data = nullptr;
  PyObject* arr = new_double_array(values.size(), &data);
  if (arr && !values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(double));
  return arr;
}

PyObject* optional_float(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

PyObject* get_m(PyObject* self, void*) { return PyLong_FromSize_t(result_of(self).m); }
PyObject* get_mu(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).mu); }
PyObject* get_test(PyObject* self, void*) {
  return PyUnicode_FromString(kk::kk_test_name(reinterpret_cast<KkResultObject*>(self)->test));
}
PyObject* get_impedance(PyObject* self, void*) {
  const auto& z = result_of(self).impedance;
  Complex* data = nullptr;
  PyObject* arr = new_complex_array(z.size(), &data);
  if (arr && !z.empty()) std::memcpy(static_cast<void*>(data), z.data(), z.size() * sizeof(Complex));
  return arr;
}
PyObject* get_frequencies(PyObject* self, void*) { return double_array(result_of(self).frequencies); }
PyObject* get_residuals_real(PyObject* self, void*) { return double_array(result_of(self).residuals_real); }
PyObject* get_residuals_imag(PyObject* self, void*) { return double_array(result_of(self).residuals_imag); }
PyObject* get_pseudo_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).pseudo_chi_square); }
PyObject* get_resistances(PyObject* self, void*) { return double_array(result_of(self).resistances); }
PyObject* get_time_constants(PyObject* self, void*) { return double_array(result_of(self).time_constants); }
PyObject* get_series_resistance(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).series_resistance); }
PyObject* get_inductance(PyObject* self, void*) { return optional_float(result_of(self).inductance); }
PyObject* get_capacitance(PyObject* self, void*) { return optional_float(result_of(self).capacitance); }

PyGetSetDef kGetSet[] = {
    {"test", guarded<&get_test>, nullptr, "The parts fitted: \"complex\", \"real\" or \"imaginary\".", nullptr},
    {"m", guarded<&get_m>, nullptr, "Number of Voigt elements of the accepted fit.", nullptr},
    {"mu", guarded<&get_mu>, nullptr, "mu = 1 - sum|R_k < 0| / sum|R_k >= 0| of the accepted fit.", nullptr},
    {"frequencies", guarded<&get_frequencies>, nullptr, "The measured frequencies, in the order given (float64 array, Hz).",
     nullptr},
    {"impedance", guarded<&get_impedance>, nullptr, "The fit at the measured frequencies (complex128 array, ohm).", nullptr},
    {"residuals_real", guarded<&get_residuals_real>, nullptr, "(Z' - Z_fit') / |Z| per point (float64 array).", nullptr},
    {"residuals_imag", guarded<&get_residuals_imag>, nullptr, "(Z'' - Z_fit'') / |Z| per point (float64 array).", nullptr},
    {"pseudo_chi_square", guarded<&get_pseudo_chi_square>, nullptr, "Sum of the squares of both residuals.", nullptr},
    {"resistances", guarded<&get_resistances>, nullptr, "R_k of the Voigt elements (float64 array, ohm).", nullptr},
    {"time_constants", guarded<&get_time_constants>, nullptr, "tau_k of the Voigt elements, ascending (float64 array, s).",
     nullptr},
    {"series_resistance", guarded<&get_series_resistance>, nullptr, "The series resistance (ohm).", nullptr},
    {"inductance", guarded<&get_inductance>, nullptr, "The series inductance (H), or None when not fitted.", nullptr},
    {"capacitance", guarded<&get_capacitance>, nullptr, "The series capacitance (F), or None when not fitted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string optional_text(const std::optional<double>& v) { return v ? format_compact(*v) : "None"; }

// KKResult(test="complex", m=7, mu=0.8125, pseudo_chi_square=1.234568e-7,
//          series_resistance=10, inductance=1e-6, capacitance=None)
PyObject* kk_result_repr(PyObject* self) {
  const auto& r = result_of(self);
  std::string text = "KKResult(test=";
  text += quoted(kk::kk_test_name(reinterpret_cast<KkResultObject*>(self)->test));
  text += ", m=" + std::to_string(r.m);
  text += ", mu=" + format_compact(r.mu);
  text += ", pseudo_chi_square=" + format_scientific6(r.pseudo_chi_square);
  text += ", series_resistance=" + format_compact(r.series_resistance);
  text += ", inductance=" + optional_text(r.inductance);
  text += ", capacitance=" + optional_text(r.capacitance);
  text += ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* kk_result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for KKResult");
  return nullptr;
}

void kk_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<KkResultObject*>(self)->result;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* new_kk_result(kk::KkResult result, kk::KkTest test) {
  PyObject* self = g_type->tp_alloc(g_type, 0);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<KkResultObject*>(self);
  obj->test = test;
  obj->result = new (std::nothrow) kk::KkResult(std::move(result));
  if (!obj->result) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

// plot(ax=None): hands the result to kelvora.plot.kk_residuals, where
// matplotlib is imported.
PyObject* kk_result_plot(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"ax", nullptr};
  PyObject* ax = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:plot", const_cast<char**>(kwlist), &ax)) return nullptr;
  PyRef module(PyImport_ImportModule("kelvora.plot"));
  if (!module) return nullptr;
  PyRef function(PyObject_GetAttrString(module.get(), "kk_residuals"));
  if (!function) return nullptr;
  PyRef call_args(PyTuple_Pack(1, self));
  PyRef call_kwargs(PyDict_New());
  if (!call_args || !call_kwargs || PyDict_SetItemString(call_kwargs.get(), "ax", ax) < 0) return nullptr;
  return PyObject_Call(function.get(), call_args.get(), call_kwargs.get());
}

// ---- the dict form, pickling and equality ----

constexpr long kKkResultVersion = 1;
const std::vector<const char*> kKkResultKeys = {
    "type",          "version",        "test",           "m",
    "mu",            "series_resistance", "inductance",  "capacitance",
    "resistances",   "time_constants", "frequencies",    "impedance_real",
    "impedance_imag", "residuals_real", "residuals_imag", "pseudo_chi_square"};

PyObject* kk_result_to_dict(PyObject* self, PyObject*) {
  const auto& r = result_of(self);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "type", PyUnicode_FromString("KKResult")) ||
      !set_item(dict.get(), "version", PyLong_FromLong(kKkResultVersion)) ||
      !set_item(dict.get(), "test", get_test(self, nullptr)) ||
      !set_item(dict.get(), "m", PyLong_FromSize_t(r.m)) ||
      !set_item(dict.get(), "mu", PyFloat_FromDouble(r.mu)) ||
      !set_item(dict.get(), "series_resistance", PyFloat_FromDouble(r.series_resistance)) ||
      !set_item(dict.get(), "inductance", optional_float(r.inductance)) ||
      !set_item(dict.get(), "capacitance", optional_float(r.capacitance)) ||
      !set_item(dict.get(), "resistances", float_list(r.resistances)) ||
      !set_item(dict.get(), "time_constants", float_list(r.time_constants)) ||
      !set_spectrum(dict.get(), r.frequencies, r.impedance) ||
      !set_item(dict.get(), "residuals_real", float_list(r.residuals_real)) ||
      !set_item(dict.get(), "residuals_imag", float_list(r.residuals_imag)) ||
      !set_item(dict.get(), "pseudo_chi_square", PyFloat_FromDouble(r.pseudo_chi_square)))
    return nullptr;
  return dict.release();
}

bool read_optional_double(PyObject* obj, const char* what, const char* key, std::optional<double>& out) {
  out.reset();
  if (obj == Py_None) return true;
  double v = 0.0;
  if (!read_double(obj, what, key, v)) return false;
  out = v;
  return true;
}

PyObject* kk_result_from_dict(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"d", nullptr};
  PyObject* given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dict", const_cast<char**>(kwlist), &given)) return nullptr;
  const char* what = "KKResult dict";
  const PyRef copy = check_dict_form(given, what, "KKResult", kKkResultVersion, kKkResultKeys);
  if (!copy) return nullptr;
  PyObject* const dict = copy.get();
  kk::KkResult r;
  std::string test_name;
  std::uint64_t m = 0;
  if (!read_string(dict_item(dict, "test"), what, "test", test_name) ||
      !read_u64(dict_item(dict, "m"), what, "m", m))
    return nullptr;
  const auto test = kk::parse_kk_test(test_name);
  if (!test) {
    dict_error(what, "unknown \"test\" " + quoted(test_name));
    return nullptr;
  }
  if (m < 1) {
    dict_error(what, "\"m\" must be at least 1");
    return nullptr;
  }
  r.m = static_cast<std::size_t>(m);
  if (!read_double(dict_item(dict, "mu"), what, "mu", r.mu) ||
      !read_double(dict_item(dict, "series_resistance"), what, "series_resistance", r.series_resistance) ||
      !read_optional_double(dict_item(dict, "inductance"), what, "inductance", r.inductance) ||
      !read_optional_double(dict_item(dict, "capacitance"), what, "capacitance", r.capacitance) ||
      !read_doubles(dict_item(dict, "resistances"), what, "resistances", r.m, r.resistances) ||
      !read_doubles(dict_item(dict, "time_constants"), what, "time_constants", r.m, r.time_constants) ||
      !read_spectrum(dict, what, r.frequencies, r.impedance))
    return nullptr;
  const std::size_t n = r.frequencies.size();
  if (n < 3) {  // lin_kk needs three distinct frequencies
    dict_error(what, "\"frequencies\" must hold at least 3 values, got " + std::to_string(n));
    return nullptr;
  }
  if (!read_doubles(dict_item(dict, "residuals_real"), what, "residuals_real", n, r.residuals_real) ||
      !read_doubles(dict_item(dict, "residuals_imag"), what, "residuals_imag", n, r.residuals_imag) ||
      !read_double(dict_item(dict, "pseudo_chi_square"), what, "pseudo_chi_square", r.pseudo_chi_square))
    return nullptr;
  return new_kk_result(std::move(r), *test);
}

PyObject* kk_result_reduce(PyObject* self, PyObject*) {
  return reduce_through_dict(self, kk_result_to_dict(self, nullptr));
}

bool same_optional(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

bool same_result(const kk::KkResult& a, kk::KkTest ta, const kk::KkResult& b, kk::KkTest tb) {
  return ta == tb && a.m == b.m && same_bits(a.mu, b.mu) && same_bits(a.series_resistance, b.series_resistance) &&
         same_optional(a.inductance, b.inductance) && same_optional(a.capacitance, b.capacitance) &&
         same_bits(a.resistances, b.resistances) && same_bits(a.time_constants, b.time_constants) &&
         same_bits(a.frequencies, b.frequencies) && same_bits(a.impedance, b.impedance) &&
         same_bits(a.residuals_real, b.residuals_real) && same_bits(a.residuals_imag, b.residuals_imag) &&
         same_bits(a.pseudo_chi_square, b.pseudo_chi_square);
}

// Results compare by value, every number bit for bit.  They are not hashable.
PyObject* kk_result_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = same_result(result_of(self), reinterpret_cast<KkResultObject*>(self)->test, result_of(other),
                                reinterpret_cast<KkResultObject*>(other)->test);
  return PyBool_FromLong((op == Py_EQ) == same ? 1 : 0);
}

PyMethodDef kMethods[] = {
    // A result never changes, so a copy (shallow or deep) is the result itself.
    {"__copy__", guarded_method<&same_value>(), METH_NOARGS, "The result itself: results never change."},
    {"__deepcopy__", guarded_method<&same_value>(), METH_O, "The result itself: results never change."},
    {"to_dict", guarded_method<&kk_result_to_dict>(), METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "This result as a JSON-compatible dict of every attribute, with a format\n"
     "version. See `from_dict()`."},
    {"from_dict", guarded_method<&kk_result_from_dict>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\n"
     "The result a `to_dict()` dict describes. ValueError for unknown or\n"
     "missing keys, malformed entries or a newer format version."},
    {"__reduce__", guarded_method<&kk_result_reduce>(), METH_NOARGS, "Helper for pickle and copy."},
    {"plot", guarded_method<&kk_result_plot>(), METH_VARARGS | METH_KEYWORDS,
     "plot($self, ax=None)\n--\n\n"
     "Draw the residuals in percent against frequency, real and imaginary\n"
     "parts, with kelvora.plot.kk_residuals.  Returns the axes."},
    {nullptr, nullptr, 0, nullptr},
};

const char kKkResultDoc[] =
    "The outcome of lin_kk(): the accepted Kramers-Kronig fit and its residuals.\n\n"
    "Attributes: test, m, mu, frequencies, impedance, residuals_real, residuals_imag,\n"
    "pseudo_chi_square, resistances, time_constants, series_resistance,\n"
    "inductance and capacitance (None when not fitted).  Instances are\n"
    "immutable and come from lin_kk() or from_dict(); they compare by value,\n"
    "pickle and copy.  Each array attribute read returns a new array.";

// max_m: None for the default, else an integer >= 1.
bool convert_max_m(PyObject* obj, std::size_t& out) {
  out = 0;
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'max_m': '%s' object cannot be interpreted as an integer or None",
                 _PyType_Name(Py_TYPE(obj)));
    return false;
  }
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 1)) {
    PyRef text(PyObject_Str(index.get()));
    const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!s) return false;
    raise_value_error(std::string("max_m must be >= 1, got ") + s);
    return false;
  }
  out = overflow > 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(v);
  return true;
}

// A switch: a bool (or NumPy's), as fit() takes its switches; not None, and
// not any object that happens to be true or false.
bool convert_flag(PyObject* obj, const char* name, bool& out) {
  std::optional<bool> value;
  if (obj != Py_None && !convert_optional_bool(obj, name, value)) return false;
  if (!value) {
    PyErr_Format(PyExc_TypeError, "argument '%s': 'NoneType' object cannot be converted to 'bool'", name);
    return false;
  }
  out = *value;
  return true;
}

}  // namespace

int init_kk_result_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_new, guarded_slot<&kk_result_new>()},
      {Py_tp_dealloc, guarded_slot<&kk_result_dealloc>()},
      {Py_tp_repr, guarded_slot<&kk_result_repr>()},
      {Py_tp_richcompare, guarded_slot<&kk_result_richcompare>()},
      {Py_tp_getset, kGetSet},
      {Py_tp_methods, kMethods},
      {Py_tp_doc, const_cast<char*>(kKkResultDoc)},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"kelvora.KKResult", sizeof(KkResultObject), 0, kClassFlags, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) return -1;
  Py_XDECREF(reinterpret_cast<PyObject*>(g_type));
  Py_INCREF(type);
  g_type = reinterpret_cast<PyTypeObject*>(type);
  if (PyModule_AddObject(module, "KKResult", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyObject* lin_kk_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frequencies", "impedances", "c", "max_m", "test", "add_capacitance",
                                 "add_inductance", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = Py_None;
  PyObject* c_obj = nullptr;
  PyObject* max_m_obj = Py_None;
  PyObject* test_obj = nullptr;
  PyObject* add_capacitance_obj = Py_False;
  PyObject* add_inductance_obj = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOOO:lin_kk", const_cast<char**>(kwlist), &frequencies,
                                   &impedances, &c_obj, &max_m_obj, &test_obj, &add_capacitance_obj,
                                   &add_inductance_obj))
    return nullptr;

  kk::KkSettings settings;
  if (!convert_flag(add_capacitance_obj, "add_capacitance", settings.add_capacitance)) return nullptr;
  if (!convert_flag(add_inductance_obj, "add_inductance", settings.add_inductance)) return nullptr;
  if (c_obj && !convert_double(c_obj, "c", settings.c)) return nullptr;
  if (!convert_max_m(max_m_obj, settings.max_m)) return nullptr;
  if (test_obj) {
    std::string name;
    if (!convert_str(test_obj, "test", name)) return nullptr;
    auto test = kk::parse_kk_test(name);
    if (!test) return raise_value_error(test.error().message);
    settings.test = *test;
  }
  if (auto e = kk::check_kk_settings(settings)) return raise_value_error(e->message);

  Spectrum spectrum;
  if (!read_spectrum(frequencies, impedances == Py_None ? nullptr : impedances, spectrum)) return nullptr;

  std::optional<Expected<kk::KkResult, kk::KkError>> outcome;
  {
    ReleaseGil unlocked;
    outcome.emplace(kk::lin_kk(spectrum.frequencies, spectrum.impedances, settings));
  }
  if (!*outcome) return raise_value_error(outcome->error().message);
  return new_kk_result(std::move(outcome->value()), settings.test);
}

}  // namespace kelvora::py
