#include "python/dict_form.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "python/errors.h"
#include "python/py_lists.h"
#include "python/pyref.h"
#include "support/quote.h"

namespace kelvora::py {

bool dict_error(const char* what, const std::string& text) {
  raise_value_error(std::string(what) + ": " + text);
  return false;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyRef check_dict_form(PyObject* dict, const char* what, const char* type, long version,
                      const std::vector<const char*>& keys) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "%s must be a dict, not %s", what, _PyType_Name(Py_TYPE(dict)));
    return PyRef();
  }
  // The copy: each str key as a plain str (a subclass's text, without its
  // __eq__ and __hash__), with its value.  Keys of other types are only
  // shown, by their repr, once the dict has been walked, as are str keys
  // that have no UTF-8 form.
  PyRef copy(PyDict_New());
  if (!copy) return PyRef();
  std::vector<PyRef> others;
  std::vector<std::string> unknown, repeated;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    PyRef k = PyRef::borrow(key), v = PyRef::borrow(value);
    PyRef plain;
    const char* text = nullptr;
    if (PyUnicode_Check(key)) {
      plain = PyUnicode_CheckExact(key) ? PyRef::borrow(key) : PyRef(PyUnicode_FromObject(key));
      if (!plain) return PyRef();
      text = PyUnicode_AsUTF8(plain.get());  // null for a lone surrogate, a key no format has
      if (!text && !clear_ordinary_error()) return PyRef();
    }
    if (!text) {
      others.push_back(std::move(k));
      continue;
    }
    const int seen = PyDict_Contains(copy.get(), plain.get());
    if (seen < 0) return PyRef();
    // Two keys of one text (a subclass that hashes or compares otherwise): which one counts is not defined.
    if (seen) repeated.emplace_back(text);
    if (PyDict_SetItem(copy.get(), plain.get(), v.get()) < 0) return PyRef();
    if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return std::strcmp(k, text) == 0; }))
      unknown.emplace_back(text);
  }
  for (const PyRef& k : others) {
    PyRef r(PyObject_Repr(k.get()));
    const char* shown = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!shown) return PyRef();
    unknown.emplace_back(shown);
  }
  std::vector<std::string> missing;
  for (const char* k : keys)
    if (!PyDict_GetItemString(copy.get(), k)) missing.emplace_back(k);
  std::sort(unknown.begin(), unknown.end());
  // The type and version speak first: a newer format may well have other keys.
  PyObject* t = PyDict_GetItemString(copy.get(), "type");
  if (t) {
    const char* text = PyUnicode_Check(t) ? PyUnicode_AsUTF8(t) : nullptr;
    if (!text) PyErr_Clear();
    if (!text || std::strcmp(text, type) != 0) {
      dict_error(what, std::string("\"type\" must be ") + quoted(type) + ", got " +
                           (text ? quoted(text) : std::string("a ") + _PyType_Name(Py_TYPE(t))));
      return PyRef();
    }
  }
  PyObject* v = PyDict_GetItemString(copy.get(), "version");
  if (v) {
    const bool is_int = PyLong_Check(v) && !PyBool_Check(v);
    int overflow = 0;
    const long n = is_int ? PyLong_AsLongAndOverflow(v, &overflow) : -1;
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    if (overflow > 0 || n > version) {
      dict_error(what, "format version " + (overflow > 0 ? std::string("beyond ") + std::to_string(LONG_MAX)
                                                         : std::to_string(n)) + " is newer than this version of kelvora reads (" +
                           std::to_string(version) + "); upgrade kelvora to load it");
      return PyRef();
    }
    if (n < 1) {
      dict_error(what, "\"version\" must be an integer from 1 to " + std::to_string(version));
      return PyRef();
    }
  }
  if (!unknown.empty()) {
    dict_error(what, "unknown key(s) " + quoted_list(unknown));
    return PyRef();
  }
  if (!missing.empty()) {
    dict_error(what, "missing key(s) " + quoted_list(missing));
    return PyRef();
  }
  if (!repeated.empty()) {
    dict_error(what, "key(s) " + quoted_list(repeated) + " given more than once");
    return PyRef();
  }
  return copy;
}

