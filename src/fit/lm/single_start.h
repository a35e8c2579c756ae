#pragma once
// One Levenberg-Marquardt run of a circuit fit from one starting point.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/minpack/lm_settings.h"
#include "fit/minpack/lm_solver.h"
#include "fit/residuals.h"
#include "support/expected.h"
#include "support/internal_error.h"

namespace kelvora {

struct LmRunReport {
  std::vector<double> values;     // the final search vector mapped to parameter values
  bool success = false;           // residuals zero, gradient orthogonal, or ftol/xtol met
  std::uint64_t evaluations = 0;  // residual evaluations of the solver (not its Jacobians)
  LmEnding ending = LmEnding::NoParameters;
};

// Runs the solver from search coordinates `z0` with the given pin mask,
// after settings.validate().  Every evaluation, Jacobians included, counts
// on `counter`.
Expected<LmRunReport, InternalError> levenberg_marquardt_single_start(const ResidualModel& model,
                                                                      const ParamBounds& bounds,
                                                                      std::span<const double> z0,
                                                                      std::vector<bool> pinned,
                                                                      const LmSettings& settings,
                                                                      EvaluationCounter& counter);

}  // namespace kelvora
