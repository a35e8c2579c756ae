#pragma once
// What every class of the module shares at creation.
#include <Python.h>

namespace kelvora::py {

// Type flags of every class.  The classes are immutable like their
// instances: assigning or deleting a class attribute (kv.Circuit.fit = ...)
// raises TypeError.  Python 3.9 has no such flag; there the heap types the
// module creates stay mutable.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT;
#endif

// Adds a class attribute while the class is being set up, before any Python
// code sees it.  An immutable class refuses setattr, so the value goes into
// the type's dictionary directly and the type's attribute cache is told.
// -1 with an exception set on failure.
inline int add_class_attribute(PyObject* type, const char* name, PyObject* value) {
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  if (PyDict_SetItemString(t->tp_dict, name, value) < 0) return -1;
  PyType_Modified(t);
  return 0;
}

}  // namespace kelvora::py
