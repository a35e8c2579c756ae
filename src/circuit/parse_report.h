#pragma once
// The report shown when a circuit expression does not parse: the error, the
// expression with a caret under the offending character, syntax hints and the
// list of element codes with their parameters and units.
#include <string>
#include <string_view>

#include "circuit/parser.h"

namespace kelvora {

// `expression` is the text that was parsed (UTF-8).
std::string parse_report(const ParseError& error, std::string_view expression);

}  // namespace kelvora
