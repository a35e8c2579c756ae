#pragma once
// The Element base class and its fourteen subclasses.
#include <Python.h>

#include "elements/element.h"

namespace kelvora::py {

struct ElementObject {
  PyObject_HEAD
  kelvora::Element value;
};

// Creates Element and the subclasses, adds them to the module; -1 on error.
// `add_subclasses` is called after Circuit, FitResult, Series and Parallel
// have been added, to keep the module's name order.
int init_element_type(PyObject* module);
int add_element_subclasses(PyObject* module);
bool is_element(PyObject* obj);
inline const kelvora::Element& element_value(PyObject* obj) { return reinterpret_cast<ElementObject*>(obj)->value; }

}  // namespace kelvora::py
