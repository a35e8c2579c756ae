#pragma once
// Turning 64-bit draws into uniform doubles.
#include <cstdint>

#include "fit/random/chacha.h"

namespace kelvora {

// (v >> 12) / 2^52: the top 52 bits as a fraction, in [0, 1).
inline double unit_from_bits52(std::uint64_t v) {
  return static_cast<double>(v >> 12) * 0x1p-52;
}

// (v >> 11) * 2^-53: the top 53 bits as a fraction, in [0, 1).
inline double unit_from_bits53(std::uint64_t v) {
  return static_cast<double>(v >> 11) * 0x1p-53;
}

// Uniform draw between a and b.  When a == b exactly the result is a and no
// random number is consumed (the searches' random streams depend on this).
// Otherwise lo = min(a, b), hi = max(a, b), one 64-bit draw v, and the
// result is lo + (hi - lo) * unit_from_bits52(v), in [lo, hi) up to rounding.
inline double rand_from_range(ChaCha12& rng, double a, double b) {
  if (a == b) return a;
  const double lo = a < b ? a : b;
  const double hi = a < b ? b : a;
  const double u = unit_from_bits52(rng.next_u64());
  return lo + (hi - lo) * u;
}

}  // namespace kelvora
