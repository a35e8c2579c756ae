#include "fit/lm/levenberg_marquardt_fit.h"

#include <algorithm>
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
  for (const Candidate& c : candidates) {
    auto run = levenberg_marquardt_single_start(model, bounds, to_search_coordinates(c.values, bounds), fixed,
                                                settings, counter);
    if (!run) return unexpected(FitFailure{std::move(run.error())});
    iterations += run->evaluations;
    RunResult result{std::move(run->values), run->success, 0.0, run->ending};
    result.cost = cost_at(model, result.values, counter);
    const bool clean = is_clean(result.cost, result.success, result.values, bounds, x0);
    if (better_than(result, best)) best = std::move(result);
    if (clean) break;
  }

  // Bound re-fit: pin the bounded parameters that ended on or beyond a
  // bound, clamp everything into its bounds and refit the rest once.
  std::vector<double> clamped = best->values;
  std::vector<bool> pinned = fixed;
  bool any_pinned = false;
  for (std::size_t i = 0; i < std::min(p, clamped.size()); ++i) {
    const auto [lo, hi] = bounds[i];
    if (!fixed[i] && !is_open_bound(bounds[i]) && (clamped[i] <= lo || clamped[i] >= hi)) {
      pinned[i] = true;
      any_pinned = true;
    }
    if (clamped[i] < lo) clamped[i] = lo;
    if (clamped[i] > hi) clamped[i] = hi;
  }

  std::vector<double> final_values = clamped;
  bool success = best->success;
  LmEnding ending = best->ending;
  if (any_pinned) {
    // The re-fit is measured against the clamped values it would replace,
    // the point that is reported otherwise.  (Against the unclamped best, a
    // point outside the bounds that is never reported, a successful re-fit
    // far better than the clamped values would almost always be discarded.)
    double final_cost = cost_at(model, clamped, counter);
    // It runs from the clamped best and, with the same parameters pinned at
    // the same bounds, from the start values: the other parameters of the
    // clamped best were fitted to the value beyond the bound (a CPE exponent
    // of 1.4 with its magnitude), and a re-fit from there can end far above a
    // start that already lay inside the bounds.
    std::vector<double> from_start = x0;
    from_start.resize(clamped.size());
    for (std::size_t i = 0; i < from_start.size(); ++i) {
      if (pinned[i] || i >= p) {
        from_start[i] = clamped[i];
      } else {
        from_start[i] = std::clamp(from_start[i], bounds[i].first, bounds[i].second);
      }
    }
    const bool same_start = from_start == clamped;
    for (const std::vector<double>* start : {&clamped, &from_start}) {
      if (start == &from_start && same_start) break;
      auto refit = levenberg_marquardt_single_start(model, bounds, to_search_coordinates(*start, bounds), pinned,
                                                    settings, counter);
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
