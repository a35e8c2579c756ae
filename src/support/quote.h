#pragma once
// Quoted form of texts shown in messages: double quotes, with a backslash
// before '"' and '\\', \t \r \n for tab, carriage return and line feed, and
// \u{hex} for every other control character.
#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// `utf8` must be valid UTF-8.
std::string quoted(std::string_view utf8);
// ["a", "b"]
std::string quoted_list(const std::vector<std::string>& items);

// UTF-8 <-> code points.  Decoding replaces malformed sequences by U+FFFD.
std::u32string utf8_to_u32(std::string_view utf8);
std::string u32_to_utf8(std::u32string_view text);
bool is_valid_utf8(std::string_view bytes);
// Appends the UTF-8 encoding of code point c.
void append_utf8(std::string& out, char32_t c);

// Writes the UTF-8 encoding of code point c (one to four bytes) at p and
// returns the position after it.
inline char* write_utf8(char* p, char32_t c) {
  if (c < 0x80) {
    *p++ = static_cast<char>(c);
    return p;
  }
  if (c < 0x800) {
    *p++ = static_cast<char>(0xC0 | (c >> 6));
  } else {
    if (c < 0x10000) {
      *p++ = static_cast<char>(0xE0 | (c >> 12));
    } else {
      *p++ = static_cast<char>(0xF0 | (c >> 18));
      *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    }
    *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  }
  *p++ = static_cast<char>(0x80 | (c & 0x3F));
  return p;
}

}  // namespace kelvora
