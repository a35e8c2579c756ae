#include "fit/lm/polish_or_fallback.h"

#include <cmath>

#include "circuit/tree.h"
#include "fit/build_outcome.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/minpack/lm_settings.h"

namespace kelvora {

FitExpected polish_or_fallback(const SeriesList& circuit, std::span<const double> x_best, std::uint64_t iterations,
                               std::span<const double> frequencies, std::span<const Complex> impedances,
                               Weighting weighting, std::span<const double> omega, std::span<const double> weights,
                               EvaluationCounter& counter, const ParamConstraints* constraints) {
  auto global = build_outcome(circuit, x_best, true, iterations, omega, impedances, weights, counter, constraints);
  if (!global) return unexpected(FitFailure{std::move(global.error())});

  if (x_best.size() < param_count(circuit))
    return unexpected(FitFailure{InternalError{kNotEnoughValues}});
  const SeriesList start = rebuild(circuit, x_best);
  LmSettings polish;  // ftol = xtol = gtol = 1e-8, patience 200
  FitExpected polished = levenberg_marquardt_fit(start, frequencies, impedances, weighting, polish, constraints);
  if (!polished) return polished;

  counter.fetch_add(polished->impedance_evals);
  FitOutcome chosen = (std::isfinite(polished->cost) && polished->cost <= global->cost) ? std::move(*polished)
                                                                                         : std::move(*global);
  chosen.impedance_evals = counter.load();
  // The search's own point stands as a success, unless its cost is no number.
  if (!std::isfinite(chosen.cost)) chosen.success = false;
  return chosen;
}

}  // namespace kelvora
