#pragma once
// The end product of every fitting method.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.h"
#include "fit/fit_ending.h"
#include "fit/fit_error.h"
#include "support/expected.h"

namespace kelvora {

struct FitOutcome {
  std::uint64_t iterations = 0;       // method-specific count
  std::uint64_t impedance_evals = 0;  // residual evaluations of the whole fit, statistics included
  double cost = 0.0;                  // 0.5 * sum r^2 at the final parameters
  double chi_square = 0.0;            // sum r^2 (twice the cost), not divided by the degrees of freedom
  // One standard error per parameter; nothing when 2n <= p or J^T J is singular.
  // Fixed parameters have 0, and p counts the free parameters only.
  std::optional<std::vector<double>> standard_errors;
  // S / (m - p) (J^T J)^-1 over the free parameters, p x p row-major over all
  // parameters with zero rows and columns for fixed ones; present exactly
  // when standard_errors is.
  std::optional<std::vector<double>> covariance;
  std::vector<double> residuals;      // the weighted residual vector at the final parameters
  SeriesList circuit;                 // rebuilt with the final values
  std::vector<std::string> names;     // param_names(circuit)
  std::vector<double> params;         // final values, clamped into their bounds
  bool success = false;               // method-specific
  // Why the method's solver stopped (see fit_ending.h); set by every method.
  FitEnding ending = FitEnding::NoParameters;
};

// What every fitting method returns.
using FitExpected = Expected<FitOutcome, FitFailure>;

}  // namespace kelvora
