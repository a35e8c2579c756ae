#include "circuit/model_names.h"

namespace kelvora {

std::optional<std::string_view> model_expression(std::string_view key) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (const ModelName& m : kModelNames) {
    if (m.name.size() != key.size()) continue;
    bool equal = true;
    for (std::size_t i = 0; i < key.size() && equal; ++i) equal = lower(key[i]) == lower(m.name[i]);
    if (equal) return m.expression;
  }
  return std::nullopt;
}

}  // namespace kelvora
