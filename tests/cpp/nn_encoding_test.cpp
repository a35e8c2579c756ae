// Tensor encodings and metadata number syntax of the weight format.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "check.h"
#include "nn/encoding.h"
#include "nn/metadata.h"

using namespace kelvora::nn;

namespace {

using test::check;

// Independent binary16 -> binary32 conversion by re-biasing the bit fields
// (subnormals normalised by shifting), widened to double.
double half_via_float(std::uint16_t h) {
  std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000) << 16;
  std::uint32_t exp = (h >> 10) & 0x1f;
  std::uint32_t man = h & 0x3ff;
  std::uint32_t bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (man << 13);
  } else if (exp == 0) {
    if (man == 0) {
      bits = sign;
    } else {
      int e = -1;
      do {
        ++e;
        man <<= 1;
      } while ((man & 0x400) == 0);
      bits = sign | static_cast<std::uint32_t>(127 - 15 - e) << 23 | ((man & 0x3ff) << 13);
    }
  } else {
    bits = sign | (exp + 127 - 15) << 23 | (man << 13);
  }
  return static_cast<double>(std::bit_cast<float>(bits));
}

}  // namespace

int main() {
  // Every binary16 pattern.
  for (std::uint32_t h = 0; h <= 0xffff; ++h) {
    const double a = decode_binary16(static_cast<std::uint16_t>(h));
    const double b = half_via_float(static_cast<std::uint16_t>(h));
    const bool same = (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
    if (!same) check(false, "binary16 pattern " + std::to_string(h));
  }
  check(decode_binary16(0x3C00) == 1.0, "0x3C00 is 1");
  check(decode_binary16(0xC000) == -2.0, "0xC000 is -2");
  check(decode_binary16(0x0001) == std::ldexp(1.0, -24), "0x0001 is 2^-24");
  check(decode_binary16(0x7C00) == std::numeric_limits<double>::infinity(), "0x7C00 is inf");

  // Sizes that overflow the size type are refused, not wrapped.
  check(!encoded_size(0, std::uint64_t{1} << 62).has_value(), "4N overflow");
  check(!encoded_size(1, std::uint64_t{1} << 63).has_value(), "2N overflow");
  check(!encoded_size(2, std::numeric_limits<std::uint64_t>::max() - 3).has_value(), "4+N overflow");
  check(!encoded_size(3, 1).has_value(), "unknown encoding");
  check(encoded_size(2, 5) == 9u && encoded_size(1, 5) == 10u && encoded_size(0, 5) == 20u, "sizes");

  const std::uint8_t scaled[] = {0x00, 0x00, 0x00, 0x3f, 0x02, 0xfe, 0x80};  // 0.5f, 2, -2, -128
  const auto v = decode_values(2, scaled, 3);
  check(v[0] == 1.0 && v[1] == -1.0 && v[2] == -64.0, "int8 scaled");

  // Unsigned integers: digits with an optional '+', fitting size_t.
  check(parse_unsigned("64") == 64u && parse_unsigned("+8") == 8u && parse_unsigned("007") == 7u, "unsigned ok");
  check(parse_unsigned("18446744073709551615") == std::numeric_limits<std::size_t>::max(), "unsigned max");
  for (const char* bad : {"", "+", "-1", " 1", "1 ", "18446744073709551616", "1e3", "0x10", "++1"}) {
    check(!parse_unsigned(bad).has_value(), std::string("unsigned refuses '") + bad + "'");
  }

  // Decimals.
  check(parse_double("0.05") == 0.05 && parse_double("1.0") == 1.0 && parse_double("-.5") == -0.5, "double ok");
  check(parse_double("+3e2") == 300.0 && parse_double("2.") == 2.0 && parse_double("1E-2") == 0.01, "double exp");
  check(parse_double("iNf") == std::numeric_limits<double>::infinity(), "inf");
  check(parse_double("-infinity") == -std::numeric_limits<double>::infinity(), "-infinity");
  check(std::isnan(*parse_double("NaN")) && std::isnan(*parse_double("-nan")), "nan");
  check(parse_double("1e400") == std::numeric_limits<double>::infinity(), "overflow to inf");
  check(parse_double("-0.000001e-400") == 0.0 && std::signbit(*parse_double("-1e-400")), "underflow to -0");
  check(parse_double("4.9e-324") == std::numeric_limits<double>::denorm_min(), "smallest subnormal");
  for (const char* bad : {"", ".", "+", "e1", "1e", "1e+", "0x1p3", " 1", "1 ", "nan(1)", "infinit", "1,5", "--1"}) {
    check(!parse_double(bad).has_value(), std::string("double refuses '") + bad + "'");
  }

  check(trim_whitespace(" \t1\n") == "1" && trim_whitespace("\u00a0\u30002\u2003") == "2", "trim");
  check(trim_whitespace("   ").empty() && trim_whitespace("1 2") == "1 2", "trim keeps inner space");

  return test::finish();
}
