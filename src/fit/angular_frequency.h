#pragma once
// Frequencies in hertz to angular frequencies, omega = 2 pi f.
#include <span>
#include <vector>

namespace kelvora {

// 2 pi as used throughout the module.
inline constexpr double kTwoPi = 6.283185307179586;

inline std::vector<double> angular_frequencies(std::span<const double> hertz) {
  std::vector<double> omega(hertz.size());
  for (std::size_t i = 0; i < hertz.size(); ++i) omega[i] = hertz[i] * kTwoPi;
  return omega;
}

}  // namespace kelvora
