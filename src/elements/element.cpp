#include "elements/element.h"

#include "elements/element_formulas.h"

#include <cmath>

#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora {
namespace {

constexpr double kInf = INFINITY;

}  // namespace

Element make_element(Kind kind, const double* params) {
  Element e;
  e.kind = kind;
  for (std::size_t i = 0; i < param_count(kind); ++i) e.values[i] = params[i];
  return e;
}

std::optional<Element> default_for_code(std::string_view code) {
  // The parser codes: each kind's code and its listed spelling ("CPE", "TLMQ").
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const Kind kind = static_cast<Kind>(k);
    const KindInfo& info = kind_info(kind);
    if (info.code == code || info.listed_code == code) return make_element(kind, info.defaults.data());
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
