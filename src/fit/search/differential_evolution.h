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
};

inline constexpr int kDeRuns = 10;
inline constexpr std::uint32_t kDePopulation = 100;

// A single-precision cost over single-precision positions.
using SearchCostF32 = std::function<float(std::span<const float>)>;

struct DeRunResult {
  std::optional<std::vector<float>> position;  // none when every cost was NaN
  std::uint64_t evaluations = 0;
};

// One run over a box whose every coordinate has lower < upper in single
// precision (see unusable_box_coordinate with strict = true).
DeRunResult differential_evolution_run(const SearchCostF32& cost, const std::vector<float>& lower,
                                       const std::vector<float>& upper, std::uint32_t evaluations,
                                       XorShift128& rng);

// Fits the circuit by run_search with ten runs inside pso_search_box(bounds,
// current values) in single precision, each run keyed from OS entropy (there is no
// seed).  A box coordinate whose ends are not finite and ordered lower <
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
