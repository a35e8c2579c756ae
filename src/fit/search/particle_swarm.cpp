#include "fit/search/particle_swarm.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "fit/random/range.h"
#include "fit/random/seed.h"

namespace kelvora {

namespace {

struct Particle {
  std::vector<double> position;
  std::vector<double> velocity;
  double cost = 0.0;
  std::vector<double> best_position;
  double best_cost = 0.0;
};

}  // namespace

std::optional<FitError> ParticleSwarmOptions::validate() const {
  if (num_particles == 0) return search_error("particle swarm needs num_particles >= 1, got 0");
  return std::nullopt;
}

SearchExpected particle_swarm_search(const SearchCost& cost, const SearchBox& box, std::uint32_t num_particles,
                                     std::uint64_t generations, ChaCha12& rng) {
  if (num_particles == 0) return unexpected(search_error("particle swarm needs at least one particle"));
  const std::size_t n = std::min(box.lower.size(), box.upper.size());
  const auto& lower = box.lower;
  const auto& upper = box.upper;

  std::vector<double> delta(n);
  for (std::size_t i = 0; i < n; ++i) delta[i] = upper[i] - lower[i];

  // Positions of all particles first, then all velocities: the random stream
  // depends on this order.
  std::vector<Particle> swarm(num_particles);
  for (auto& p : swarm) {
    p.position.resize(n);
    for (std::size_t i = 0; i < n; ++i) p.position[i] = rand_from_range(rng, lower[i], upper[i]);
  }
  for (auto& p : swarm) {
    p.velocity.resize(n);
    for (std::size_t i = 0; i < n; ++i) p.velocity[i] = rand_from_range(rng, -delta[i], delta[i]);
  }
  for (auto& p : swarm) {
    p.cost = cost(p.position);
    p.best_position = p.position;
    p.best_cost = p.cost;
  }
  std::stable_sort(swarm.begin(), swarm.end(),
                   [](const Particle& a, const Particle& b) { return cost_less(a.cost, b.cost); });

  std::vector<double> global_best = swarm[0].position;
  double global_best_cost = swarm[0].cost;

  SearchResult result;
  result.ending = FitEnding::SwarmGenerationsDone;
  BestPoint best;
  auto record_best = [&] { best.offer(global_best, global_best_cost); };
  record_best();

  std::vector<double> cognitive(n);
  std::vector<double> social(n);
  while (result.iterations < generations) {
    // The global best changes only in the update pass below, so every
    // particle of this generation is pulled toward the same point.
    for (auto& p : swarm) {
      for (std::size_t i = 0; i < n; ++i)
        cognitive[i] = kSwarmCognitive * rand_from_range(rng, 0.0, p.best_position[i] - p.position[i]);
      for (std::size_t i = 0; i < n; ++i)
        social[i] = kSwarmSocial * rand_from_range(rng, 0.0, global_best[i] - p.position[i]);
      for (std::size_t i = 0; i < n; ++i) {
        p.velocity[i] = kSwarmInertia * p.velocity[i] + cognitive[i] + social[i];
        const double moved = p.position[i] + p.velocity[i];
        const double above = moved > lower[i] ? moved : lower[i];  // NaN -> lower end
        p.position[i] = above < upper[i] ? above : upper[i];
      }
    }
    for (auto& p : swarm) p.cost = cost(p.position);
    for (auto& p : swarm) {
      if (p.cost < p.best_cost) {
        p.best_position = p.position;
        p.best_cost = p.cost;
        if (p.cost < global_best_cost) {
          global_best = p.position;
          global_best_cost = p.cost;
        }
      }
    }
    record_best();
    ++result.iterations;
  }

  return best.finish(std::move(result), "particle swarm");
}

FitExpected particle_swarm_fit(const SeriesList& circuit, std::span<const double> frequencies,
                               std::span<const Complex> impedances, Weighting weighting,
                               const ParticleSwarmOptions& options,
                               const ParamConstraints* constraints) {
  return run_search(FitInputs{circuit, frequencies, impedances, weighting, constraints}, options.validate(),
                    [&](SearchProblem& problem) -> SearchExpected {
                      const SearchBox box = problem.box();
                      if (auto bad = unusable_box_coordinate(box, false))
                        return unexpected(search_error(unusable_box_message(
                            circuit, "particle swarm", problem.param_index(*bad), box.lower[*bad], box.upper[*bad])));
                      ChaCha12 rng = make_chacha12(options.seed);
                      const SearchCost cost = problem.cost_function();
                      return particle_swarm_search(cost, box, options.num_particles, options.generations, rng);
                    });
}

FitExpected run_particle_swarm(const FitInputs& in, const FitSettings& s) {
  return particle_swarm_fit(in.circuit, in.frequencies, in.impedances, in.weighting,
                            ParticleSwarmOptions{s.num_particles, s.generations, s.seed}, in.constraints);
}

}  // namespace kelvora
