// Fuzz target: weight blobs.  Decoding must fail with an error value or
// succeed; a decoded network must run on a small spectrum without reading
// out of range, whatever its metadata and tensor shapes claim.
#include <cstddef>
#include <cstdint>
#include <span>

#include "nn/guesser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvora;
  auto loaded = nn::Guesser::from_bytes(std::span<const std::uint8_t>(data, size));
  if (!loaded) {
    (void)loaded.error().message();
    return 0;
  }
  const double f[] = {1e-2, 1.0, 1e2, 1e4, 1e5};
  const Complex z[] = {{120.0, -80.0}, {60.0, -30.0}, {20.0, -12.0}, {10.0, -1.0}, {9.0, 0.5}};
  (void)loaded.value().predict(f, z);
  return 0;
}
