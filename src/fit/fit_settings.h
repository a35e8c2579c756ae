#pragma once
// Every numeric setting of Circuit.fit, converted and validated by the
// driver; each method reads only its own.
#include <cstdint>
#include <optional>

namespace kelvora {

struct FitSettings {
  std::uint32_t max_iterations = 200;          // Levenberg-Marquardt patience (0 acts as 1)
  double ftol = 1e-8;                          // Levenberg-Marquardt, >= 0
  double xtol = 1e-8;                          // Levenberg-Marquardt, >= 0
  std::uint32_t num_particles = 200;           // particle swarm
  std::uint64_t generations = 1000;            // particle swarm
  std::uint64_t nelder_mead_iterations = 2000; // Nelder-Mead
  std::uint32_t de_evaluations = 20000;        // differential evolution
  std::uint64_t sa_iterations = 5000;          // simulated annealing
  double sa_initial_temperature = 2.0;         // simulated annealing
  std::uint32_t basin_hopping_hops = 20;       // basin hopping
  double basin_hopping_step_size = 1.0;        // basin hopping
  double basin_hopping_temperature = 1.0;      // basin hopping
  std::optional<std::uint64_t> seed;           // every global search; none = OS entropy
};

}  // namespace kelvora
