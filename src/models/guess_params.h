#pragma once
// The guess pipeline: machine-learning starting values for a circuit.
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.h"
#include "support/complex.h"
#include "support/expected.h"

namespace kelvora {

// One value per parameter of `nodes`, in param_names() order, from the
// registry network for the circuit's topology or from the weight file at
// `weights_path`.  The error is the exact text raised as ValueError.
// Runs on the calling thread; the caller holds the interpreter lock.
Expected<std::vector<double>, std::string> guess_params(const SeriesList& nodes, const std::vector<double>& freqs,
                                                        const std::vector<Complex>& z,
                                                        const std::optional<std::string>& weights_path);

}  // namespace kelvora
