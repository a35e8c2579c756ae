#pragma once
// Global-best particle swarm search inside the search box, ending in a
// Levenberg–Marquardt polish.
//
// Constants after M. Clerc, "Standard Particle Swarm Optimisation" (2012):
// inertia w = 1/(2 ln 2), cognitive and social weights c1 = c2 = 1/2 + ln 2.
// Per generation and particle, using the global best g as it stood at the
// start of the generation:
//   v <- w v + c1 U(0, p - x) + c2 U(0, g - x)   (U drawn per coordinate,
//                                                 all cognitive draws first)
//   x <- clamp(x + v, box)                        (a NaN becomes the lower end)
// where p is the particle's personal best and U(0, d) = rand_from_range(0, d),
// which consumes nothing when d == 0.
#include <cstdint>
#include <optional>
#include <string>

#include "fit/random/chacha.h"
#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/search/search_problem.h"
#include "support/expected.h"

namespace kelvora {

struct ParticleSwarmOptions {
  // Swarm size (fit argument num_particles); must be at least 1.
  std::uint32_t num_particles = 200;
  // Generations at most (fit argument generations); 0 evaluates the initial swarm only.
  std::uint64_t generations = 1000;
  // Seed of the ChaCha12 generator; none keys it from OS entropy.
  std::optional<std::uint64_t> seed;

  // "particle swarm needs num_particles >= 1, got 0".
  std::optional<FitError> validate() const;
};

inline constexpr double kSwarmInertia = 0.7213475204444817;    // 1/(2 ln 2)
inline constexpr double kSwarmCognitive = 1.1931471805599454;  // 1/2 + ln 2
inline constexpr double kSwarmSocial = 1.1931471805599454;     // 1/2 + ln 2

// The swarm loop over a sampleable box (see unusable_box_coordinate) with at
// least one particle.  Evaluations: num_particles * (1 + generations).
// Fails with a Solver error when no particle ever had a non-NaN cost.
SearchExpected particle_swarm_search(const SearchCost& cost, const SearchBox& box, std::uint32_t num_particles,
                                     std::uint64_t generations, ChaCha12& rng);

// Fits the circuit inside pso_search_box(bounds, current values) by
// run_search.  Refuses, with a Solver error, a swarm of no particles and a box
// coordinate that is infinite, NaN or inverted, before the generator is
// keyed.  The polish gets the number of generations performed.
FitExpected particle_swarm_fit(const SeriesList& circuit, std::span<const double> frequencies,
                               std::span<const Complex> impedances, Weighting weighting,
                               const ParticleSwarmOptions& options,
                               const ParamConstraints* constraints = nullptr);

// The "particle_swarm" entry of the fit method table.
FitExpected run_particle_swarm(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
