#include "readers/text.h"

#include <charconv>
#include <cmath>

#include "support/quote.h"

namespace kelvora::readers {
namespace {

// Windows-1252 code points for bytes 0x80..0x9F (undefined ones as U+FFFD).
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

template <bool LittleEndian>
std::string from_utf16_as(std::string_view bytes) {
  const std::size_t n = bytes.size() / 2;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  // Every code unit takes at most three UTF-8 bytes (a surrogate pair, two
  // units, takes four): the text is written through a pointer into a buffer
  // of that size, then cut to length.
  std::string out(3 * n, '\0');
  char* p = out.data();
  auto unit = [in](std::size_t i) -> char32_t {
    return LittleEndian ? (in[2 * i] | (in[2 * i + 1] << 8)) : ((in[2 * i] << 8) | in[2 * i + 1]);
  };
  for (std::size_t i = 1; i < n; ++i) {  // unit 0 is the byte-order mark
    char32_t c = unit(i);
    if (c < 0x80) {  // the common case first
      *p++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
      const char32_t low = unit(i + 1);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c == 0xFEFF) continue;  // stray byte-order marks inside the text
    p = write_utf8(p, c);
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
  return out;
}

std::string from_utf16(std::string_view bytes, bool little_endian) {
  return little_endian ? from_utf16_as<true>(bytes) : from_utf16_as<false>(bytes);
}

std::string from_cp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) out.push_back(ch);
    else append_utf8(out, b < 0xA0 ? kCp1252High[b - 0x80] : char32_t{b});
  }
  return out;
}

}  // namespace

bool has_utf16_bom(std::string_view bytes) {
  return bytes.size() >= 2 && ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
}

Text decode_text(std::string_view bytes) {
  Text t;
  if (has_utf16_bom(bytes)) {
    t.storage = from_utf16(bytes, bytes[0] == '\xFF');
    t.view = t.storage;
    return t;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (is_valid_utf8(bytes)) {
    t.view = bytes;
  } else {
    t.storage = from_cp1252(bytes);
    t.view = t.storage;
  }
  return t;
}

LineCursor::LineCursor(std::string_view text) : text_(text) {
  if (text.find('\n') == std::string_view::npos && text.find('\r') != std::string_view::npos) end_ = '\r';
}

bool LineCursor::peek(Line& line) const {
  if (pos_ >= text_.size()) return false;
  std::size_t end = text_.find(end_, pos_);
  if (end == std::string_view::npos) end = text_.size();
  std::string_view s = text_.substr(pos_, end - pos_);
  while (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  line.text = s;
  line.number = number_ + 1;
  return true;
}

bool LineCursor::next(Line& line) {
  if (!peek(line)) return false;
  std::size_t end = text_.find(end_, pos_);
  pos_ = end == std::string_view::npos ? text_.size() : end + 1;
  ++number_;
  return true;
}

std::string_view trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_field(std::string_view s) {
  s = trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = trim(s.substr(1, s.size() - 2));
  return s;
}

namespace {
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (lower(s[i]) != lower(prefix[i])) return false;
  return true;
}

bool equals_ci(std::string_view a, std::string_view b) { return a.size() == b.size() && starts_with_ci(a, b); }

bool contains_ci(std::string_view s, std::string_view needle) {
  if (needle.size() > s.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= s.size(); ++i)
    if (starts_with_ci(s.substr(i), needle)) return true;
  return false;
}

bool blank(std::string_view s) { return trim(s).empty(); }

void split_fields(std::string_view line, char separator, std::vector<std::string_view>& out) {
  out.clear();
  if (separator == ' ') {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      if (i >= line.size()) break;
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      out.push_back(trim_field(line.substr(start, i - start)));
    }
    return;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t end = line.find(separator, start);
    if (end == std::string_view::npos) {
      const std::string_view last = trim_field(line.substr(start));
      if (!last.empty() || out.empty()) out.push_back(last);
      return;
    }
    out.push_back(trim_field(line.substr(start, end - start)));
    start = end + 1;
  }
}

std::optional<double> parse_number(std::string_view field, bool decimal_comma) {
  field = trim(field);
  if (!field.empty() && field.front() == '+') {
    field.remove_prefix(1);
    if (!field.empty() && (field.front() == '-' || field.front() == '+')) return std::nullopt;  // "+-1"
  }
  if (field.empty() || field.size() > 64) return std::nullopt;
  char buffer[64];
  if (decimal_comma && field.find(',') != std::string_view::npos) {
    if (field.find('.') != std::string_view::npos) return std::nullopt;
    std::size_t commas = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
      buffer[i] = field[i] == ',' ? '.' : field[i];
      commas += field[i] == ',';
    }
    if (commas != 1) return std::nullopt;
    field = std::string_view(buffer, field.size());
  }
  double value = 0.0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string shown(std::string_view field) {
  if (field.size() > 40) {
    std::size_t cut = 40;
    while (cut > 0 && (static_cast<unsigned char>(field[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return quoted(std::string(field.substr(0, cut)) + "...");
  }
  return quoted(field);
}

}  // namespace kelvora::readers