PyObject* reduce_through_dict(PyObject* self, PyObject* dict) {
  PyRef owned(dict);
  if (!owned) return nullptr;
  PyRef restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_dict"));
  if (!restore) return nullptr;
  return Py_BuildValue("(O(O))", restore.get(), owned.get());
}

PyObject* dict_item(PyObject* dict, const char* key) { return PyDict_GetItemString(dict, key); }

bool read_double(PyObject* obj, const char* what, const char* key, double& out) {
  if (!(PyFloat_Check(obj) || PyLong_Check(obj)) || PyBool_Check(obj))
    return dict_error(what, quoted(key) + " must hold numbers, got " + _PyType_Name(Py_TYPE(obj)));
  out = PyFloat_Check(obj) ? PyFloat_AS_DOUBLE(obj) : PyLong_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    return dict_error(what, quoted(key) + " holds an int too large for a float");
  }
  return true;
}

bool read_bool(PyObject* obj, const char* what, const char* key, bool& out) {
  if (!PyBool_Check(obj)) return dict_error(what, quoted(key) + " must be a bool, got " + _PyType_Name(Py_TYPE(obj)));
  out = obj == Py_True;
  return true;
}

bool read_u64(PyObject* obj, const char* what, const char* key, std::uint64_t& out) {
  if (!PyLong_Check(obj) || PyBool_Check(obj))
    return dict_error(what, quoted(key) + " must be an int, got " + _PyType_Name(Py_TYPE(obj)));
  out = PyLong_AsUnsignedLongLong(obj);
  if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return dict_error(what, quoted(key) + " must be an int from 0 to 18446744073709551615");
  }
  return true;
}

bool read_string(PyObject* obj, const char* what, const char* key, std::string& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
  if (!text) {
    PyErr_Clear();
    return dict_error(what, quoted(key) + " must be a str, got " + _PyType_Name(Py_TYPE(obj)));
  }
  out.assign(text, static_cast<std::size_t>(size));
  if (out.find('\0') != std::string::npos) return dict_error(what, quoted(key) + " must not contain a NUL character");
  return true;
}

bool read_doubles(PyObject* obj, const char* what, const char* key, std::optional<std::size_t> expected,
                  std::vector<double>& out) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj))
    return dict_error(what, quoted(key) + " must be a list, got " + _PyType_Name(Py_TYPE(obj)));
  PyRef seq(PySequence_Fast(obj, "not a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (expected && static_cast<std::size_t>(n) != *expected)
    return dict_error(what, quoted(key) + " must hold " + std::to_string(*expected) + " entries, got " +
                                std::to_string(n));
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    double x = 0.0;
    if (!read_double(PySequence_Fast_GET_ITEM(seq.get(), i), what, key, x)) return false;
    out.push_back(x);
  }
  return true;
}

bool read_spectrum(PyObject* dict, const char* what, std::vector<double>& frequencies,
                   std::vector<kelvora::Complex>& impedances) {
  std::vector<double> re;
  std::vector<double> im;
  if (!read_doubles(dict_item(dict, "frequencies"), what, "frequencies", std::nullopt, frequencies)) return false;
  const std::size_t n = frequencies.size();
  if (!read_doubles(dict_item(dict, "impedance_real"), what, "impedance_real", n, re) ||
      !read_doubles(dict_item(dict, "impedance_imag"), what, "impedance_imag", n, im))
    return false;
  impedances.resize(n);
  for (std::size_t i = 0; i < n; ++i) impedances[i] = {re[i], im[i]};
  return true;
}

bool set_spectrum(PyObject* dict, const std::vector<double>& frequencies,
                  const std::vector<kelvora::Complex>& impedances) {
  return set_item(dict, "frequencies", float_list(frequencies)) &&
         set_item(dict, "impedance_real", part_list(impedances, &kelvora::Complex::re)) &&
         set_item(dict, "impedance_imag", part_list(impedances, &kelvora::Complex::im));
}

PyObject* same_value(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

}  // namespace kelvora::py
