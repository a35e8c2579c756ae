#include "nn/metadata.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace kelvora::nn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != b[i]) return false;
  }
  return true;
}

// Unicode White_Space code points.
bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

// Decodes one UTF-8 sequence starting at s[i] (input is valid UTF-8); returns its length.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t& out) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
  if (i + len > s.size()) len = s.size() - i;
  char32_t c = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  out = c;
  return len;
}

}  // namespace

std::string_view trim_whitespace(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    char32_t c;
    const std::size_t len = decode_at(s, begin, c);
    if (!is_unicode_space(c)) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80) --start;
    char32_t c;
    decode_at(s, start, c);
    if (!is_unicode_space(c)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::optional<std::size_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<double> parse_double(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

  // digits [. digits] [e [sign] digits], at least one mantissa digit.
  std::size_t i = 0;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < body.size() && is_digit(body[i])) ++i, ++int_digits;
  const std::size_t int_end = i;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  const std::size_t mantissa_end = i;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;

  // from_chars reads this syntax except for a leading '+' (removed above).
  std::string normal(body);
  if (negative) normal.insert(normal.begin(), '-');
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Overflow to infinity or underflow to zero: decide by the decimal
    // exponent of the first significant digit.
    long long first = 0;  // power of ten of the first non-zero digit
    bool found = false;
    for (std::size_t k = 0; k < int_end && !found; ++k) {
      if (body[k] != '0') {
        first = static_cast<long long>(int_end - k) - 1;
        found = true;
      }
    }
    for (std::size_t k = int_end + 1; k < mantissa_end && !found; ++k) {
      if (body[k] != '0') {
        first = -static_cast<long long>(k - int_end);
        found = true;
      }
    }
    long long exponent = 0;
    if (mantissa_end < body.size()) {
      std::size_t k = mantissa_end + 1;
      bool exp_negative = false;
      if (body[k] == '+' || body[k] == '-') exp_negative = body[k++] == '-';
      for (; k < body.size(); ++k) {
        if (exponent < 1000000000) exponent = exponent * 10 + (body[k] - '0');
      }
      if (exp_negative) exponent = -exponent;
    }
    const double magnitude = (found && first + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }
  if (ec != std::errc() || ptr != normal.data() + normal.size()) return std::nullopt;
  return value;
}

Expected<std::string, NnError> Metadata::meta(std::string_view key) const {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return unexpected(NnError::missing(std::string(key)));
  return it->second;
}

Expected<std::size_t, NnError> Metadata::unsigned_value(std::string_view key) const {
  auto text = meta(key);
  if (!text) return unexpected(text.error());
  const auto value = parse_unsigned(*text);
  if (!value) return unexpected(NnError::unparsable(std::string(key)));
  return *value;
}

Expected<double, NnError> Metadata::double_value(std::string_view key) const {
  auto text = meta(key);
  if (!text) return unexpected(text.error());
  const auto value = parse_double(*text);
  if (!value) return unexpected(NnError::unparsable(std::string(key)));
  return *value;
}

}  // namespace kelvora::nn
