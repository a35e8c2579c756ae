#include "python/fit_arguments.h"

#include <cstring>
#include <limits>

#include "python/errors.h"
#include "python/pyref.h"
#include "python/spectrum.h"

namespace kelvora::py {

bool convert_str(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'str'", name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool is_bool_scalar(PyObject* obj) {
  const char* type_name = Py_TYPE(obj)->tp_name;
  // NumPy's boolean scalar is numpy.bool (numpy.bool_ before NumPy 2).
  return PyBool_Check(obj) || std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0;
}

bool path_bytes(PyObject* obj, std::string& out) {
  const PyRef encoded(PyUnicode_EncodeFSDefault(obj));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

bool convert_optional_bool(PyObject* obj, const char* name, std::optional<bool>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  const char* type_name = Py_TYPE(obj)->tp_name;
  if (is_bool_scalar(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'bool'", name, type_name);
  return false;
}

bool convert_double(PyObject* obj, const char* name, double& out) {
  out = PyFloat_AsDouble(obj);
  if (out == -1.0 && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  return true;
}

namespace {

bool convert_unsigned(PyObject* obj, const char* name, unsigned long long max, std::uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    prefix_type_error(name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(name);
    return false;
  }
  if (v > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = v;
  return true;
}

}  // namespace

bool convert_u32(PyObject* obj, const char* name, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!convert_unsigned(obj, name, std::numeric_limits<std::uint32_t>::max(), v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  return convert_unsigned(obj, name, std::numeric_limits<std::uint64_t>::max(), out);
}

bool convert_double_list(PyObject* obj, const char* name, std::vector<double>& out) {
  if (to_double_list(obj, out)) return true;
  prefix_type_error(name);
  return false;
}

}  // namespace kelvora::py
