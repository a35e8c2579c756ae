#pragma once
// Releases the interpreter lock for the lifetime of the object.  No Python
// object may be touched while it is alive.
#include <Python.h>

namespace kelvora::py {

class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace kelvora::py
