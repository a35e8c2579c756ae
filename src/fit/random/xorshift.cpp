#include "fit/random/xorshift.h"

#include "fit/random/seed.h"

namespace kelvora {

XorShift128::XorShift128(const std::array<std::uint32_t, 4>& state)
    : x_(state[0]), y_(state[1]), z_(state[2]), w_(state[3]) {
  if ((x_ | y_ | z_ | w_) == 0) *this = from_entropy();
}

XorShift128 XorShift128::from_entropy() {
  std::array<std::uint32_t, 4> s{};
  do {
    os_entropy(s.data(), sizeof s);
  } while ((s[0] | s[1] | s[2] | s[3]) == 0);
  return XorShift128(s);
}

std::uint32_t XorShift128::next_u32() {
  const std::uint32_t t = x_ ^ (x_ << 11);
  x_ = y_;
  y_ = z_;
  z_ = w_;
  w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
  return w_;
}

float XorShift128::unit_f32() {
  constexpr float kScale = 1.0f / 8388608.0f;  // 2^-23
  return static_cast<float>(next_u32() & 0x7FFFFFu) * kScale;
}

float XorShift128::range_f32(float lo, float hi) {
  const float u = unit_f32();
  return lo + (hi - lo) * u;
}

std::uint32_t XorShift128::index(std::uint32_t m) {
  if (m == 0) return 0;  // no valid index; callers never ask for one
  constexpr std::uint32_t kMax = 0xFFFFFFFFu;
  const std::uint32_t zone = kMax - (kMax % m);
  std::uint32_t v;
  do {
    v = next_u32();
  } while (v >= zone);
  return v % m;
}

}  // namespace kelvora
