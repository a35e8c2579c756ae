#include "fit/lm/levenberg_marquardt_fit.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <optional>
#include <vector>

#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/build_outcome.h"
#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/residuals.h"
#include "fit/lm/single_start.h"
#include "fit/lm/starting_points.h"

namespace kelvora {
namespace {

struct RunResult {
  std::vector<double> values;
  bool success = false;
  double cost = 0.0;
  LmEnding ending = LmEnding::NoParameters;
};

double cost_at(const ResidualModel& model, const std::vector<double>& x, EvaluationCounter& counter) {
  std::vector<double> r(model.residual_count());
  // The vectors here always cover the circuit's parameters: they come from it.
  if (auto error = model.evaluate(x, r, counter)) throw std::logic_error(error->message);
  return half_sum_of_squares(r);
}

// Every bounded value within its bounds (open ones are by construction).
bool inside(const std::vector<double>& x, const ParamBounds& bounds) {
  for (std::size_t i = 0; i < std::min(x.size(), bounds.size()); ++i)
    if (!(x[i] >= bounds[i].first && x[i] <= bounds[i].second)) return false;
  return true;
}

// The values clamped into the bounds, and the pin mask: the fixed parameters
// and the bounded ones found on or beyond a bound.
struct BoundPins {
  std::vector<double> clamped;
  std::vector<bool> mask;
  bool any = false;
};

BoundPins pin_at_bounds(const std::vector<double>& values, const ParamBounds& bounds, const std::vector<bool>& fixed) {
  BoundPins out{values, fixed, false};
  for (std::size_t i = 0; i < std::min(fixed.size(), out.clamped.size()); ++i) {
    const auto [lo, hi] = bounds[i];
    if (!fixed[i] && !is_open_bound(bounds[i]) && (out.clamped[i] <= lo || out.clamped[i] >= hi)) {
      out.mask[i] = true;
      out.any = true;
    }
    out.clamped[i] = std::clamp(out.clamped[i], lo, hi);
  }
  return out;
}

// Best rule: no best yet; or a success over a failure; or equal flags and a
// strictly lower cost.  A failure never displaces a successful best.
bool better_than(const RunResult& candidate, const std::optional<RunResult>& best) {
  if (!best) return true;
  if (candidate.success && !best->success) return true;
  return candidate.success == best->success && candidate.cost < best->cost;
}

}  // namespace

FitExpected levenberg_marquardt_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings, const ParamConstraints* constraints) {
  if (auto error = validate_fit_inputs(circuit, frequencies, impedances)) return unexpected(FitFailure{*error});
  if (auto error = settings.validate()) return unexpected(FitFailure{std::move(*error)});

  EvaluationCounter counter{0};
  const ResidualModel model(circuit, angular_frequencies(frequencies), {impedances.begin(), impedances.end()},
                            compute_weights(impedances, weighting));
  const ParamConstraints limits = constraints ? *constraints : default_constraints(circuit);
  const ParamBounds& bounds = limits.bounds;
  const std::vector<double> x0 = param_values(circuit);
  const std::size_t p = std::min(bounds.size(), x0.size());
  std::vector<bool> fixed = limits.fixed;
  fixed.resize(p, false);

  std::vector<Candidate> candidates = candidate_starting_points(x0, bounds);
  for (Candidate& c : candidates) {
    for (std::size_t i = 0; i < p; ++i)
      if (fixed[i]) c.values[i] = x0[i];
    c.cost = cost_at(model, c.values, counter);
  }
  sort_by_cost(candidates);
  if (candidates.empty())
    return unexpected(FitFailure{InternalError{"candidate_starting_points always returns at least one candidate"}});

  std::uint64_t iterations = 0;
  std::optional<RunResult> best;
  // Kept for the re-fit: the run from the start values themselves, and the
  // lowest successful run that ended inside the bounds (the best run may lie
  // beyond a bound, where it is never reported).
  std::optional<RunResult> from_start_run;
  std::optional<RunResult> best_inside;
  for (const Candidate& c : candidates) {
    auto run = levenberg_marquardt_single_start(model, bounds, to_search_coordinates(c.values, bounds), fixed,
                                                settings, counter);
    if (!run) return unexpected(FitFailure{std::move(run.error())});
    iterations += run->evaluations;
    RunResult result{std::move(run->values), run->success, 0.0, run->ending};
    result.cost = cost_at(model, result.values, counter);
    const bool clean = is_clean(result.cost, result.success, result.values, bounds, x0);
    if (!from_start_run && c.values == x0) from_start_run = result;
    if (result.success && std::isfinite(result.cost) && inside(result.values, bounds) &&
        (!best_inside || result.cost < best_inside->cost))
      best_inside = result;
    if (better_than(result, best)) best = std::move(result);
    if (clean) break;
  }

  // Bound re-fit: pin the bounded parameters that ended on or beyond a
  // bound, clamp everything into its bounds and refit the rest.
  const BoundPins at_best = pin_at_bounds(best->values, bounds, fixed);
  std::vector<double> final_values = at_best.clamped;
  bool success = best->success;
  LmEnding ending = best->ending;
  if (at_best.any) {
    // A re-fit is measured against the clamped values it would replace, the
    // point that is reported otherwise.  (Against the unclamped best, a point
    // outside the bounds that is never reported, a successful re-fit far
    // better than the clamped values would almost always be discarded.)
    double final_cost = cost_at(model, at_best.clamped, counter);
    // The other parameters of the clamped best were fitted to the value
    // beyond the bound (a CPE exponent of 1.4 with its magnitude), and a
    // re-fit from there alone can end far above a start that already lay on
    // the bound.  So each pin set (the best run's, and the run from the
    // start's, which may have left by another bound) is re-fitted from its
    // clamped run and from the start values with those parameters at their
    // bounds; the lowest successful re-fit is kept.
    std::vector<std::pair<std::vector<double>, std::vector<bool>>> refits;
    auto add = [&](const BoundPins& pins) {
      std::vector<double> start = x0;
      start.resize(pins.clamped.size());
      for (std::size_t i = 0; i < start.size(); ++i)
        start[i] = (i >= p || pins.mask[i]) ? pins.clamped[i] : std::clamp(start[i], bounds[i].first, bounds[i].second);
      for (const std::vector<double>* from : {&pins.clamped, static_cast<const std::vector<double>*>(&start)}) {
        const bool seen = std::any_of(refits.begin(), refits.end(),
                                      [&](const auto& r) { return r.first == *from && r.second == pins.mask; });
        if (!seen) refits.emplace_back(*from, pins.mask);
      }
    };
    add(at_best);
    if (from_start_run) {
      const BoundPins at_start = pin_at_bounds(from_start_run->values, bounds, fixed);
      if (at_start.any) add(at_start);
    }
    for (const auto& [from, mask] : refits) {
      auto refit = levenberg_marquardt_single_start(model, bounds, to_search_coordinates(from, bounds), mask, settings,
                                                    counter);
      if (!refit) return unexpected(FitFailure{std::move(refit.error())});
      iterations += refit->evaluations;
      const double refit_cost = cost_at(model, refit->values, counter);
      if (refit->success && refit_cost < final_cost) {
        final_values = std::move(refit->values);
        final_cost = refit_cost;
        success = true;
        ending = refit->ending;
      }
    }
    // Nor does the fit end above a successful run that stayed inside the
    // bounds (a run that ended with an inductance on its lower bound is not
    // clean, and a later run beyond an exponent's bound became the best).
    if (best_inside && best_inside->cost < final_cost) {
      final_values = best_inside->values;
      success = true;
      ending = best_inside->ending;
    }
  }

  // A pinned coordinate maps back to its value up to rounding; fixed values are exact.
  for (std::size_t i = 0; i < std::min(p, final_values.size()); ++i)
    if (fixed[i]) final_values[i] = x0[i];
  auto outcome = build_outcome(circuit, model, final_values, success, iterations, counter, &limits);
  if (!outcome) return unexpected(FitFailure{std::move(outcome.error())});
  outcome->ending = fit_ending(ending);
  return std::move(*outcome);
}

}  // namespace kelvora
