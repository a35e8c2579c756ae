#pragma once
// Text handling shared by the text readers: decoding to UTF-8, lines, fields
// and numbers.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::readers {

// A file's text as UTF-8.  UTF-8 (with or without byte-order mark) is used
// in place; UTF-16 with a byte-order mark is converted; anything else that
// is not valid UTF-8 is read as Windows-1252 (a superset of Latin-1 for the
// printable range).  `view` points into `storage` or into the input.
struct Text {
  std::string storage;
  std::string_view view;
};
Text decode_text(std::string_view bytes);
bool has_utf16_bom(std::string_view bytes);

struct Line {
  std::string_view text;  // without the line end
  std::size_t number = 0; // 1-based
};

// Lines of a text.  A line ends at LF; carriage returns before it are
// dropped (so CRLF and CR CR LF both end one line).  A text without LF but
// with CR uses CR as the line end.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text);
  bool next(Line& line);
  // The line `next` would return, without consuming it.
  bool peek(Line& line) const;
  std::size_t line_number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t number_ = 0;
  char end_ = '\n';
};

std::string_view trim(std::string_view s);
// Trims white space and one pair of surrounding double quotes.
std::string_view trim_field(std::string_view s);
bool starts_with_ci(std::string_view s, std::string_view prefix);
bool equals_ci(std::string_view a, std::string_view b);
bool contains_ci(std::string_view s, std::string_view needle);
bool blank(std::string_view s);

// Splits at every `separator` (' ' splits at runs of spaces and tabs); each
// field is trimmed by trim_field.  A trailing empty field (from a trailing
// separator) is dropped.
void split_fields(std::string_view line, char separator, std::vector<std::string_view>& out);

// A number in C locale form, optionally with a decimal comma instead of the
// point.  Leading '+' and surrounding spaces are allowed; the value must be
// finite.
std::optional<double> parse_number(std::string_view field, bool decimal_comma);

// Field text for a message: at most 40 characters, quoted.
std::string shown(std::string_view field);

}  // namespace kelvora::readers
