#pragma once
// The settings of a Levenberg-Marquardt run: the solver's, chosen by the
// fit method, the polish after a search and basin hopping's local step.
#include <cstdint>
#include <optional>

#include "support/internal_error.h"

namespace kelvora {

struct LmSettings {
  double ftol = 1e-8;            // stop when actual and predicted relative reductions of sum r^2 are <= ftol
  double xtol = 1e-8;            // stop when the relative change of the scaled search vector is <= xtol
  double gtol = 1e-8;            // stop when the largest cosine between r and a Jacobian column is <= gtol
  double step_bound = 100.0;     // initial delta = step_bound ||D x0|| (or step_bound when that is 0)
  std::uint64_t patience = 200;  // at most max(patience, 1) * (p + 1) residual evaluations per run

  // "ftol must be >= 0", "xtol must be >= 0" or "gtol must be >= 0" for the
  // first tolerance whose sign bit is set (so -0.0 is refused too) or that is
  // NaN.  The Python layer checks fit()'s tolerances with this before any
  // work and raises ValueError; for other C++ callers a bad tolerance is a
  // broken precondition.
  std::optional<InternalError> validate() const;
};

}  // namespace kelvora
