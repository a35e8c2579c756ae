#include "python/py_lists.h"

#include "python/pyref.h"

namespace kelvora::py {

PyObject* to_py_str(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

namespace {
template <class T, class Convert>
PyObject* make_list(const std::vector<T>& items, Convert convert) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}
}  // namespace

PyObject* float_list(const std::vector<double>& values) { return make_list(values, PyFloat_FromDouble); }
PyObject* string_list(const std::vector<std::string>& items) { return make_list(items, to_py_str); }
PyObject* part_list(const std::vector<Complex>& values, double Complex::*part) {
  return make_list(values, [part](const Complex& v) { return PyFloat_FromDouble(v.*part); });
}

}  // namespace kelvora::py
