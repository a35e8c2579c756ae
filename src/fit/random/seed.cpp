#include "fit/random/seed.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

namespace kelvora {

std::array<std::uint32_t, 8> pcg32_key_expansion(std::uint64_t seed) {
  constexpr std::uint64_t kMul = 6364136223846793005ull;
  constexpr std::uint64_t kInc = 11634580027462260723ull;
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<unsigned>(state >> 59);
    word = (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
  }
  return key;
}

void os_entropy(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  // getentropy() hands out at most 256 bytes per call and does not block once
  // the system pool is initialised.
  while (done < size) {
    const std::size_t chunk = size - done < 256 ? size - done : 256;
    if (getentropy(bytes + done, chunk) != 0) break;
    done += chunk;
  }
  if (done == size) return;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    done += std::fread(bytes + done, 1, size - done, f);
    std::fclose(f);
  }
  if (done == size) return;
  // Last resort: the standard library's non-deterministic source.
  std::random_device device;
  while (done < size) {
    const unsigned int v = device();
    const std::size_t chunk = size - done < sizeof v ? size - done : sizeof v;
    std::memcpy(bytes + done, &v, chunk);
    done += chunk;
  }
}

ChaCha12 make_chacha12(std::optional<std::uint64_t> seed) {
  if (seed) return ChaCha12(pcg32_key_expansion(*seed));
  std::array<unsigned char, 32> bytes{};
  os_entropy(bytes.data(), bytes.size());
  std::array<std::uint32_t, 8> key{};
  for (std::size_t j = 0; j < 8; ++j) {
    key[j] = static_cast<std::uint32_t>(bytes[4 * j]) | static_cast<std::uint32_t>(bytes[4 * j + 1]) << 8 |
             static_cast<std::uint32_t>(bytes[4 * j + 2]) << 16 | static_cast<std::uint32_t>(bytes[4 * j + 3]) << 24;
  }
  return ChaCha12(key);
}

}  // namespace kelvora
