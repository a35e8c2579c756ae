#pragma once
// A broken internal invariant.  Carried as a value through the core and
// raised in Python as the module's internal-error exception, a class derived
// from BaseException, once the interpreter lock is held again.
#include <string>

namespace kelvora {

struct InternalError {
  std::string message;  // fixed text, e.g. "ftol must be >= 0"
};

}  // namespace kelvora
