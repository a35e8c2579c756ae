#pragma once
// Equality and hashing of circuit values: same kinds, labels and topology,
// and parameter values equal bit for bit (so a NaN equals a NaN of the same
// payload, and 0.0 differs from -0.0).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "circuit/node.h"
#include "support/complex.h"

namespace kelvora {

inline std::uint64_t double_bits(double x) {
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}
inline bool same_bits(double a, double b) { return double_bits(a) == double_bits(b); }
inline bool same_bits(Complex a, Complex b) { return same_bits(a.re, b.re) && same_bits(a.im, b.im); }
// Same length and every entry the same bits.
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const T& x, const T& y) { return same_bits(x, y); });
}

// Mixes `value` into the running hash `seed`.
inline std::size_t hash_mix(std::size_t seed, std::uint64_t value) {
  value ^= value >> 33;
  value *= 0xff51afd7ed558ccdULL;
  value ^= value >> 33;
  return seed ^ (static_cast<std::size_t>(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

bool same_element(const Element& a, const Element& b);
std::size_t hash_element(const Element& e);
bool same_nodes(const SeriesList& a, const SeriesList& b);
std::size_t hash_nodes(const SeriesList& nodes);

}  // namespace kelvora
