// xorshift128 steps and its single-precision and index sampling rules.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fit/random/xorshift.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static void sequence_from_known_state() {
  // State (x, y, z, w) = (1, 2, 3, 4); the same sequence is derived by the
  // pure-Python reference in tests/test_global_rng.py.
  XorShift128 g({1, 2, 3, 4});
  const std::uint32_t expected[] = {0x80d, 0x181f, 0x4, 0x2020, 0x40004d, 0x8020ba};
  for (auto e : expected) CHECK(g.next_u32() == e);
}

static void unit_uses_low_23_bits() {
  XorShift128 g({1, 2, 3, 4});
  XorShift128 h({1, 2, 3, 4});
  for (int i = 0; i < 1000; ++i) {
    const float u = g.unit_f32();
    const std::uint32_t v = h.next_u32();
    CHECK(u == static_cast<float>(v & 0x7FFFFF) / 8388608.0f);
    CHECK(u >= 0.0f && u < 1.0f);
  }
}

static void index_rejects_above_zone() {
  // Build a state whose next output is 0xFFFFFFF0, above the zone for
  // m = 100 (4294967200): with w = 0 the output is t ^ (t >> 8) where
  // t = x ^ (x << 11); both maps are inverted by their xorshift series.
  const std::uint32_t zone = 4294967200u;
  const std::uint32_t target = 0xFFFFFFF0u;
  const std::uint32_t t = target ^ (target >> 8) ^ (target >> 16) ^ (target >> 24);
  const std::uint32_t x = t ^ (t << 11) ^ (t << 22);
  XorShift128 a({x, 1, 2, 0});
  XorShift128 b({x, 1, 2, 0});
  CHECK(b.next_u32() == target);
  const std::uint32_t accepted = b.next_u32();
  CHECK(accepted < zone);
  CHECK(a.index(100) == accepted % 100);
  CHECK(a.state() == b.state());
  // Ordinary outputs map through mod m, one draw each.
  XorShift128 c({5, 6, 7, 8});
  XorShift128 d({5, 6, 7, 8});
  for (int i = 0; i < 100; ++i) {
    std::uint32_t v;
    do v = d.next_u32(); while (v >= zone);
    CHECK(c.index(100) == v % 100);
  }
  // A single choice still consumes one draw.
  XorShift128 e({5, 6, 7, 8});
  XorShift128 f({5, 6, 7, 8});
  CHECK(e.index(1) == 0);
  f.next_u32();
  CHECK(e.state() == f.state());
}

static void range_in_single_precision() {
  XorShift128 g({9, 10, 11, 12});
  XorShift128 h({9, 10, 11, 12});
  for (int i = 0; i < 100; ++i) {
    const float u = h.unit_f32();
    CHECK(g.range_f32(-10.0f, -2.0f) == -10.0f + 8.0f * u);
  }
}

static void zero_state_is_never_used() {
  XorShift128 g({0, 0, 0, 0});
  const auto s = g.state();
  CHECK((s[0] | s[1] | s[2] | s[3]) != 0);
}

int main() {
  sequence_from_known_state();
  unit_uses_low_23_bits();
  index_rejects_above_zone();
  range_in_single_precision();
  zero_state_is_never_used();
  return test::finish();
}
