#pragma once
// Self-adaptive differential evolution: ten independent runs of DE/rand/1/bin
// (R. Storn and K. Price, "Differential evolution - a simple and efficient
// heuristic for global optimization over continuous spaces", J. Global
// Optimization 11, 1997) with per-individual F and CR adapted as in jDE
// (J. Brest et al., "Self-adapting control parameters in differential
// evolution", IEEE Trans. Evol. Comput. 10(6), 2006), in single precision,
// ending in a Levenberg–Marquardt polish.
//
// Per generation and slot i, with a, b, c distinct random slots (i allowed):
//   CR_i <- U[0, 1)        with probability 0.1, else the target's CR
//   F_i  <- U[0.1, 1.0)    with probability 0.1, else the target's F
//   trial_d = target_c,d + F_i (target_a,d - target_b,d)  for d = k (forced)
//             or when a fresh U < CR_i; otherwise target_i,d.
// A trial replaces its target when its cost is <= the target's.
//
// Every trial stays inside the box, as the particle swarm's positions do: a
// mutant coordinate that lands outside is reflected back from the end it
// crossed.  Left free, the decade coordinates of the runs wander off to
// degenerate corners (a resistance of 1e-12, a CPE of 1e129) and the runs
// end far from the optimum.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fit/random/xorshift.h"
#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/search/search_problem.h"
#include "support/expected.h"

namespace kelvora {

struct DifferentialEvolutionOptions {
  // Nothing to refuse.
  std::optional<FitError> validate() const { return std::nullopt; }

  // Cost evaluations per run (fit argument de_evaluations); 0 behaves as 1.
  std::uint32_t evaluations = 20000;
  // Keys the runs' generators (see de_run_generators); none keys each run
  // from OS entropy.
  std::optional<std::uint64_t> seed;
};

inline constexpr int kDeRuns = 10;
inline constexpr std::uint32_t kDePopulation = 100;

// A single-precision cost over single-precision positions.
using SearchCostF32 = std::function<float(std::span<const float>)>;

struct DeRunResult {
  std::optional<std::vector<float>> position;  // none when every cost was NaN
  std::uint64_t evaluations = 0;
};

// The box of one run in single precision.  Every coordinate has lower <
// upper (see unusable_box_coordinate with strict = true); `bounded[d]` keeps
// the trials' coordinate d inside [lower_d, upper_d], the others may leave it.
// A missing entry of `bounded` counts as false.
struct DeBox {
  std::vector<float> lower;
  std::vector<float> upper;
  std::vector<bool> bounded;
};

// One run over `box`.
DeRunResult differential_evolution_run(const SearchCostF32& cost, const DeBox& box, std::uint32_t evaluations,
                                       XorShift128& rng);

// The generators of the kDeRuns runs.  With a seed, run r takes keystream
// words 4r .. 4r + 3 of the ChaCha12 generator keyed from the seed (the one
// the other searches draw from) as its state words x, y, z, w; a quadruple of
// zeros, the one state xorshift128 cannot leave, is passed over for the next.
// So a seed repeats the whole search, and the runs draw from unrelated
// streams.  Without one, each run is keyed from OS entropy in run order.
std::vector<XorShift128> de_run_generators(std::optional<std::uint64_t> seed);

// Fits the circuit by run_search with ten runs inside pso_search_box(bounds, current
// values) in single precision, keyed by de_run_generators(options.seed),
// every trial kept in the box.  A box coordinate whose ends are not finite and ordered lower <
// upper in single precision cannot be sampled and fails with a Solver error
// naming the parameter.  The best run's point (re-costed in double) goes to
// polish_or_fallback with the total of the runs' evaluations,
// 10 * max(evaluations, 1).
FitExpected differential_evolution_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                       std::span<const Complex> impedances, Weighting weighting,
                                       const DifferentialEvolutionOptions& options,
                                       const ParamConstraints* constraints = nullptr);

// The "differential_evolution" entry of the fit method table.
FitExpected run_differential_evolution(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
