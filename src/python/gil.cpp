#include "python/gil.h"

#include <unistd.h>

#include "python/guard.h"

namespace kelvora::py {

void park_thread() noexcept {
  for (;;) pause();
}

void restore_thread(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // A C function throws nothing but the unwinding of pthread_exit, by
    // which a finalizing interpreter ends this thread; let loose, it would
    // end the process with std::terminate.
    park_thread();
  }
}

PyGILState_STATE ensure_gil() noexcept {
  try {
    return PyGILState_Ensure();
  } catch (...) {
    park_thread();  // as above
  }
}

}  // namespace kelvora::py
