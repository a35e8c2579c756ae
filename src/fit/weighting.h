#pragma once
// The weight scheme of a fit and the per-point weights it produces.
//
// Residuals are divided by the weight of their point: with Modulus each point
// counts relative to its own impedance magnitude, so a spectrum spanning
// decades of |Z| is fitted evenly; with Unit the residuals are the plain
// differences in ohms.
#include <span>
#include <string_view>
#include <vector>

#include "fit/fit_error.h"
#include "support/complex.h"
#include "support/expected.h"

namespace kelvora {

enum class Weighting {
  Modulus,  // w_i = max(|Z_i|, 1e-30), "modulus"
  Unit,     // w_i = 1, "unit"
};

// Exact, case-sensitive.  FitError UnknownWeighting otherwise, whose message
// reads: unknown weight scheme "Modulus", expected "modulus" or "unit"
Expected<Weighting, FitError> parse_weighting(std::string_view text);

// One weight per impedance.  A NaN modulus gives the floor 1e-30.
std::vector<double> compute_weights(std::span<const Complex> impedances, Weighting weighting);

}  // namespace kelvora
