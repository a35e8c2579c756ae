#include "fit/lm/polish_or_fallback.h"

#include <cmath>

#include "circuit/tree.h"
#include "fit/build_outcome.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/minpack/lm_settings.h"
#include "fit/residuals.h"

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
  // A search never hands back a point worse than the one it started from.
  // One whose box leaves the start out (an open parameter far below 1e-6,
  // such as a capacitance in picofarad) can end far from it; the start's own
  // fit then stands.  The check itself is not counted as the fit's work.
  EvaluationCounter probe{0};
  const auto r = residuals(circuit, param_values(circuit), omega, impedances, weights, probe);
  if (r) {
    const double start_cost = half_sum_of_squares(r.value());
    // Worse by more than rounding: a millionth of a millionth of the cost a
    // zero impedance would have.
    double scale = 0.0;
    for (std::size_t i = 0; i < impedances.size() && i < weights.size(); ++i)
      scale += 0.5 * (impedances[i].re * impedances[i].re + impedances[i].im * impedances[i].im) /
               (weights[i] * weights[i]);
    if (std::isfinite(start_cost) && !(chosen.cost <= start_cost + 1e-12 * scale)) {
      FitExpected from_start = levenberg_marquardt_fit(circuit, frequencies, impedances, weighting, polish, constraints);
      if (!from_start) return from_start;
      counter.fetch_add(from_start->impedance_evals);
      if (std::isfinite(from_start->cost) && from_start->cost < chosen.cost) {
        from_start->iterations += chosen.iterations;
        chosen = std::move(*from_start);
      }
    }
  }
  chosen.impedance_evals = counter.load();
  return chosen;
}

}  // namespace kelvora
