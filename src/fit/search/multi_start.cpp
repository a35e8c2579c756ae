#include "fit/search/multi_start.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "circuit/constraints.h"
#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/build_outcome.h"
#include "fit/fit_ending.h"
#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/lm/single_start.h"
#include "fit/random/range.h"
#include "fit/random/seed.h"
#include "fit/residuals.h"
#include "fit/search/restart_moves.h"
#include "fit/weighting.h"
#include "support/internal_error.h"

namespace kelvora {
namespace {

// A new minimum must beat the best by more than rounding to count.
constexpr double kImprovement = 1.0 - 1e-9;
// Screened minima whose costs agree this closely (relative), or whose search
// coordinates all agree this closely, are taken for one basin.
constexpr double kSameCost = 1e-3;
constexpr double kSameCoordinates = 0.05;
// A round that lowered the cost below this fraction found a new basin.
constexpr double kNewBasin = 0.99;
// An open resistance below the first or above the second (times max |Z|)
// is an arc shorted or opened: a degenerate basin, whose resistance a local
// run would walk to its bound decade by decade.  It is pinned instead.
constexpr double kShorted = 1e-7;
constexpr double kOpened = 1e5;
// A shorted arc with its diffusion placed is finished when its screened
// cost is below this multiple of the best cost.
constexpr double kWorthFinishing = 1.5;
// The lowest degenerate basin that b did not replace is let go at the end
// when its cost is below this multiple of b's.
constexpr double kNearRunnerUp = 1.1;

// `p` inside the bounds, fixed parameters at their start values: a bounded
// parameter clamped, a non-finite one back at the base value.  An open
// parameter at or below its lower bound is a move's leftover (a value
// scaled to zero), taken back to the base value, when `from_move`; a
// solver's (its decades ran out at the bound), held at the bound otherwise.
void admit(std::vector<double>& p, const std::vector<double>& base, const std::vector<double>& start,
           const ParamBounds& bounds, const std::vector<bool>& fixed, bool from_move) {
  for (std::size_t i = 0; i < std::min(p.size(), bounds.size()); ++i) {
    if (fixed[i]) {
      p[i] = start[i];
      continue;
    }
    const auto [lo, hi] = bounds[i];
    if (!std::isfinite(p[i]))
      p[i] = base[i];
    else if (is_open_bound(bounds[i]))
      p[i] = p[i] > lo ? p[i] : from_move ? base[i] : lo;
    else
      p[i] = std::clamp(p[i], lo, hi);
  }
}

struct Screened {
  double cost = 0.0;
  std::vector<double> values;
  bool success = false;  // of the run that ended there
  LmEnding ending = LmEnding::NoParameters;
};

bool same_basin(const Screened& a, const Screened& b, const ParamBounds& bounds) {
  if (std::abs(a.cost - b.cost) <= kSameCost * std::min(a.cost, b.cost)) return true;
  const std::vector<double> za = to_search_coordinates(a.values, bounds);
  const std::vector<double> zb = to_search_coordinates(b.values, bounds);
  for (std::size_t i = 0; i < std::min(za.size(), zb.size()); ++i)
    if (!(std::abs(za[i] - zb[i]) <= kSameCoordinates)) return false;
  return true;
}

// The fixed parameters, and the open resistances of `x` that short or open
// their arc; with `at_bounds`, also the bounded parameters on a bound.
std::vector<bool> degenerate_pins(const std::vector<double>& x, const std::vector<bool>& fixed,
                                  const ParamBounds& bounds, const CircuitRoles& roles, double z_max,
                                  bool at_bounds) {
  std::vector<bool> pinned = fixed;
  for (std::size_t i = 0; i < std::min({pinned.size(), x.size(), roles.roles.size()}); ++i) {
    const auto [lo, hi] = bounds[i];
    if (!is_open_bound(bounds[i]))
      pinned[i] = pinned[i] || (at_bounds && (x[i] <= lo || x[i] >= hi));
    else if (roles.roles[i] == ParamRole::Resistance)
      pinned[i] = pinned[i] || x[i] - lo <= kShorted * z_max || x[i] >= kOpened * z_max;
  }
  return pinned;
}

// What a held restart's screen holds besides the fixed parameters: the
// degenerate resistances, and also the parameters on a bound, or the
// inductances.
enum class Hold : std::uint8_t { Degenerate, OnBounds, Inductances };
using Points = std::vector<std::vector<double>>;

}  // namespace

FitExpected multi_start_fit(const FitInputs& in, const MultiStartOptions& options) {
  if (auto error = validate_fit_inputs(in.circuit, in.frequencies, in.impedances))
    return unexpected(FitFailure{*error});
  if (auto error = options.local.validate()) return unexpected(FitFailure{std::move(*error)});

  auto local_fit = [&](const SeriesList& from) {
    return levenberg_marquardt_fit(from, in.frequencies, in.impedances, in.weighting, options.local, in.constraints);
  };
  FitExpected first = local_fit(in.circuit);
  if (!first) return first;

  const std::vector<double> start = param_values(in.circuit);
  const ParamConstraints limits = in.constraints ? *in.constraints : default_constraints(in.circuit);
  const ParamBounds& bounds = limits.bounds;
  std::vector<bool> fixed = limits.fixed;
  fixed.resize(start.size(), false);
  if (start.size() < param_count(in.circuit) || bounds.size() < start.size())
    return unexpected(FitFailure{InternalError{"multi-start needs bounds for every parameter"}});

  const std::vector<double> omega = angular_frequencies(in.frequencies);
  const ResidualModel model(in.circuit, omega, {in.impedances.begin(), in.impedances.end()},
                            compute_weights(in.impedances, in.weighting));
  EvaluationCounter counter{0};  // every run but the full fits
  std::vector<double> r(model.residual_count());
  auto cost_at = [&](const std::vector<double>& x) {
    if (auto error = model.evaluate(x, r, counter)) throw std::logic_error(error->message);
    return half_sum_of_squares(r);
  };
  LmSettings screen_settings = options.local;
  screen_settings.patience = options.screen_patience;
  screen_settings.ftol = std::max(screen_settings.ftol, options.screen_tolerance);
  screen_settings.xtol = std::max(screen_settings.xtol, options.screen_tolerance);

  const CircuitRoles roles = circuit_roles(in.circuit);
  const SpectrumScale scale = spectrum_scale(omega, in.impedances);
  ChaCha12 rng = make_chacha12(options.seed);
  std::uint64_t iterations = first->iterations;
  Screened best{first->cost, first->params};  // the values and cost of `outcome`
  auto replaces_best = [&](double c) {
    return std::isfinite(c) && (!std::isfinite(best.cost) || c < kImprovement * best.cost);
  };
  // One local run from `p` (admitted first), its values admitted and costed.
  auto local_run = [&](std::vector<double> p, const LmSettings& settings, const std::vector<double>& base,
                       bool from_move = true,
                       const std::vector<bool>* pinned = nullptr) -> Expected<Screened, InternalError> {
    admit(p, base, start, bounds, fixed, from_move);
    auto run = levenberg_marquardt_single_start(model, bounds, to_search_coordinates(p, bounds),
                                                pinned ? *pinned : fixed, settings, counter);
    if (!run) return unexpected(std::move(run.error()));
    iterations += run->evaluations;
    admit(run->values, base, start, bounds, fixed, false);
    const double c = cost_at(run->values);
    return Screened{c, std::move(run->values), run->success, run->ending};
  };

  FitExpected outcome = std::move(first);
  std::uint64_t full_evals = outcome->impedance_evals;
  // A basin finished by itself: one full-patience run from `values` with
  // the degenerate parameters pinned, then once more with those it ended
  // on pinned too; the lower of the two.
  auto finish_alone = [&](const std::vector<double>& values,
                          const std::vector<double>& base) -> Expected<Screened, InternalError> {
    std::vector<bool> pinned = degenerate_pins(values, fixed, bounds, roles, scale.z_max, true);
    auto own = local_run(values, options.local, base, false, &pinned);
    if (!own) return own;
    const std::vector<bool> more = degenerate_pins(own->values, fixed, bounds, roles, scale.z_max, true);
    for (std::size_t i = 0; i < pinned.size(); ++i) pinned[i] = pinned[i] || more[i];
    auto again = local_run(own->values, options.local, base, false, &pinned);
    if (!again) return again;
    return again->cost < own->cost ? std::move(again) : std::move(own);
  };
  // One fit as the default method fits from `values`, taken for b when it
  // replaces it.
  struct FullFit {
    double cost;
    bool replaced;
  };
  auto fit_fully = [&](const std::vector<double>& values) -> Expected<FullFit, FitFailure> {
    FitExpected run = local_fit(rebuild(in.circuit, values));
    if (!run) return unexpected(std::move(run.error()));
    iterations += run->iterations;
    full_evals += run->impedance_evals;
    const FullFit fitted{run->cost, replaces_best(run->cost)};
    if (fitted.replaced) {
      best = Screened{run->cost, run->params};
      outcome = std::move(run);
    }
    return fitted;
  };
  // The lowest degenerate basin finished by itself that did not replace b.
  Screened degenerate_runner_up{INFINITY, {}};
  // `own` (from finish_alone) taken for b when it replaces it.
  auto adopt = [&](const Screened& own) -> std::optional<FitFailure> {
    if (!replaces_best(own.cost)) {
      if (own.cost < degenerate_runner_up.cost &&
          degenerate_pins(own.values, fixed, bounds, roles, scale.z_max, false) != fixed)
        degenerate_runner_up = own;
      return std::nullopt;
    }
    auto built = build_outcome(in.circuit, model, own.values, own.success, 0, counter, &limits);
    if (!built) return FitFailure{std::move(built.error())};
    built->ending = fit_ending(own.ending);
    best = Screened{own.cost, own.values};
    outcome = std::move(*built);
    return std::nullopt;
  };
  for (std::uint32_t round = 0; round < options.rounds; ++round) {
    const std::vector<double> base = best.values;
    const double base_cost = best.cost;
    std::vector<std::vector<double>> points =
        structured_restarts(roles, base, scale, round == 0 ? MoveSet::All : MoveSet::Later);
    const std::uint32_t randoms = round == 0 ? options.random_starts : 0;
    for (std::uint32_t k = 0; k < randoms; ++k) points.push_back(random_start(roles, base, scale, rng));

    // Screening: a short local run from every point.
    std::vector<Screened> screened;
    screened.reserve(points.size());
    for (std::vector<double>& p : points) {
      auto run = local_run(std::move(p), screen_settings, base);
      if (!run) return unexpected(FitFailure{std::move(run.error())});
      if (std::isfinite(run->cost)) screened.push_back(std::move(*run));
    }
    std::stable_sort(screened.begin(), screened.end(),
                     [](const Screened& a, const Screened& b) { return a.cost < b.cost; });

    // The most promising distinct basins, each fitted as the default method fits.
    // The round's base counts as a basin seen: screens that fell back into
    // it are no finalists.
    std::vector<Screened> seen_basins{Screened{base_cost, base}};
    std::uint32_t finalists = 0;
    for (const Screened& s : screened) {
      if (finalists >= (round == 0 ? options.finalists : options.later_finalists)) break;
      const bool seen = std::any_of(seen_basins.begin(), seen_basins.end(),
                                    [&](const Screened& b) { return same_basin(b, s, bounds); });
      if (seen) continue;
      seen_basins.push_back(s);
      ++finalists;
      // A degenerate basin is finished by itself only: the default fit
      // would walk its resistance to the bound from each of its starts.
      const bool degenerate = degenerate_pins(s.values, fixed, bounds, roles, scale.z_max, false) != fixed;
      bool finish_itself = degenerate;
      if (!degenerate) {
        auto fitted = fit_fully(s.values);
        if (!fitted) return unexpected(std::move(fitted.error()));
        finish_itself = !fitted->replaced && !(fitted->cost <= s.cost);
      }
      if (finish_itself) {
        // A degenerate basin, or one the full fit left (its runs at a bound
        // or drifted far count as unclean there): finish the basin itself.
        auto own = finish_alone(s.values, base);
        if (!own) return unexpected(FitFailure{std::move(own.error())});
        if (auto failure = adopt(*own)) return unexpected(std::move(*failure));
      }
    }
    // Held restarts, screened with what they hold pinned; of each kind
    // the lowest, when its screened cost is below kWorthFinishing times b's
    // and its basin not seen, one more finalist, finished by itself.  The
    // first round makes every kind (the shorted arcs with their diffusion
    // placed, an arc opened with the others placed afresh, an ideal arc
    // beside depressed ones, traded capacitances, placed inductances);
    // later rounds only the ideal arcs and the inductances.
    const bool first_round = round == 0;
    for (const auto& [held, hold] :
           {std::pair{first_round ? shorted_diffusion_restarts(roles, base, scale) : Points{}, Hold::Degenerate},
            std::pair{first_round ? opened_arc_restarts(roles, base, scale) : Points{}, Hold::Degenerate},
            std::pair{ideal_arc_restarts(roles, base), Hold::OnBounds},
            std::pair{first_round ? traded_capacitance_restarts(roles, base) : Points{}, Hold::Degenerate},
            std::pair{placed_inductance_restarts(roles, base, scale), Hold::Inductances}}) {
        Screened lowest{INFINITY, {}};
        for (std::vector<double> p : held) {
          admit(p, base, start, bounds, fixed, true);
          std::vector<bool> pins = degenerate_pins(p, fixed, bounds, roles, scale.z_max, hold == Hold::OnBounds);
          for (std::size_t i = 0; hold == Hold::Inductances && i < std::min(pins.size(), roles.roles.size()); ++i)
            pins[i] = pins[i] || roles.roles[i] == ParamRole::Inductance;
          auto run = local_run(std::move(p), screen_settings, base, true, &pins);
          if (!run) return unexpected(FitFailure{std::move(run.error())});
          // An exponent that ran onto its bound stalls the run there: once
          // more with it held.
          const std::vector<bool> more = degenerate_pins(run->values, fixed, bounds, roles, scale.z_max, true);
          if (more != pins) {
            for (std::size_t i = 0; i < pins.size(); ++i) pins[i] = pins[i] || more[i];
            auto again = local_run(run->values, screen_settings, base, false, &pins);
            if (!again) return unexpected(FitFailure{std::move(again.error())});
            if (again->cost < run->cost) run = std::move(again);
          }
          if (run->cost < lowest.cost) lowest = std::move(*run);
        }
        if (lowest.cost < kWorthFinishing * best.cost &&
            std::none_of(seen_basins.begin(), seen_basins.end(),
                         [&](const Screened& b) { return same_basin(b, lowest, bounds); })) {
          seen_basins.push_back(lowest);
          auto own = finish_alone(lowest.values, base);
          if (!own) return unexpected(FitFailure{std::move(own.error())});
          if (auto failure = adopt(*own)) return unexpected(std::move(*failure));
        }
      }
    // Another round only after a new basin, not after a refinement of this one.
    if (!(best.cost < kNewBasin * base_cost)) break;
  }
  // Last, the diffusion bends moved beyond the measured decades, each
  // finished by itself; then, from b and from the lowest degenerate basin
  // that did not replace it when that is near b, the nearly ideal exponents
  // made ideal and the tails made ideal capacitors.  Such a point with an
  // arc still opened or shorted is fitted as the default method fits,
  // which lets go the resistance a fit by itself would hold (an opened arc
  // often fits better as a capacitor with its leak resistance just below
  // the measured decades); any other gets one full local run.
  {
    const std::vector<double> base = best.values;
    for (std::vector<double> p : stretched_diffusion_restarts(roles, base)) {
      admit(p, base, start, bounds, fixed, true);
      auto own = finish_alone(p, base);
      if (!own) return unexpected(FitFailure{std::move(own.error())});
      if (auto failure = adopt(*own)) return unexpected(std::move(*failure));
    }
    Points ideal;
    auto add = [&](const std::vector<double>& from) {
      const double opened = kOpened * scale.z_max;
      for (Points more : {ideal_exponent_restarts(roles, from), ideal_tail_restarts(roles, from, opened)})
        for (std::vector<double>& p : more)
          if (std::find(ideal.begin(), ideal.end(), p) == ideal.end()) ideal.push_back(std::move(p));
    };
    add(best.values);
    if (degenerate_runner_up.cost < kNearRunnerUp * best.cost && !same_basin(degenerate_runner_up, best, bounds))
      add(degenerate_runner_up.values);
    for (std::vector<double> p : ideal) {
      admit(p, base, start, bounds, fixed, true);
      if (degenerate_pins(p, fixed, bounds, roles, scale.z_max, false) == fixed) {
        auto run = local_run(std::move(p), options.local, base);
        if (!run) return unexpected(FitFailure{std::move(run.error())});
        if (auto failure = adopt(*run)) return unexpected(std::move(*failure));
        continue;
      }
      auto fitted = fit_fully(p);
      if (!fitted) return unexpected(std::move(fitted.error()));
    }
    // A search that started from a degenerate fit can end with the arcs in
    // the other order than the best basin's: the swaps of the result are
    // fitted as the default method fits.
    for (std::vector<double> p : swapped_arc_restarts(roles, best.values)) {
      admit(p, best.values, start, bounds, fixed, true);
      auto fitted = fit_fully(p);
      if (!fitted) return unexpected(std::move(fitted.error()));
    }
  }

  outcome->iterations = iterations;
  outcome->impedance_evals = full_evals + counter.load();
  return outcome;
}

FitExpected run_multi_start(const FitInputs& in, const FitSettings& s) {
  MultiStartOptions options;
  options.local.ftol = s.ftol;
  options.local.xtol = s.xtol;
  options.local.gtol = 1e-8;
  options.local.patience = s.max_iterations;
  options.seed = s.seed;
  return multi_start_fit(in, options);
}

}  // namespace kelvora
