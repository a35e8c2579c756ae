#include "python/gil.h"

#include <cxxabi.h>
#include <unistd.h>

#include "python/guard.h"

namespace kelvora::py {

void park_thread() noexcept {
  for (;;) pause();
}

void restore_thread(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // pthread_exit from a finalizing interpreter: left unfinished, the
    // unwinding would end the process with std::terminate.
    park_thread();
  }
}

PyGILState_STATE ensure_gil() noexcept {
  try {
    return PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
}

}  // namespace kelvora::py
