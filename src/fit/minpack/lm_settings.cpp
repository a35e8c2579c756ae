#include "fit/minpack/lm_settings.h"

#include <cmath>

namespace kelvora {

std::optional<InternalError> LmSettings::validate() const {
  if (std::signbit(ftol)) return InternalError{"ftol must be >= 0"};
  if (std::signbit(xtol)) return InternalError{"xtol must be >= 0"};
  if (std::signbit(gtol)) return InternalError{"gtol must be >= 0"};
  return std::nullopt;
}

}  // namespace kelvora
