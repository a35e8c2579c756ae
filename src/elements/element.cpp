#include "elements/element.h"

#include "elements/element_formulas.h"

#include <cmath>

#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora {
namespace {

constexpr double kInf = INFINITY;

// The catalog, in canonical kind order.
const KindInfo kCatalog[kKindCount] = {
    {"R", "R", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", "C", 1, {"c"}, {"F"}, {0.001}},
    {"L", "L", 1, {"l"}, {"H"}, {1e-6}},
    {"La", "La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {"W", "W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", "Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", "Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", "G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", "Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", "K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {"Zarc", "Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {"Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8}},
    {"T", "T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}},
};

// Parser codes: the Kind column plus the upper-case spellings of Cpe and Tlmq.
struct CodeEntry {
  std::string_view code;
  Kind kind;
};
const CodeEntry kCodes[] = {
    {"R", Kind::R},   {"C", Kind::C},     {"L", Kind::L},       {"La", Kind::La},     {"Cpe", Kind::Cpe},
    {"CPE", Kind::Cpe}, {"W", Kind::W},   {"Wo", Kind::Wo},     {"Ws", Kind::Ws},     {"G", Kind::G},
    {"Gs", Kind::Gs}, {"K", Kind::K},     {"Zarc", Kind::Zarc}, {"Tlmq", Kind::Tlmq}, {"TLMQ", Kind::Tlmq},
    {"T", Kind::T},
};

}  // namespace

const KindInfo& kind_info(Kind kind) { return kCatalog[static_cast<std::size_t>(kind)]; }

Element make_element(Kind kind, const double* params) {
  Element e;
  e.kind = kind;
  for (std::size_t i = 0; i < param_count(kind); ++i) e.values[i] = params[i];
  return e;
}

std::optional<Element> default_for_code(std::string_view code) {
  for (const auto& entry : kCodes) {
    if (entry.code == code) return make_element(entry.kind, kind_info(entry.kind).defaults.data());
  }
  return std::nullopt;
}

std::optional<Element> default_for_code(std::u32string_view code) {
  std::string ascii;
  for (char32_t c : code) {
    if (c > 0x7f) return std::nullopt;
    ascii.push_back(static_cast<char>(c));
  }
  return default_for_code(std::string_view(ascii));
}

std::pair<double, double> bounds(std::string_view name) {
  if (name == "alpha" || name == "gamma") return {0.0, 1.0};
  return {1e-12, kInf};
}

Complex element_impedance(Kind kind, const double* p, double omega) {
  return detail::impedance_impl(kind, p, omega, [](Complex w, double e) { return complex_pow(w, e); });
}

Complex Element::impedance(double omega) const { return element_impedance(kind, values.data(), omega); }

std::string element_text(const Element& e) {
  const KindInfo& info = kind_info(e.kind);
  std::string out = "Element.";
  out += info.code;
  out += '(';
  for (std::size_t i = 0; i < info.count; ++i) {
    if (i) out += ", ";
    out += info.names[i];
    out += '=';
    out += format_element_number(e.values[i]);
  }
  out += ')';
  return out;
}

}  // namespace kelvora
