#pragma once
// Simulated annealing with the fast-annealing schedule T_k = T0 / k
// (H. Szu and R. Hartley, "Fast simulated annealing", Physics Letters A
// 122(3-4), 1987), ending in a Levenberg–Marquardt polish.
//
// Step k (1-based) at temperature T = T0 / k:
//   y_i = x_i + (2T u_i - T),  u_i = unit_from_bits52(move draw), every coordinate
//   p   = unit_from_bits53(acceptance draw), drawn on every step
//   accept when c(y) < c(x) or 1 / (1 + exp((c(y) - c(x)) / T)) > p.
// The two generators are separate ChaCha12 streams (seed and seed + 1), so the
// move stream does not depend on the acceptance decisions.
#include <cstdint>
#include <optional>
#include <string>

#include "fit/random/chacha.h"
#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/search/search_problem.h"
#include "support/expected.h"

namespace kelvora {

struct SimulatedAnnealingOptions {
  // T0 in search-space units (fit argument sa_initial_temperature); must be
  // > 0 and 2 * T0 finite.
  double initial_temperature = 2.0;
  // Annealing steps (fit argument sa_iterations); 0 evaluates the start only.
  std::uint64_t iterations = 5000;
  // Seed of the move generator (the acceptance generator takes seed + 1,
  // modulo 2^64); none keys both from OS entropy.
  std::optional<std::uint64_t> seed;

  // T0 <= 0: "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature
  // must be > 0.\""; a NaN T0, or one whose double 2 T0 overflows, has no
  // valid move range: "sa_initial_temperature must be a finite number > 0
  // whose double is finite, got {T0}".
  std::optional<FitError> validate() const;
};

// The annealing loop from z0.  Evaluations: 1 + iterations.  Fails with a
// Solver error when the start and every accepted point had a NaN cost.
SearchExpected simulated_annealing_search(const SearchCost& cost, std::vector<double> z0, double initial_temperature,
                                          std::uint64_t iterations, ChaCha12& moves, ChaCha12& acceptance);

// Fits the circuit from its current values by run_search; options.validate()
// refuses a temperature before any generator is keyed or cost evaluated.  The
// polish gets the number of annealing steps performed.
FitExpected simulated_annealing_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const SimulatedAnnealingOptions& options,
                                    const ParamConstraints* constraints = nullptr);

// The "simulated_annealing" entry of the fit method table.
FitExpected run_simulated_annealing(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
