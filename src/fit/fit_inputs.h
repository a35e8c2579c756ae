#pragma once
// What every fitting method is given besides its settings, and the checks
// every method makes on it first.
#include <optional>
#include <span>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/fit_error.h"
#include "fit/weighting.h"
#include "support/complex.h"

namespace kelvora {

// The start circuit (its current values are the start values), the spectrum
// and the weight scheme.  Borrowed: the caller keeps them alive.
struct FitInputs {
  const SeriesList& circuit;
  std::span<const double> frequencies;  // hertz
  std::span<const Complex> impedances;
  Weighting weighting;
  // Bounds and fixed set; null for the physical bounds with nothing fixed.
  const ParamConstraints* constraints = nullptr;
};

// In this order: LengthMismatch, Empty, NoParameters.
std::optional<FitError> validate_fit_inputs(const SeriesList& circuit, std::span<const double> frequencies,
                                            std::span<const Complex> impedances);

}  // namespace kelvora
