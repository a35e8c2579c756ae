#pragma once
// The default fitting method: multi-start, bound-aware Levenberg-Marquardt.
//
// 1. Nine starting points from the circuit's values and bounds, tried
//    cheapest first until one run ends cleanly (succeeded, clear of the
//    bounds, not drifted a millionfold from the start).
// 2. The best run (a success beats a failure, then the lower cost) is
//    clamped into the bounds; bounded parameters that sat on or beyond a
//    bound are pinned there and the rest refitted once; a successful
//    re-fit with a strictly lower cost than the clamped values replaces them.
// 3. build_outcome computes the statistics at the final values; the outcome's
//    ending is the solver's ending of the run whose values are reported.
// With constraints, their bounds replace the physical ones and the fixed
// parameters are pinned at their start values throughout.
// Open parameters are searched in decades (coordinate_mapping.h).  Nothing
// is random: equal inputs give equal results.
#include <span>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/fit_inputs.h"
#include "fit/fit_outcome.h"
#include "fit/minpack/lm_settings.h"
#include "fit/weighting.h"
#include "support/complex.h"

namespace kelvora {

// Starts from param_values(circuit).  FitError LengthMismatch, Empty or
// NoParameters (checked in that order), then settings.validate()'s
// InternalError for a tolerance with its sign bit set, all before any
// evaluation.
FitExpected levenberg_marquardt_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings, const ParamConstraints* constraints = nullptr);

}  // namespace kelvora
