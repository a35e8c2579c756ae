#pragma once
// Why a fit could not run, as a value.  Turned into ValueError with
// message() at the Python boundary.
#include <string>
#include <variant>

#include "support/internal_error.h"

namespace kelvora {

struct FitError {
  enum class Kind {
    LengthMismatch,  // frequencies and impedances differ in length
    Empty,           // no measured points
    NoParameters,    // the circuit has nothing to fit
    UnknownWeighting,  // `text` is the weight scheme as given
    Solver,          // a global search failed; `text` says how
    UnknownMethod,   // `text` is the method name as given
  };
  Kind kind;
  std::string text;

  // "frequencies and impedances must have the same length", ...,
  // "unknown weight scheme {quoted name}, expected \"modulus\" or \"unit\"",
  // "solver error: {text}", "unknown fit method {quoted name}, expected one of ..."
  std::string message() const;
};

// Everything a fitting method may end with instead of an outcome: a user
// error, or a broken internal invariant ("ftol must be >= 0").
using FitFailure = std::variant<FitError, InternalError>;

}  // namespace kelvora
