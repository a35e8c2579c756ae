#include "nn/encoding.h"

#include <bit>
#include <cmath>
#include <limits>

namespace kelvora::nn {

namespace {

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

double decode_binary16(std::uint16_t bits) {
  const bool negative = (bits & 0x8000u) != 0;
  const int exponent = (bits >> 10) & 0x1f;
  const int mantissa = bits & 0x3ff;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(static_cast<double>(mantissa), -24);  // subnormal (or zero)
  } else if (exponent == 31) {
    magnitude = mantissa == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else {
    magnitude = std::ldexp(1.0 + mantissa / 1024.0, exponent - 15);
  }
  return negative ? -magnitude : magnitude;
}

double decode_binary32(std::uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

std::optional<std::size_t> encoded_size(std::uint8_t encoding, std::uint64_t n) {
  constexpr std::uint64_t max = std::numeric_limits<std::size_t>::max();
  switch (encoding) {
    case 0:
      if (n > max / 4) return std::nullopt;
      return static_cast<std::size_t>(4 * n);
    case 1:
      if (n > max / 2) return std::nullopt;
      return static_cast<std::size_t>(2 * n);
    case 2:
      if (n > max - 4) return std::nullopt;
      return static_cast<std::size_t>(4 + n);
    default:
      return std::nullopt;
  }
}

std::vector<double> decode_values(std::uint8_t encoding, std::span<const std::uint8_t> data, std::size_t n) {
  std::vector<double> out(n);
  const std::uint8_t* p = data.data();
  switch (encoding) {
    case 0:
      for (std::size_t i = 0; i < n; ++i) out[i] = decode_binary32(le32(p + 4 * i));
      break;
    case 1:
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = decode_binary16(static_cast<std::uint16_t>(p[2 * i] | p[2 * i + 1] << 8));
      }
      break;
    case 2: {
      const double scale = decode_binary32(le32(p));
      for (std::size_t i = 0; i < n; ++i) out[i] = scale * static_cast<double>(static_cast<std::int8_t>(p[4 + i]));
      break;
    }
    default:
      break;
  }
  return out;
}

}  // namespace kelvora::nn
