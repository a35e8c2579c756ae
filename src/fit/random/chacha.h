#pragma once
// The ChaCha stream cipher used as a random-number generator.
//
// Block function after D. J. Bernstein, "ChaCha, a variant of Salsa20" (2008),
// as written out in RFC 8439 section 2.3.  The global searches use 12 rounds
// (ChaCha12) with the original 64-bit block counter and 64-bit nonce layout:
//
//   words 0..3   "expand 32-byte k"
//   words 4..11  the 256-bit key, little-endian
//   words 12,13  block counter, low half first (starts at 0)
//   words 14,15  nonce, always 0 here
//
// The keystream is consumed as 32-bit words, block after block.  A 64-bit
// draw is two consecutive words, the first one as the low half, regardless of
// where the block boundary falls.
#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvora {

using ChaChaState = std::array<std::uint32_t, 16>;

// One block: `rounds` rounds (an even number; 20 for RFC 8439, 12 here) over
// `input`, then the input added word by word.
ChaChaState chacha_block(const ChaChaState& input, int rounds);

class ChaCha12 {
 public:
  static constexpr int kRounds = 12;

  // key[j] is the little-endian word formed by key bytes 4j..4j+3.
  explicit ChaCha12(const std::array<std::uint32_t, 8>& key);

  std::uint32_t next_u32();
  // Two consecutive words: low half first.
  std::uint64_t next_u64();

  // Keystream words handed out so far (for tests and draw accounting).
  std::uint64_t words_used() const { return words_used_; }

 private:
  void refill();

  ChaChaState input_{};
  ChaChaState block_{};
  std::size_t index_ = 16;  // next unread word of block_; 16 = empty
  std::uint64_t words_used_ = 0;
};

}  // namespace kelvora
