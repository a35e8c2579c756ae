#pragma once
// Model names accepted by the Circuit constructor in place of an expression;
// the same names, in the same order, identify the trained guess networks.
#include <array>
#include <optional>
#include <string_view>

namespace kelvora {

struct ModelName {
  std::string_view name;
  std::string_view expression;
};

inline constexpr std::array<ModelName, 11> kModelNames = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

// Expression for a model name compared ASCII case-insensitively with `key`
// (already trimmed), or nothing.
std::optional<std::string_view> model_expression(std::string_view key);

}  // namespace kelvora
