#include "python/element_types.h"

#include <array>
#include <string>
#include <vector>

#include "circuit/value_identity.h"
#include "python/class_setup.h"
#include "python/guard.h"
#include "python/pyref.h"

namespace kelvora::py {
namespace {

PyObject* g_element_type = nullptr;
std::array<PyObject*, kelvora::kKindCount> g_subclasses{};

const char* kElementDoc =
    "A single circuit element.\n"
    "\n"
    "These are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

PyObject* element_base_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
  return nullptr;
}

PyObject* element_repr(PyObject* self) {
  const std::string text = kelvora::element_text(element_value(self));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void element_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Per-kind constructor data, found from the subclass.
kelvora::Kind kind_of_type(PyTypeObject* type) {
  for (std::size_t k = 0; k < kelvora::kKindCount; ++k) {
    if (reinterpret_cast<PyObject*>(type) == g_subclasses[k] ||
        PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(g_subclasses[k])))
      return static_cast<kelvora::Kind>(k);
  }
  return kelvora::Kind::R;
}

PyObject* element_sub_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const kelvora::Kind kind = kind_of_type(type);
  const kelvora::KindInfo& info = kelvora::kind_info(kind);
  std::string names[kelvora::kMaxParams];
  char* kwlist[kelvora::kMaxParams + 1] = {};
  for (std::size_t i = 0; i < info.count; ++i) {
    names[i] = std::string(info.names[i]);
    kwlist[i] = names[i].data();
  }
  PyObject* objs[kelvora::kMaxParams] = {};
  const std::string format = std::string(info.count, 'O') + ":" + std::string(_PyType_Name(type));
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), kwlist, &objs[0], &objs[1], &objs[2], &objs[3]))
    return nullptr;
  double values[kelvora::kMaxParams] = {};
  for (std::size_t i = 0; i < info.count; ++i) {
    values[i] = PyFloat_AsDouble(objs[i]);
    if (values[i] == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': must be real number, not %s", names[i].c_str(),
                     _PyType_Name(Py_TYPE(objs[i])));
      }
      return nullptr;
    }
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<ElementObject*>(self)->value = kelvora::make_element(kind, values);
  return self;
}

// Elements compare and hash by value: same kind, parameters equal bit for bit.
PyObject* element_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_element(other)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = kelvora::same_element(element_value(self), element_value(other));
  return PyBool_FromLong((op == Py_EQ) == same ? 1 : 0);
}

Py_hash_t element_hash(PyObject* self) {
  const auto h = static_cast<Py_hash_t>(kelvora::hash_element(element_value(self)));
  return h == -1 ? -2 : h;
}

// (class, parameters): pickle and copy rebuild the element with its
// constructor, the class being found as Element.<code>.
PyObject* element_reduce(PyObject* self, PyObject*) {
  const kelvora::Element& e = element_value(self);
  PyRef args(PyTuple_New(static_cast<Py_ssize_t>(e.count())));
  if (!args) return nullptr;
  for (std::size_t i = 0; i < e.count(); ++i) {
    PyObject* v = PyFloat_FromDouble(e.values[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), v);
  }
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
}

PyMethodDef kElementMethods[] = {
    {"__reduce__", guarded_method<&element_reduce>(), METH_NOARGS, "Helper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_param(PyObject* self, void* closure) {
  const auto index = reinterpret_cast<std::size_t>(closure);
  return PyFloat_FromDouble(element_value(self).values[index]);
}

}  // namespace

