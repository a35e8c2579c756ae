#include "support/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace kelvora {
namespace {

// Shortest round-trip digits of a finite, non-zero |x|: digits "d1d2..dn"
// and exponent e such that |x| = d1.d2...dn * 10^e.
struct Digits {
  std::string digits;
  int exponent;
};

Digits shortest_digits(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  std::string s(buf, res.ptr);
  const auto e_pos = s.find('e');
  std::string mantissa = s.substr(0, e_pos);
  const int exponent = std::stoi(s.substr(e_pos + 1));
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return {digits, exponent};
}

std::string scientific(double x) {
  const Digits d = shortest_digits(x);
  std::string out = std::signbit(x) ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += std::to_string(d.exponent);
  return out;
}

// Plain positional notation of the shortest digits; `point_zero` appends ".0"
// to integral values.
std::string positional(double x, bool point_zero) {
  std::string out = std::signbit(x) ? "-" : "";
  if (x == 0.0) return out + (point_zero ? "0.0" : "0");
  const Digits d = shortest_digits(x);
  const int n = static_cast<int>(d.digits.size());
  const int int_len = d.exponent + 1;  // digits before the point
  if (int_len <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-int_len), '0');
    out += d.digits;
  } else if (int_len >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(int_len - n), '0');
    if (point_zero) out += ".0";
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(int_len));
    out += '.';
    out += d.digits.substr(static_cast<std::size_t>(int_len));
  }
  return out;
}

}  // namespace

std::string format_element_number(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  const double a = std::fabs(x);
  if (a != 0.0 && (a < 1e-4 || a >= 1e16)) return scientific(x);
  return positional(x, true);
}

std::string format_compact(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  const double a = std::fabs(x);
  if (a == 0.0 || (a >= 1e-4 && a < 1e6)) return positional(x, false);
  return scientific(x);
}

std::string format_scientific6(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6e", x);
  std::string s(buf);
  const auto e_pos = s.find('e');
  const int exponent = std::stoi(s.substr(e_pos + 1));
  return s.substr(0, e_pos) + "e" + std::to_string(exponent);
}

}  // namespace kelvora
