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

}  // namespace kelvora
