#pragma once
// The element catalog: the fourteen circuit element kinds, their parameters,
// units, defaults, physical bounds, text form and impedance formulas.
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "support/complex.h"

namespace kelvora {

// Canonical order of every per-kind table (elements.def).
enum class Kind : std::uint8_t {
#define KELVORA_ELEMENT(kind, listed_code, names, units, defaults) kind,
#include "elements/elements.def"
#undef KELVORA_ELEMENT
};
inline constexpr std::size_t kMaxParams = 4;

struct KindInfo {
  std::string_view code;         // text form and automatic labels: "Cpe", "Tlmq"
  std::string_view listed_code;  // parse report list: "CPE", "TLMQ"
  std::size_t count;             // number of parameters
  std::array<std::string_view, kMaxParams> names;
  std::array<std::string_view, kMaxParams> units;
  std::array<double, kMaxParams> defaults;
};

namespace detail {
constexpr KindInfo kind_entry(std::string_view code, std::string_view listed_code,
                              std::array<std::string_view, kMaxParams> names,
                              std::array<std::string_view, kMaxParams> units,
                              std::array<double, kMaxParams> defaults) {
  std::size_t count = 0;
  while (count < kMaxParams && !names[count].empty()) ++count;
  return {code, listed_code, count, names, units, defaults};
}
#define KELVORA_LIST(...) {__VA_ARGS__}
// The catalog, in canonical kind order.
inline constexpr KindInfo kCatalog[] = {
#define KELVORA_ELEMENT(kind, listed_code, names, units, defaults) \
  kind_entry(#kind, listed_code, KELVORA_LIST names, KELVORA_LIST units, KELVORA_LIST defaults),
#include "elements/elements.def"
#undef KELVORA_ELEMENT
};
#undef KELVORA_LIST
}  // namespace detail

inline constexpr std::size_t kKindCount = std::size(detail::kCatalog);

constexpr const KindInfo& kind_info(Kind kind) { return detail::kCatalog[static_cast<std::size_t>(kind)]; }
constexpr std::size_t param_count(Kind kind) { return kind_info(kind).count; }

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

// Index of the exponent of the element's complex power, its parameter named
// "alpha" or "gamma" (La, Cpe, Zarc, Tlmq); -1 for kinds without one.
constexpr int exponent_index(Kind kind) {
  const KindInfo& info = kind_info(kind);
  for (std::size_t i = 0; i < info.count; ++i)
    if (info.names[i] == "alpha" || info.names[i] == "gamma") return static_cast<int>(i);
  return -1;
}
}  // namespace kelvora
