#include "support/quote.h"

#include <cstdint>
#include <cstdio>

namespace kelvora {
namespace {

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

// Decodes one code point at bytes[i]; returns its length, or 0 when malformed.
std::size_t decode_one(std::string_view bytes, std::size_t i, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(bytes[i]);
  std::size_t len;
  char32_t c;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > bytes.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(bytes[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  out = c;
  return len;
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  char buffer[4];
  out.append(buffer, write_utf8(buffer, c));
}

std::u32string utf8_to_u32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c;
    const std::size_t len = decode_one(utf8, i, c);
    if (len == 0) {
      out.push_back(0xFFFD);
      ++i;
    } else {
      out.push_back(c);
      i += len;
    }
  }
  return out;
}

std::string u32_to_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c;
    const std::size_t len = decode_one(bytes, i, c);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string quoted(std::string_view utf8) {
  std::string out = "\"";
  for (char32_t c : utf8_to_u32(utf8)) {
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      default:
        if (is_control(c)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

std::string quoted_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += quoted(items[i]);
  }
  out += ']';
  return out;
}

}  // namespace kelvora
