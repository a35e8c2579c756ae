#pragma once
// The settings a caller of the Levenberg-Marquardt fit chooses.
#include <cstdint>

namespace kelvora {

struct LmSettings {
  double ftol = 1e-8;            // stop when actual and predicted relative reductions of sum r^2 are <= ftol
  double xtol = 1e-8;            // stop when the relative change of the scaled search vector is <= xtol
  double gtol = 1e-8;            // stop when the largest cosine between r and a Jacobian column is <= gtol
  std::uint64_t patience = 200;  // at most max(patience, 1) * (p + 1) residual evaluations per run
};

}  // namespace kelvora
