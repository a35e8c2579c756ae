#include "fit/fit_error.h"

#include "fit/fit_method.h"
#include "support/quote.h"

namespace kelvora {

std::string FitError::message() const {
  switch (kind) {
    case Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case Kind::Empty:
      return "frequencies and impedances must not be empty";
    case Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case Kind::UnknownWeighting:
      return "unknown weight scheme " + quoted(text) + ", expected \"modulus\" or \"unit\"";
    case Kind::Solver: {
      std::string out = "solver error: ";
      out.append(text);
      return out;
    }
    case Kind::UnknownMethod: {
      std::string out = "unknown fit method ";
      out.append(quoted(text));
      out.append(", expected one of ");
      const auto methods = fit_methods();
      for (std::size_t i = 0; i < methods.size(); ++i) {
        if (i) out.append(", ");
        out.append(quoted(methods[i].name));
      }
      return out;
    }
  }
  return {};
}

}  // namespace kelvora
