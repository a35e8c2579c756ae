#include "fit/weighting.h"

#include <cmath>


namespace kelvora {

Expected<Weighting, FitError> parse_weighting(std::string_view text) {
  if (text == "unit") return Weighting::Unit;
  if (text == "modulus") return Weighting::Modulus;
  return unexpected(FitError{FitError::Kind::UnknownWeighting, std::string(text)});
}

std::vector<double> compute_weights(std::span<const Complex> impedances, Weighting weighting) {
  std::vector<double> w(impedances.size(), 1.0);
  if (weighting == Weighting::Modulus) {
    // fmax returns the other operand when one is NaN, which gives the floor.
    for (std::size_t i = 0; i < impedances.size(); ++i)
      w[i] = std::fmax(std::hypot(impedances[i].re, impedances[i].im), 1e-30);
  }
  return w;
}

}  // namespace kelvora
