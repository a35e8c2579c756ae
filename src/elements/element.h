#pragma once
// The element catalog: the fourteen circuit element kinds, their parameters,
// units, defaults, physical bounds, text form and impedance formulas.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "support/complex.h"

namespace kelvora {

// Canonical order of every per-kind table.
enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };
inline constexpr std::size_t kKindCount = 14;
inline constexpr std::size_t kMaxParams = 4;

struct KindInfo {
  std::string_view code;         // text form and automatic labels: "Cpe", "Tlmq"
  std::string_view listed_code;  // parse report list: "CPE", "TLMQ"
  std::size_t count;             // number of parameters
  std::array<std::string_view, kMaxParams> names;
  std::array<std::string_view, kMaxParams> units;
  std::array<double, kMaxParams> defaults;
};

const KindInfo& kind_info(Kind kind);
inline std::size_t param_count(Kind kind) { return kind_info(kind).count; }

// An immutable element value: a kind and its parameters in the kind's order.
// Entries of `values` beyond the kind's parameter count are zero.
struct Element {
  Kind kind = Kind::R;
  std::array<double, kMaxParams> values{};

  std::size_t count() const { return param_count(kind); }
  // Impedance of this single element at angular frequency omega (rad/s).
  Complex impedance(double omega) const;
};

// complex_pow, complex_sqrt and complex_tanh live in element_formulas.h.

// Element of the given kind with these parameters (count() of them are read).
Element make_element(Kind kind, const double* params);

// Exact, case-sensitive lookup of a parser code ("R", "Cpe", "CPE", "Tlmq",
// "TLMQ", ...); the element carries the default values.
std::optional<Element> default_for_code(std::u32string_view code);
std::optional<Element> default_for_code(std::string_view code);

// Physical bounds by parameter name: (0, 1) for "alpha" and "gamma",
// (1e-12, +inf) for every other name.
std::pair<double, double> bounds(std::string_view name);

// Impedance of an element of `kind` whose parameters are p[0..count).
Complex element_impedance(Kind kind, const double* p, double omega);

// "Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)"
std::string element_text(const Element& e);

// Index of the exponent parameter of La, Cpe, Zarc and Tlmq; -1 for other kinds.
constexpr int exponent_index(Kind kind) {
  switch (kind) {
    case Kind::La:
    case Kind::Cpe:
      return 1;
    case Kind::Zarc:
    case Kind::Tlmq:
      return 2;
    default:
      return -1;
  }
}
}  // namespace kelvora
