// rand_from_range and the unit-interval conversions: which draws are
// consumed, and in which order.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fit/random/range.h"
#include "fit/random/seed.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static void unit_conversions() {
  CHECK(unit_from_bits52(0) == 0.0);
  CHECK(unit_from_bits53(0) == 0.0);
  // The largest draw stays below 1.
  CHECK(unit_from_bits52(~std::uint64_t{0}) == 1.0 - 0x1p-52);
  CHECK(unit_from_bits53(~std::uint64_t{0}) == 1.0 - 0x1p-53);
  // The low 12 (resp. 11) bits are discarded.
  CHECK(unit_from_bits52(0xFFF) == 0.0);
  CHECK(unit_from_bits52(0x1000) == 0x1p-52);
  CHECK(unit_from_bits53(0x7FF) == 0.0);
  CHECK(unit_from_bits53(0x800) == 0x1p-53);
}

static void equal_ends_consume_nothing() {
  ChaCha12 rng = make_chacha12(42);
  CHECK(rand_from_range(rng, 3.5, 3.5) == 3.5);
  CHECK(rand_from_range(rng, 0.0, -0.0) == 0.0);  // 0 == -0: equal, no draw
  CHECK(rng.words_used() == 0);
  // The next real draw is still the stream's first 64-bit value.
  const std::uint64_t v = 0x86cc7763222724a2ull;  // seed 42, words 0 and 1
  CHECK(rand_from_range(rng, 0.0, 1.0) == unit_from_bits52(v));
  CHECK(rng.words_used() == 2);
}

static void ends_in_either_order() {
  ChaCha12 a = make_chacha12(7);
  ChaCha12 b = make_chacha12(7);
  ChaCha12 c = make_chacha12(7);
  for (int i = 0; i < 50; ++i) {
    const double u = unit_from_bits52(c.next_u64());
    const double x = rand_from_range(a, -2.0, 5.0);
    const double y = rand_from_range(b, 5.0, -2.0);
    CHECK(x == -2.0 + 7.0 * u);
    CHECK(x == y);
    CHECK(x >= -2.0 && x < 5.0);
  }
  CHECK(a.words_used() == 100);
}

static void seeded_streams_repeat() {
  ChaCha12 a = make_chacha12(123);
  ChaCha12 b = make_chacha12(123);
  ChaCha12 c = make_chacha12(124);
  bool differs = false;
  for (int i = 0; i < 40; ++i) {
    const std::uint64_t va = a.next_u64();
    CHECK(va == b.next_u64());
    differs = differs || va != c.next_u64();
  }
  CHECK(differs);
}

int main() {
  unit_conversions();
  equal_ends_consume_nothing();
  ends_in_either_order();
  seeded_streams_repeat();
  return test::finish();
}
