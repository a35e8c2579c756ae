#pragma once
// Marsaglia's xorshift128 generator (G. Marsaglia, "Xorshift RNGs", Journal
// of Statistical Software 8(14), 2003), with the single-precision sampling
// rules the differential evolution search draws by.
#include <array>
#include <cstdint>

namespace kelvora {

class XorShift128 {
 public:
  // State words x, y, z, w; must not all be zero (the all-zero state is a
  // fixed point).  An all-zero state is replaced by the entropy-keyed one.
  explicit XorShift128(const std::array<std::uint32_t, 4>& state);

  // Keyed from the operating system's entropy source, redrawn while all zero.
  static XorShift128 from_entropy();

  // t = x ^ (x << 11); x <- y; y <- z; z <- w; w <- w ^ (w >> 19) ^ t ^ (t >> 8);
  // the output is the new w.
  std::uint32_t next_u32();

  // (output & 0x7FFFFF) / 2^23: the low 23 bits as the mantissa of a float in
  // [1, 2), minus 1.  In [0, 1), exact in single precision.
  float unit_f32();

  // lo + (hi - lo) * u in single precision, u = unit_f32().
  float range_f32(float lo, float hi);

  // Uniform index in [0, m) by rejection: with
  // zone = (2^32 - 1) - ((2^32 - 1) mod m), outputs are drawn until one is
  // below zone and the index is that output mod m.  m = 1 still consumes one
  // draw; m = 0 (no valid index) returns 0 without drawing.
  std::uint32_t index(std::uint32_t m);

  std::array<std::uint32_t, 4> state() const { return {x_, y_, z_, w_}; }

 private:
  std::uint32_t x_, y_, z_, w_;
};

}  // namespace kelvora
