// Fuzz target: potentiostat file readers.  Every input is read with format
// detection and then by each reader in turn.  A reader must return either
// sweeps whose arrays agree in length and hold finite numbers, or an error
// whose description is not empty; it must never read outside the buffer
// (the sanitizers watch for that).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "readers/readers.h"

namespace {

void check(const kelvora::readers::ReadResult& result) {
  using namespace kelvora::readers;
  if (!result) {
    if (describe(result.error(), "fuzz").empty() || result.error().expected.empty()) __builtin_trap();
    return;
  }
  if (result->empty()) __builtin_trap();
  for (const SpectrumRecord& s : *result) {
    const std::size_t n = s.frequency.size();
    if (n == 0 || s.real.size() != n || s.imag.size() != n) __builtin_trap();
    if (!s.time.empty() && s.time.size() != n) __builtin_trap();
    if (!s.cycle.empty() && s.cycle.size() != n) __builtin_trap();
    for (std::size_t i = 0; i < n; ++i)
      if (!std::isfinite(s.frequency[i]) || !std::isfinite(s.real[i]) || !std::isfinite(s.imag[i])) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvora::readers;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check(read_spectra(bytes, std::nullopt, ""));
  check(read_spectra(bytes, std::nullopt, ".ism"));
  for (int f = 0; f < kFormatCount; ++f) {
    const auto format = static_cast<Format>(f);
    if (format_from_name(format_name(format)) != format) __builtin_trap();
    check(read_spectra(bytes, format, ""));
  }
  return 0;
}
