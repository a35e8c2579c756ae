#pragma once
// The fitting methods by name, as Circuit.fit dispatches them.
//
// A method branch receives the start circuit (whose current values are the
// start values), the spectrum, the weight scheme and the settings; it runs
// without the interpreter lock, so it must not touch Python objects.  Every
// branch first validates its inputs as validate_fit_inputs does.
#include <span>
#include <string_view>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/weighting.h"
#include "support/complex.h"

namespace kelvora {

struct FitInputs {
  const SeriesList& circuit;
  std::span<const double> frequencies;  // hertz
  std::span<const Complex> impedances;
  Weighting weighting;
  // Bounds and fixed set; null for the physical bounds with nothing fixed.
  const ParamConstraints* constraints = nullptr;
};

using FitMethodFn = FitExpected (*)(const FitInputs& inputs, const FitSettings& settings);

struct FitMethod {
  std::string_view name;  // exact, case-sensitive
  FitMethodFn run;
};

// The registered methods, in the order they were added (the order the
// unknown-method message lists them in).
std::span<const FitMethod> fit_methods();

// Runs the method called `name`; FitError UnknownMethod carrying the name
// when there is none.
FitExpected run_fit_method(std::string_view name, const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
