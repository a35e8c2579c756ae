#include "fit/fit_inputs.h"

#include "circuit/tree.h"

namespace kelvora {

std::optional<FitError> validate_fit_inputs(const SeriesList& circuit, std::span<const double> frequencies,
                                            std::span<const Complex> impedances) {
  if (frequencies.size() != impedances.size()) return FitError{FitError::Kind::LengthMismatch, {}};
  if (frequencies.empty()) return FitError{FitError::Kind::Empty, {}};
  if (param_count(circuit) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

}  // namespace kelvora
