#include "fit/differential_evolution.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kelvora {

namespace {

constexpr float kRedrawCr = 0.1f;  // tau_CR
constexpr float kRedrawF = 0.1f;   // tau_F
constexpr float kCrLow = 0.0f, kCrHigh = 1.0f;
constexpr float kFLow = 0.1f, kFHigh = 1.0f;

struct Individual {
  std::vector<float> position;
  std::optional<float> cost;
  float cr = 0.0f;
  float f = 0.0f;
};

}  // namespace

DeRunResult differential_evolution_run(const SearchCostF32& cost, const std::vector<float>& lower,
                                       const std::vector<float>& upper, std::uint32_t evaluations,
                                       XorShift128& rng) {
  const std::size_t dim = std::min(lower.size(), upper.size());
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
          if (d == forced || rng.unit_f32() < trial.cr)
            trial.position[d] =
                targets[c].position[d] + trial.f * (targets[a].position[d] - targets[b].position[d]);
          else
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

}  // namespace kelvora
