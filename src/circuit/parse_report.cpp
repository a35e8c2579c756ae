#include "circuit/parse_report.h"

#include "elements/element.h"

namespace kelvora {

std::string parse_report(const ParseError& error, std::string_view expression) {
  std::string out = error.message();
  if (error.has_position()) {
    out += "\n\n  ";
    out += expression;
    out += "\n  ";
    out.append(error.position, ' ');
    out += '^';
  }
  out +=
      "\n\nsyntax:\n"
      "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
      "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
      "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\"\n"
      "\navailable elements (code, parameters, [units]):";
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const KindInfo& listed = kind_info(static_cast<Kind>(k));
    const auto element = default_for_code(listed.listed_code);
    const KindInfo& info = kind_info(element->kind);
    std::string code(listed.listed_code);
    if (code.size() < 4) code.append(4 - code.size(), ' ');
    out += "\n  " + code + "  ";
    for (std::size_t i = 0; i < info.count; ++i) {
      if (i) out += ", ";
      out += std::string(info.names[i]) + " [" + std::string(info.units[i]) + "]";
    }
  }
  return out;
}

}  // namespace kelvora
