#include "fit/random/chacha.h"

namespace kelvora {

namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

// RFC 8439 section 2.1: a += b; d ^= a; d <<<= 16; c += d; b ^= c; b <<<= 12;
//                       a += b; d ^= a; d <<<= 8;  c += d; b ^= c; b <<<= 7.
inline void quarter_round(ChaChaState& x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = rotl(x[b], 7);
}

}  // namespace

ChaChaState chacha_block(const ChaChaState& input, int rounds) {
  ChaChaState x = input;
  // Each double round is a column round followed by a diagonal round.
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

ChaCha12::ChaCha12(const std::array<std::uint32_t, 8>& key) {
  // "expand 32-byte k" as four little-endian words.
  input_[0] = 0x61707865u;
  input_[1] = 0x3320646eu;
  input_[2] = 0x79622d32u;
  input_[3] = 0x6b206574u;
  for (std::size_t j = 0; j < 8; ++j) input_[4 + j] = key[j];
  // Counter (words 12, 13) and nonce (words 14, 15) start at zero.
}

void ChaCha12::refill() {
  block_ = chacha_block(input_, kRounds);
  // 64-bit block counter: carry from word 12 into word 13.
  if (++input_[12] == 0) ++input_[13];
  index_ = 0;
}

std::uint32_t ChaCha12::next_u32() {
  if (index_ >= 16) refill();
  ++words_used_;
  return block_[index_++];
}

std::uint64_t ChaCha12::next_u64() {
  const std::uint64_t lo = next_u32();
  const std::uint64_t hi = next_u32();
  return (hi << 32) | lo;
}

}  // namespace kelvora
