#pragma once
// Releasing and taking back the interpreter lock.
//
// A thread that takes the lock back while the interpreter is finalizing (a
// daemon thread still fitting when the program ends) is ended by Python 3.13
// and earlier with pthread_exit.  Its unwinding would run through the C++
// frames above -- noexcept destructors, the module's boundary -- and abort
// the process.  Such a thread is parked for good instead, as Python 3.14
// parks it itself: the process is on its way out.
#include <Python.h>

namespace kelvora::py {

// PyEval_RestoreThread(state), parking the thread if the interpreter ends it.
void restore_thread(PyThreadState* state) noexcept;

// PyGILState_Ensure(), parking the thread if the interpreter ends it.
PyGILState_STATE ensure_gil() noexcept;

// Releases the interpreter lock for the lifetime of the object.  No Python
// object may be touched while it is alive.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { restore_thread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace kelvora::py
