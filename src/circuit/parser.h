#pragma once
// Recursive-descent parser of circuit expressions such as "R0-(R1,C1)".
#include <cstddef>
#include <string>
#include <string_view>

#include "circuit/node.h"
#include "support/expected.h"

namespace kelvora {

struct ParseError {
  enum class Kind { UnexpectedCharacter, UnexpectedEnd, UnknownElement, TrailingInput, DuplicateLabel, TooDeep };
  Kind kind;
  std::size_t position = 0;  // code-point index; not used by UnexpectedEnd/DuplicateLabel
  std::string text;          // the unknown code or the duplicate label (UTF-8)
  std::size_t limit = kMaxNestingDepth;  // TooDeep: the nesting this thread allowed

  bool has_position() const;
  // "unexpected character at position 3", "unknown element code \"X\" at position 0", ...
  std::string message() const;
};

// Parse the whole text (as code points).  Positions in errors index code points.
Expected<SeriesList, ParseError> parse(std::u32string_view text);
Expected<SeriesList, ParseError> parse(std::string_view utf8);

// The grammar widened to every tree that Series() and Parallel() can build:
// labels may repeat, a series may be empty ("", "(,R1)") and "()" is a
// group without branches.  For stored circuits (stored_expression).
Expected<SeriesList, ParseError> parse_relaxed(std::string_view utf8);

}  // namespace kelvora
