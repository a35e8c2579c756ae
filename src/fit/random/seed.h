#pragma once
// Keying the random generators: from a user's 64-bit seed or from the
// operating system's entropy source.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fit/random/chacha.h"

namespace kelvora {

// 32-byte key from a 64-bit seed by PCG32 expansion (M. E. O'Neill, "PCG: A
// family of simple fast space-efficient statistically good algorithms for
// random number generation", 2014; the XSH-RR output), eight times in a row:
//   state <- state * 6364136223846793005 + 11634580027462260723  (mod 2^64)
//   x     <- rotr32(uint32(((state >> 18) ^ state) >> 27), state >> 59)
// and each x appended as four little-endian bytes, i.e. key word j = x_j.
// The state starts at the seed itself.
std::array<std::uint32_t, 8> pcg32_key_expansion(std::uint64_t seed);

// Fills `out` with bytes from the operating system's entropy source.
void os_entropy(void* out, std::size_t size);

// ChaCha12 keyed from `seed` when given, otherwise from OS entropy.
ChaCha12 make_chacha12(std::optional<std::uint64_t> seed);

}  // namespace kelvora
