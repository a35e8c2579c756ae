#include "python/errors.h"

#include <exception>
#include <new>

#include "python/guard.h"
#include "python/pyref.h"

namespace kelvora::py {
namespace {
PyObject* g_internal_error = nullptr;

PyObject* set(PyObject* type, std::string_view message) {
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
        "Derives from BaseException, not Exception: it signals a bug in kelvora\n"
        "(an internal precondition that failed), never bad input, which raises\n"
        "TypeError or ValueError.",
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
PyObject* raise_internal_error(std::string_view message) { return set(g_internal_error, message); }
PyObject* raise_value_error(std::string_view message) { return set(PyExc_ValueError, message); }
PyObject* raise_type_error(std::string_view message) { return set(PyExc_TypeError, message); }

void set_error_from_current_exception() noexcept {
  // Before the module has created its exception class (a failure during
  // initialisation) the interpreter's SystemError stands in for it.
  PyObject* internal = g_internal_error ? g_internal_error : PyExc_SystemError;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set(internal, e.what());
  } catch (...) {
    set(internal, "unidentified C++ exception");
  }
}

bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyRef v(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t(type), v(value), tb(traceback);
#endif
  PyRef text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace kelvora::py
