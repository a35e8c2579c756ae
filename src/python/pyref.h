#pragma once
// Owning reference to a Python object.
#include <Python.h>

#include <utility>

namespace kelvora::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  // Only the unwinding by which a finalizing interpreter ends a daemon thread
  // (gil.h) drops a reference without the interpreter lock: the process is
  // exiting, and the object is left alone.
  ~PyRef() {
    if (p_ && PyGILState_Check()) Py_DECREF(p_);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up ownership to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace kelvora::py
