#pragma once
// The ending of the Nelder-Mead, particle swarm, simulated annealing and
// differential evolution searches: refine the search's best point with
// Levenberg-Marquardt and keep whichever result is better.
#include <cstdint>
#include <span>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/evaluation_counter.h"
#include "fit/fit_outcome.h"
#include "fit/weighting.h"
#include "support/complex.h"

namespace kelvora {

// x_best: the search's best point, in parameter values; iterations: the
// search's own count; omega, weights and counter: the search's.
// The polished outcome (a fresh fit with ftol = xtol = gtol = 1e-8 and
// patience 200, its own candidates and counter) wins when its cost is finite
// and at most the search's; otherwise the search's outcome stands with
// success = true.  Either way impedance_evals is the search's counter after
// adding every polishing evaluation to it.
FitExpected polish_or_fallback(const SeriesList& circuit, std::span<const double> x_best, std::uint64_t iterations,
                               std::span<const double> frequencies, std::span<const Complex> impedances,
                               Weighting weighting, std::span<const double> omega, std::span<const double> weights,
                               EvaluationCounter& counter, const ParamConstraints* constraints = nullptr);

}  // namespace kelvora
