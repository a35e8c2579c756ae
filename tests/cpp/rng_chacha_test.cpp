// ChaCha block function, ChaCha12 keystream and PCG32 key expansion.
//
// The 20-round block is checked against the RFC 8439 section 2.3.2 test
// vector.  The 12-round keystream words and the PCG32 keys below were derived
// by an independent pure-Python implementation, which tests/test_global_rng.py
// carries and checks against the same numbers.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fit/random/chacha.h"
#include "fit/random/seed.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static void rfc8439_block_function() {
  // Key 00 01 .. 1f, nonce 00 00 00 09 00 00 00 4a 00 00 00 00, counter 1.
  ChaChaState in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int j = 0; j < 8; ++j) {
    const std::uint32_t b = 4 * j;
    in[4 + j] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
  }
  in[12] = 1;
  in[13] = 0x09000000;
  in[14] = 0x4a000000;
  in[15] = 0;
  const ChaChaState expected{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                             0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                             0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  CHECK(chacha_block(in, 20) == expected);
}

struct SeedCase {
  std::uint64_t seed;
  std::array<std::uint32_t, 8> key;
  std::array<std::uint32_t, 4> first;     // keystream words 0..3
  std::array<std::uint32_t, 3> boundary;  // words 15..17, across the first block boundary
};

static const SeedCase kCases[] = {
    {0,
     {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7},
     {0xcd2c6f7f, 0xbb2a3fb2, 0x8e27697b, 0xc6017c94},
     {0xcb30ce1a, 0x9e0d7fac, 0xbfd4a4ae}},
    {42,
     {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418, 0xa16e448d, 0xf220dfe4},
     {0x222724a2, 0x86cc7763, 0x3fad517d, 0x8af00a13},
     {0xd9688d9b, 0xa11c835e, 0x219b7e47}},
    {0xFFFFFFFFFFFFFFFFull,
     {0xe392472f, 0x102810d6, 0x952d5435, 0x435ef92c, 0x7b34e99a, 0x37c5dd03, 0xb0c77a63, 0x3e612043},
     {0x2e3d5fb8, 0x0fa79848, 0x4112469e, 0x0a3370b4},
     {0x24e1c7c7, 0x8be6847c, 0x5ca54de6}},
};

static void pcg32_keys_and_chacha12_stream() {
  for (const auto& c : kCases) {
    CHECK(pcg32_key_expansion(c.seed) == c.key);
    ChaCha12 rng(c.key);
    for (auto w : c.first) CHECK(rng.next_u32() == w);
    ChaCha12 again = make_chacha12(c.seed);
    // A 64-bit draw is two consecutive words, low half first.
    CHECK(again.next_u64() == (std::uint64_t{c.first[1]} << 32 | c.first[0]));
    CHECK(again.next_u64() == (std::uint64_t{c.first[3]} << 32 | c.first[2]));
    for (int i = 4; i < 15; ++i) again.next_u32();
    CHECK(again.next_u32() == c.boundary[0]);
    // A 64-bit draw that straddles the block boundary still takes consecutive words.
    CHECK(again.next_u64() == (std::uint64_t{c.boundary[2]} << 32 | c.boundary[1]));
    CHECK(again.words_used() == 18);
  }
}

static void entropy_keys_differ() {
  ChaCha12 a = make_chacha12(std::nullopt);
  ChaCha12 b = make_chacha12(std::nullopt);
  // Equal 128-bit prefixes from two entropy keys would mean the source is not used.
  bool same = true;
  for (int i = 0; i < 4; ++i) same = same && a.next_u32() == b.next_u32();
  CHECK(!same);
}

int main() {
  rfc8439_block_function();
  pcg32_keys_and_chacha12_stream();
  entropy_keys_differ();
  return test::finish();
}
