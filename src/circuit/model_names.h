#pragma once
// Model names accepted by the Circuit constructor in place of an expression;
// the same names, in the same order, identify the trained guess networks.
#include <optional>
#include <string_view>

namespace kelvora {

struct ModelName {
  std::string_view name;
  std::string_view expression;
};

// The names and circuits of the model table, in its order.
inline constexpr ModelName kModelNames[] = {
#define KELVORA_MODEL(name, circuit, param_names, channels) {#name, circuit},
#include "models/models.def"
#undef KELVORA_MODEL
};

// Expression for a model name compared ASCII case-insensitively with `key`
// (already trimmed), or nothing.
std::optional<std::string_view> model_expression(std::string_view key);

}  // namespace kelvora
