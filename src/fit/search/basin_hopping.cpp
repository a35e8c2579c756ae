#include "fit/search/basin_hopping.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/build_outcome.h"
#include "fit/coordinate_mapping.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/minpack/lm_settings.h"
#include "fit/random/range.h"
#include "fit/random/seed.h"
#include "fit/search/search_problem.h"
#include "support/number_format.h"

namespace kelvora {

std::optional<FitError> BasinHoppingOptions::validate() const {
  const double s = step_size;
  // The shifts 2 s u - s would be NaN or infinite.
  if (!(s >= 0.0) || !std::isfinite(2.0 * s))
    return search_error("basin_hopping_step_size must be a finite number >= 0 whose double is finite, got " +
                        format_element_number(s));
  return std::nullopt;
}

FitExpected basin_hopping_fit(const SeriesList& circuit, std::span<const double> frequencies,
                              std::span<const Complex> impedances, Weighting weighting,
                              const BasinHoppingOptions& options, const ParamConstraints* constraints) {
  if (auto error = validate_fit_inputs(circuit, frequencies, impedances)) return unexpected(FitFailure{*error});
  if (auto error = options.validate()) return unexpected(FitFailure{std::move(*error)});
  const double s = options.step_size;

  ChaCha12 rng = make_chacha12(options.seed);
  const ParamBounds bounds = constraints ? constraints->bounds : param_bounds(circuit);
  const LmSettings local;  // ftol = xtol = gtol = 1e-8, patience 200

  FitExpected first = levenberg_marquardt_fit(circuit, frequencies, impedances, weighting, local, constraints);
  if (!first) return first;
  std::vector<double> current = first->params;
  double current_cost = first->cost;
  std::vector<double> best = current;
  double best_cost = current_cost;
  std::uint64_t iterations = first->iterations;
  const double t = options.temperature;

  for (std::uint32_t hop = 0; hop < options.hops; ++hop) {
    const std::size_t n = std::min(bounds.size(), current.size());
    std::vector<double> z = to_search_coordinates(std::span<const double>(current.data(), n), bounds);
    for (std::size_t i = 0; i < n; ++i) {
      const double u = unit_from_bits52(rng.next_u64());
      z[i] = z[i] + (2.0 * s * u - s);
    }
    std::vector<double> x = to_physical(z, bounds);
    if (constraints)  // a fixed parameter is never perturbed
      for (std::size_t i = 0; i < std::min(x.size(), constraints->fixed.size()); ++i)
        if (constraints->fixed[i]) x[i] = current[i];
    if (x.size() < param_count(circuit)) return unexpected(FitFailure{InternalError{kNotEnoughValues}});

    FitExpected next =
        levenberg_marquardt_fit(rebuild(circuit, x), frequencies, impedances, weighting, local, constraints);
    if (!next) return next;
    iterations += next->iterations;
    const double c = next->cost;
    if (std::isfinite(c) && c < best_cost) {
      best = next->params;
      best_cost = c;
    }
    bool accept = false;
    if (!std::isfinite(c)) {
      accept = false;
    } else if (c < current_cost) {
      accept = true;
    } else {
      // Drawn whatever the temperature, so the stream stays in step; a
      // temperature that is not positive takes no uphill move (a negative
      // one would make the exponent positive and take every one).
      const double p = unit_from_bits53(rng.next_u64());
      accept = t > 0.0 && p < std::exp(-(c - current_cost) / t);
    }
    if (accept) {
      current = std::move(next->params);
      current_cost = c;
    }
  }

  // The statistics are computed afresh; the local fits' evaluations are not
  // carried into impedance_evals.
  const std::vector<double> omega = angular_frequencies(frequencies);
  const std::vector<double> weights = compute_weights(impedances, weighting);
  EvaluationCounter counter{0};
  auto outcome = build_outcome(circuit, best, true, iterations, omega, impedances, weights, counter, constraints);
  if (!outcome) return unexpected(FitFailure{std::move(outcome.error())});
  outcome->ending = FitEnding::HopsDone;
  return std::move(*outcome);
}

FitExpected run_basin_hopping(const FitInputs& in, const FitSettings& s) {
  return basin_hopping_fit(in.circuit, in.frequencies, in.impedances, in.weighting,
                           BasinHoppingOptions{s.basin_hopping_hops, s.basin_hopping_step_size,
                                               s.basin_hopping_temperature, s.seed}, in.constraints);
}

}  // namespace kelvora
