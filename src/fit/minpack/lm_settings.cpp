#include "fit/minpack/lm_settings.h"

#include <cmath>

namespace kelvora {

std::optional<InternalError> LmSettings::validate() const {
  // A NaN tolerance would never stop anything; it is refused like a negative one.
  const auto bad = [](double t) { return std::signbit(t) || std::isnan(t); };
  if (bad(ftol)) return InternalError{"ftol must be >= 0"};
  if (bad(xtol)) return InternalError{"xtol must be >= 0"};
  if (bad(gtol)) return InternalError{"gtol must be >= 0"};
  return std::nullopt;
}

}  // namespace kelvora