int init_element_type(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kElementDoc)},
      {Py_tp_new, guarded_slot<&element_base_new>()},
      {Py_tp_repr, guarded_slot<&element_repr>()},
      {Py_tp_richcompare, guarded_slot<&element_richcompare>()},
      {Py_tp_hash, guarded_slot<&element_hash>()},
      {Py_tp_methods, kElementMethods},
      {Py_tp_dealloc, guarded_slot<&element_dealloc>()},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"kelvora.Element", sizeof(ElementObject), 0, kClassFlags | Py_TPFLAGS_BASETYPE, slots};
  g_element_type = PyType_FromSpec(&type_spec);
  if (!g_element_type) return -1;

  // The subclasses, in kind order, also reachable as Element.<code>.
  static std::vector<std::string> type_names, docs;
  static std::vector<std::vector<PyGetSetDef>> getsets;
  type_names.reserve(kelvora::kKindCount);
  docs.reserve(kelvora::kKindCount);
  getsets.reserve(kelvora::kKindCount);
  for (std::size_t k = 0; k < kelvora::kKindCount; ++k) {
    const kelvora::KindInfo& info = kelvora::kind_info(static_cast<kelvora::Kind>(k));
    const std::string cls = "Element_" + std::string(info.code);
    type_names.push_back("kelvora." + cls);
    std::string sig = cls + "(";
    for (std::size_t i = 0; i < info.count; ++i) sig += (i ? ", " : "") + std::string(info.names[i]);
    docs.push_back(sig + ")\n--\n\n");
    std::vector<PyGetSetDef> gs;
    for (std::size_t i = 0; i < info.count; ++i)
      gs.push_back({info.names[i].data(), guarded<&get_param>, nullptr, nullptr, reinterpret_cast<void*>(i)});
    gs.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    getsets.push_back(std::move(gs));
  }
  for (std::size_t k = 0; k < kelvora::kKindCount; ++k) {
    const kelvora::KindInfo& info = kelvora::kind_info(static_cast<kelvora::Kind>(k));
    PyType_Slot sub_slots[] = {
        {Py_tp_doc, docs[k].data()},
        {Py_tp_new, guarded_slot<&element_sub_new>()},
        {Py_tp_getset, getsets[k].data()},
        {0, nullptr},
    };
    PyType_Spec sub_spec = {type_names[k].c_str(), sizeof(ElementObject), 0, kClassFlags, sub_slots};
    PyRef bases(PyTuple_Pack(1, g_element_type));  // a tuple: older interpreters accept nothing else
    if (!bases) return -1;
    PyObject* sub = PyType_FromSpecWithBases(&sub_spec, bases.get());
    if (!sub) return -1;
    PyRef match_args(PyTuple_New(static_cast<Py_ssize_t>(info.count)));
    if (!match_args) return -1;
    for (std::size_t i = 0; i < info.count; ++i) {
      PyObject* name = PyUnicode_FromStringAndSize(info.names[i].data(), static_cast<Py_ssize_t>(info.names[i].size()));
      if (!name) return -1;
      PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), name);
    }
    if (add_class_attribute(sub, "__match_args__", match_args.get()) < 0) return -1;
    const std::string code(info.code);
    // The class is reachable as Element.<code>, which is what pickle looks
    // up; its __name__ stays Element_<code>.
    PyObject* qualname = PyUnicode_FromString(("Element." + code).c_str());
    if (!qualname) return -1;
    Py_SETREF(reinterpret_cast<PyHeapTypeObject*>(sub)->ht_qualname, qualname);
    if (add_class_attribute(g_element_type, code.c_str(), sub) < 0) return -1;
    g_subclasses[k] = sub;  // kept for the life of the process
  }
  Py_INCREF(g_element_type);
  if (PyModule_AddObject(module, "Element", g_element_type) < 0) {
    Py_DECREF(g_element_type);
    return -1;
  }
  return 0;
}

int add_element_subclasses(PyObject* module) {
  for (std::size_t k = 0; k < kelvora::kKindCount; ++k) {
    const std::string code(kelvora::kind_info(static_cast<kelvora::Kind>(k)).code);
    Py_INCREF(g_subclasses[k]);
    if (PyModule_AddObject(module, code.c_str(), g_subclasses[k]) < 0) {
      Py_DECREF(g_subclasses[k]);
      return -1;
    }
  }
  return 0;
}

bool is_element(PyObject* obj) { return g_element_type && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_element_type)); }

}  // namespace kelvora::py
