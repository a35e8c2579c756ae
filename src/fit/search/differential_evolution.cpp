#include "fit/search/differential_evolution.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "fit/random/seed.h"

namespace kelvora {

namespace {

constexpr float kRedrawCr = 0.1f;  // tau_CR
constexpr float kRedrawF = 0.1f;   // tau_F
constexpr float kCrLow = 0.0f, kCrHigh = 1.0f;
constexpr float kFLow = 0.1f, kFHigh = 1.0f;

// A mutant coordinate that lands outside [lo, hi] is reflected back from
// the end it crossed; an overshoot of more than the box width, reflected
// past the other end, ends on that other end (a NaN on lo), as the particle
// swarm limits its positions.
float reflect_into_box(float v, float lo, float hi) {
  if (v < lo) v = lo + (lo - v);
  else if (v > hi) v = hi - (v - hi);
  const float above = v > lo ? v : lo;
  return above < hi ? above : hi;
}

struct Individual {
  std::vector<float> position;
  std::optional<float> cost;
  float cr = 0.0f;
  float f = 0.0f;
};

}  // namespace

DeRunResult differential_evolution_run(const SearchCostF32& cost, const DeBox& box, std::uint32_t evaluations,
                                       XorShift128& rng) {
  const std::vector<float>& lower = box.lower;
  const std::vector<float>& upper = box.upper;
  const std::size_t dim = std::min(lower.size(), upper.size());
  std::vector<bool> bounded(dim, false);
  for (std::size_t d = 0; d < dim && d < box.bounded.size(); ++d) bounded[d] = box.bounded[d];
  const std::uint32_t m = kDePopulation;
  std::vector<Individual> targets(m, Individual{std::vector<float>(dim, 0.0f), std::nullopt, 0.0f, 0.0f});
  std::vector<Individual> trials(m);
  for (auto& t : trials) {
    t.cr = rng.range_f32(kCrLow, kCrHigh);
    t.f = rng.range_f32(kFLow, kFHigh);
    t.position.resize(dim);
    for (std::size_t d = 0; d < dim; ++d) t.position[d] = rng.range_f32(lower[d], upper[d]);
  }

  std::optional<std::uint32_t> best_slot;
  std::optional<float> best_cost;
  std::uint32_t countdown = m;
  DeRunResult result;

  const std::uint32_t budget = std::max<std::uint32_t>(evaluations, 1);
  for (std::uint32_t e = 0; e < budget; ++e) {
    if (countdown == 0) {
      // Selection: an equal-cost trial moves in.
      for (std::uint32_t i = 0; i < m; ++i) {
        if (!targets[i].cost || (trials[i].cost && *trials[i].cost <= *targets[i].cost))
          std::swap(trials[i], targets[i]);
      }
      // New trials (DE/rand/1/bin with jDE control parameters).
      for (std::uint32_t i = 0; i < m; ++i) {
        const std::uint32_t a = rng.index(m);
        std::uint32_t b;
        do b = rng.index(m); while (b == a);
        std::uint32_t c;
        do c = rng.index(m); while (c == a || c == b);
        Individual& trial = trials[i];
        const Individual& target = targets[i];
        trial.cr = rng.unit_f32() < kRedrawCr ? rng.range_f32(kCrLow, kCrHigh) : target.cr;
        trial.f = rng.unit_f32() < kRedrawF ? rng.range_f32(kFLow, kFHigh) : target.f;
        const std::uint32_t forced = rng.index(static_cast<std::uint32_t>(dim));
        trial.position.resize(dim);
        for (std::size_t d = 0; d < dim; ++d) {
          if (d == forced || rng.unit_f32() < trial.cr) {
            const float mutant =
                targets[c].position[d] + trial.f * (targets[a].position[d] - targets[b].position[d]);
            trial.position[d] = bounded[d] ? reflect_into_box(mutant, lower[d], upper[d]) : mutant;
          } else
            trial.position[d] = target.position[d];
        }
        trial.cost.reset();
      }
      countdown = m;
    }
    // Slots of a pass are evaluated from the last to the first.
    const std::uint32_t j = --countdown;
    const float c = cost(trials[j].position);
    trials[j].cost = c;
    ++result.evaluations;
    // A NaN cost never becomes the run's best.
    if (!std::isnan(c) && (!best_cost || c < *best_cost)) {
      best_cost = c;
      best_slot = j;
    }
  }

  if (best_slot) {
    const Individual& trial = trials[*best_slot];
    const Individual& target = targets[*best_slot];
    const bool take_target = !trial.cost || (target.cost && !(*trial.cost < *target.cost));
    result.position = take_target ? target.position : trial.position;
  }
  return result;
}

std::vector<XorShift128> de_run_generators(std::optional<std::uint64_t> seed) {
  std::vector<XorShift128> generators;
  generators.reserve(kDeRuns);
  if (!seed) {
    for (int run = 0; run < kDeRuns; ++run) generators.push_back(XorShift128::from_entropy());
    return generators;
  }
  ChaCha12 keys = make_chacha12(seed);
  while (generators.size() < static_cast<std::size_t>(kDeRuns)) {
    std::array<std::uint32_t, 4> state{};
    for (auto& word : state) word = keys.next_u32();
    if ((state[0] | state[1] | state[2] | state[3]) != 0) generators.emplace_back(state);
  }
  return generators;
}

namespace {

// The ten runs over the problem's box.
SearchExpected differential_evolution_search(SearchProblem& problem, const DifferentialEvolutionOptions& options) {
  const SeriesList& circuit = problem.circuit();
  const SearchBox box = problem.box();
  const std::size_t dim = box.lower.size();
  DeBox single{std::vector<float>(dim), std::vector<float>(dim), std::vector<bool>(dim)};
  SearchBox narrowed{std::vector<double>(dim), std::vector<double>(dim)};
  for (std::size_t d = 0; d < dim; ++d) {
    single.lower[d] = static_cast<float>(box.lower[d]);
    single.upper[d] = static_cast<float>(box.upper[d]);
    single.bounded[d] = true;  // decade coordinates too: roaming leads the runs astray
    narrowed.lower[d] = single.lower[d];
    narrowed.upper[d] = single.upper[d];
  }
  if (auto bad = unusable_box_coordinate(narrowed, true))
    return unexpected(search_error(
        unusable_box_message(circuit, "differential evolution", problem.param_index(*bad), box.lower[*bad],
                             box.upper[*bad])));

  // Single precision in and out: the coordinates are widened to double, the
  // cost is formed in double and rounded.  (The residual vector is never
  // empty here, so the sum's start value plays no part.)
  std::vector<double> wide(dim);
  const SearchCostF32 cost = [&](std::span<const float> z) {
    for (std::size_t d = 0; d < dim; ++d) wide[d] = z[d];
    const double c = problem.cost(wide);
    // From the midpoint between FLT_MAX and 2^128 up, IEEE rounding gives
    // infinity; spelt out because the language leaves out-of-range narrowing
    // undefined.
    if (c >= 0x1.ffffffp+127) return std::numeric_limits<float>::infinity();
    return static_cast<float>(c);
  };

  std::optional<std::vector<double>> kept;
  double kept_cost = 0.0;
  std::uint64_t total = 0;
  for (XorShift128& rng : de_run_generators(options.seed)) {
    const DeRunResult result = differential_evolution_run(cost, single, options.evaluations, rng);
    if (result.position) {
      std::vector<double> z(result.position->begin(), result.position->end());
      const double c = problem.cost(z);
      if (!kept || c < kept_cost) {
        kept = std::move(z);
        kept_cost = c;
      }
    }
    total += result.evaluations;
  }

  if (!kept) return unexpected(search_error("differential evolution found no best position"));
  return SearchResult{std::move(*kept), total, FitEnding::EvolutionBudgetSpent};
}

}  // namespace

FitExpected differential_evolution_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                       std::span<const Complex> impedances, Weighting weighting,
                                       const DifferentialEvolutionOptions& options,
                                       const ParamConstraints* constraints) {
  return run_search(FitInputs{circuit, frequencies, impedances, weighting, constraints}, options.validate(),
                    [&](SearchProblem& problem) { return differential_evolution_search(problem, options); });
}

FitExpected run_differential_evolution(const FitInputs& in, const FitSettings& s) {
  return differential_evolution_fit(in.circuit, in.frequencies, in.impedances, in.weighting,
                                    DifferentialEvolutionOptions{s.de_evaluations, s.seed}, in.constraints);
}

}  // namespace kelvora
