#pragma once
// Multi-start: Levenberg–Marquardt from the start values, then from
// structured restarts of the best minimum found (restart_moves.h) and from a
// few random perturbations of it, keeping the lowest minimum.  It spends more
// evaluations than a single Levenberg–Marquardt fit to find the best basin
// when the start lies in a neighbouring one: arcs fitted in swapped order,
// an exponent or a capacitance stuck decades away, a diffusion tail taken
// for an arc.
//
// A round starts from the best minimum b so far:
//   1. every structured move of b, each parameter then clamped into its
//      bounds (an open parameter to at least its lower bound), fixed
//      parameters kept at their start values;
//   2. `random_restarts` perturbations of b, every free search coordinate
//      shifted by 2 u - 1 decades or units (u = unit_from_bits52(draw)),
//      in parameter order;
// each point finished by levenberg_marquardt_fit with the method's
// settings.  A minimum replaces b when its cost is finite and below
// (1 - 1e-9) times b's.  Rounds repeat while a round improved b, at most
// `rounds` times.
//
// The outcome is that of the run that found b, with iterations and
// impedance_evals summed over every run.  Nothing else is random, so a
// seeded fit repeats exactly.
#include <cstdint>
#include <optional>

#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/minpack/lm_settings.h"

namespace kelvora {

struct MultiStartOptions {
  LmSettings local;                 // every Levenberg–Marquardt run
  std::uint32_t rounds = 3;         // at most this many rounds of restarts
  std::uint32_t random_restarts = 4;  // per round
  std::optional<std::uint64_t> seed;  // of the ChaCha12 generator; none keys it from OS entropy
};

FitExpected multi_start_fit(const FitInputs& inputs, const MultiStartOptions& options);

// The "multi_start" entry of the fit method table.
FitExpected run_multi_start(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
