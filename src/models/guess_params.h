#pragma once
// The guess pipeline: machine-learning starting values for a circuit.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "support/complex.h"
#include "support/expected.h"
#include "support/internal_error.h"

namespace kelvora {

// One value per parameter of `nodes`, in param_names() order, from the
// registry network for the circuit's topology or from the weight file at
// `weights_path`.  The error is the exact text raised as ValueError.
// Touches no Python object.
Expected<std::vector<double>, std::string> guess_params(const SeriesList& nodes, const std::vector<double>& freqs,
                                                        const std::vector<Complex>& z,
                                                        const std::optional<std::string>& weights_path);

// Why a guessed start could not be made: guess_params' text (raised as
// ValueError) or a broken invariant.
using GuessFailure = std::variant<std::string, InternalError>;

// The start circuit of a fit that guesses: `nodes` rebuilt with the values of
// guess_params, except that fixed parameters keep their own values.  Touches
// no Python object; safe to call from several threads at once (the registry
// and the weight-file cache have their own locks).
Expected<SeriesList, GuessFailure> guessed_start(const SeriesList& nodes, const ParamConstraints& constraints,
                                                 const std::vector<double>& freqs, const std::vector<Complex>& z,
                                                 const std::optional<std::string>& weights_path);

}  // namespace kelvora
