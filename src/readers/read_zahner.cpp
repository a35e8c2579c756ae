// Zahner Thales .ism (big-endian).  Bytes 0-5 hold a marker
// (00 00 FF FF FF FE in every file seen), bytes 6-11 the number of samples
// minus one as a signed 48-bit integer; then five arrays of N samples:
// frequency (float64, Hz), |Z| (float64, ohm), phase (float64, radians),
// time (float64, s since 1980-01-01) and significance (int16).  Metadata
// follow and are not needed.  Thales starts in the middle of the range and
// sweeps out and back, so early samples repeat frequencies measured later;
// every sample is kept, in file order.
#include <cmath>

#include "readers/bytes.h"
#include "readers/readers.h"

namespace kelvora::readers {
namespace {
constexpr std::size_t kHeader = 12;
constexpr std::size_t kBytesPerSample = 4 * 8 + 2;
}  // namespace

bool zahner_marker(std::string_view bytes) {
  return bytes.size() >= 6 && bytes.substr(0, 6) == std::string_view("\x00\x00\xFF\xFF\xFF\xFE", 6);
}

ReadResult read_zahner(std::string_view bytes) {
  if (bytes.size() < kHeader)
    return fail_at_offset(bytes.size(), "expected a 12-byte Zahner .ism header, found " + std::to_string(bytes.size()) +
                                            " bytes");
  std::uint64_t raw = load_be(bytes, 6, 6);
  if (raw & (std::uint64_t{1} << 47)) raw |= ~std::uint64_t{0} << 48;  // sign-extend
  const auto last = static_cast<std::int64_t>(raw);
  const std::size_t available = (bytes.size() - kHeader) / kBytesPerSample;
  if (last < 0 || static_cast<std::uint64_t>(last) >= available)
    return fail_at_offset(6, "expected a sample count that fits the file (at most " + std::to_string(available) +
                                 " samples of 34 bytes), found " + std::to_string(last + 1));
  const std::size_t n = static_cast<std::size_t>(last) + 1;
  SpectrumRecord s;
  s.label = "ism";
  s.frequency.resize(n);
  s.real.resize(n);
  s.imag.resize(n);
  s.time.resize(n);
  const char* names[4] = {"frequency", "|Z|", "phase", "time"};
  for (std::size_t i = 0; i < n; ++i) {
    double v[4];
    for (std::size_t a = 0; a < 4; ++a) {
      const std::size_t at = kHeader + (a * n + i) * 8;
      v[a] = as_double(load_be(bytes, at, 8));
      if (!std::isfinite(v[a]) || (a == 0 && !(v[a] > 0.0)) || (a == 1 && v[a] < 0.0))
        return fail_at_offset(at, std::string("expected a ") + (a == 0 ? "positive " : a == 1 ? "non-negative " : "finite ") +
                                      names[a] + " for sample " + std::to_string(i) + ", found " +
                                      (std::isfinite(v[a]) ? std::to_string(v[a]) : std::string("a non-finite value")));
    }
    s.frequency[i] = v[0];
    s.real[i] = v[1] * std::cos(v[2]);
    s.imag[i] = v[1] * std::sin(v[2]);
    s.time[i] = v[3];
  }
  std::vector<SpectrumRecord> out;
  out.push_back(std::move(s));
  return out;
}

}  // namespace kelvora::readers
