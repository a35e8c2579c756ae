#include "python/errors.h"

namespace kelvora::py {
namespace {
PyObject* g_internal_error = nullptr;

PyObject* set(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  return nullptr;
}
}  // namespace

int init_internal_error(PyObject* module) {
  if (!g_internal_error) {
    g_internal_error = PyErr_NewExceptionWithDoc(
        "kelvora.InternalError",
        "Raised when an internal invariant of kelvora fails.\n\n"
        "Derives from BaseException, not Exception: it signals a bug or a broken\n"
        "precondition (for example a negative tolerance), not a data problem.",
        PyExc_BaseException, nullptr);
    if (!g_internal_error) return -1;
  }
  Py_INCREF(g_internal_error);
  if (PyModule_AddObject(module, "InternalError", g_internal_error) < 0) {
    Py_DECREF(g_internal_error);
    return -1;
  }
  return 0;
}

PyObject* internal_error_type() { return g_internal_error; }
PyObject* raise_internal_error(const std::string& message) { return set(g_internal_error, message); }
PyObject* raise_value_error(const std::string& message) { return set(PyExc_ValueError, message); }
PyObject* raise_type_error(const std::string& message) { return set(PyExc_TypeError, message); }

}  // namespace kelvora::py
