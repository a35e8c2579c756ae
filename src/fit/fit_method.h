#pragma once
// The fitting methods by name, as Circuit.fit dispatches them.
//
// A method branch receives the start circuit (whose current values are the
// start values), the spectrum, the weight scheme and the settings; it runs
// without the interpreter lock, so it must not touch Python objects.  Every
// branch first validates its inputs as validate_fit_inputs does, then its own
// options (the method's options struct and its validate()), before any
// generator is keyed or cost evaluated.  It ends in a FitOutcome, whose
// `ending` says why its solver stopped, or in a FitFailure.
#include <span>
#include <string_view>

#include "fit/fit_inputs.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"

namespace kelvora {

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
