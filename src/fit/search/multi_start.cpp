#include "fit/search/multi_start.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/constraints.h"
#include "circuit/tree.h"
#include "fit/coordinate_mapping.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/random/range.h"
#include "fit/random/seed.h"
#include "fit/search/restart_moves.h"
#include "support/internal_error.h"

namespace kelvora {
namespace {

// A new minimum must beat the best by more than rounding to count.
constexpr double kImprovement = 1.0 - 1e-9;

// `p` inside the bounds, fixed parameters at their start values: a bounded
// parameter clamped, an open one that a move took to or below its lower
// bound back at the base value.
void admit(std::vector<double>& p, const std::vector<double>& base, const std::vector<double>& start,
           const ParamBounds& bounds, const std::vector<bool>& fixed) {
  for (std::size_t i = 0; i < std::min(p.size(), bounds.size()); ++i) {
    if (i < fixed.size() && fixed[i]) {
      p[i] = start[i];
      continue;
    }
    const auto [lo, hi] = bounds[i];
    if (!std::isfinite(p[i]))
      p[i] = base[i];
    else if (is_open_bound(bounds[i]))
      p[i] = p[i] > lo ? p[i] : base[i];
    else
      p[i] = std::clamp(p[i], lo, hi);
  }
}

}  // namespace

FitExpected multi_start_fit(const FitInputs& in, const MultiStartOptions& options) {
  if (auto error = validate_fit_inputs(in.circuit, in.frequencies, in.impedances))
    return unexpected(FitFailure{*error});

  auto local_fit = [&](const SeriesList& start) {
    return levenberg_marquardt_fit(start, in.frequencies, in.impedances, in.weighting, options.local,
                                   in.constraints);
  };
  FitExpected best = local_fit(in.circuit);
  if (!best) return best;

  const std::vector<double> start = param_values(in.circuit);
  const ParamConstraints limits = in.constraints ? *in.constraints : default_constraints(in.circuit);
  const ParamBounds& bounds = limits.bounds;
  std::vector<bool> fixed = limits.fixed;
  fixed.resize(start.size(), false);
  if (start.size() < param_count(in.circuit) || bounds.size() < start.size())
    return unexpected(FitFailure{InternalError{"multi-start needs bounds for every parameter"}});

  const CircuitRoles roles = circuit_roles(in.circuit);
  ChaCha12 rng = make_chacha12(options.seed);
  std::uint64_t iterations = best->iterations;
  std::uint64_t evaluations = best->impedance_evals;

  for (std::uint32_t round = 0; round < options.rounds; ++round) {
    const std::vector<double> base = best->params;
    std::vector<std::vector<double>> points = structured_restarts(roles, base);
    for (std::uint32_t k = 0; k < options.random_restarts; ++k) {
      std::vector<double> z = to_search_coordinates(base, bounds);
      for (std::size_t i = 0; i < z.size(); ++i)
        if (!fixed[i]) z[i] += 2.0 * unit_from_bits52(rng.next_u64()) - 1.0;
      points.push_back(to_physical(z, bounds));
    }

    bool improved = false;
    for (std::vector<double>& p : points) {
      admit(p, base, start, bounds, fixed);
      FitExpected next = local_fit(rebuild(in.circuit, p));
      if (!next) return next;
      iterations += next->iterations;
      evaluations += next->impedance_evals;
      if (std::isfinite(next->cost) && (!std::isfinite(best->cost) || next->cost < kImprovement * best->cost)) {
        best = std::move(next);
        improved = true;
      }
    }
    if (!improved) break;
  }
  best->iterations = iterations;
  best->impedance_evals = evaluations;
  return best;
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
