#include "elements/element.h"

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

// coth and csch of the finite-length diffusion element, with the cut-off at
// |Re beta| > 20 where coth is exactly +-1 and csch exactly 0.
void coth_csch(Complex beta, Complex& coth, Complex& csch) {
  const double x = beta.re, y = beta.im;
  if (std::fabs(x) > 20.0) {
    coth = {std::copysign(1.0, x), 0.0};
    csch = {0.0, 0.0};
    return;
  }
  const Complex sinh_b{std::sinh(x) * std::cos(y), std::cosh(x) * std::sin(y)};
  const Complex cosh_b{std::cosh(x) * std::cos(y), std::sinh(x) * std::sin(y)};
  coth = cosh_b / sinh_b;
  csch = Complex{1.0, 0.0} / sinh_b;
}

// Element formulas, generic in how the single complex power of La, Cpe, Zarc
// and Tlmq is taken (so the evaluator can reuse frequency-independent parts).
template <class Pow>
Complex impedance_impl(Kind kind, const double* p, double omega, Pow&& power) {
  const Complex s{0.0, omega};
  const Complex one{1.0, 0.0};
  switch (kind) {
    case Kind::R:
      return {p[0], 0.0};
    case Kind::C:
      return one / (s * Complex{p[0], 0.0});
    case Kind::L:
      return s * Complex{p[0], 0.0};
    case Kind::La:
      return power(s * Complex{p[0], 0.0}, p[1]);
    case Kind::Cpe:
      return one / (Complex{p[0], 0.0} * power(s, p[1]));
    case Kind::W: {
      // aw (1 - i) / sqrt(omega); at omega = 0 this is 0/0, not infinity.
      const double root = std::sqrt(omega);
      if (root == 0.0) return Complex{p[0], -p[0]} / Complex{root, 0.0};
      return {p[0] / root, -p[0] / root};
    }
    case Kind::Wo: {
      const Complex u = complex_sqrt(s * Complex{p[1], 0.0});
      return Complex{p[0], 0.0} / (u * complex_tanh(u));
    }
    case Kind::Ws: {
      const Complex u = complex_sqrt(s * Complex{p[1], 0.0});
      return (Complex{p[0], 0.0} * complex_tanh(u)) / u;
    }
    case Kind::G:
      return Complex{p[0], 0.0} / complex_sqrt(one + s * Complex{p[1], 0.0});
    case Kind::Gs: {
      const Complex v = complex_sqrt(one + s * Complex{p[1], 0.0});
      return Complex{p[0], 0.0} / (v * complex_tanh(Complex{p[2], 0.0} * v));
    }
    case Kind::K:
      return Complex{p[0], 0.0} / (one + s * Complex{p[1], 0.0});
    case Kind::Zarc:
      return Complex{p[0], 0.0} / (one + power(s * Complex{p[1], 0.0}, p[2]));
    case Kind::Tlmq: {
      const Complex zs = one / (Complex{p[1], 0.0} * power(s, p[2]));
      const Complex r_ion{p[0], 0.0};
      return complex_sqrt(r_ion * zs) / complex_tanh(complex_sqrt(r_ion / zs));
    }
    case Kind::T: {
      const Complex beta = complex_sqrt(Complex{p[2], 0.0} + s * Complex{p[3], 0.0});
      Complex coth, csch;
      coth_csch(beta, coth, csch);
      return (Complex{p[0], 0.0} * coth) / beta + (Complex{p[1], 0.0} * csch) / beta;
    }
  }
  return {NAN, NAN};
}

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

Complex complex_sqrt(Complex w) {
  if (w.im == 0.0) {
    if (w.re >= 0.0) return {std::sqrt(w.re), w.im};
    return {0.0, std::copysign(std::sqrt(-w.re), w.im)};
  }
  if (w.re == 0.0) {
    const double k = std::sqrt(std::fabs(w.im) / 2.0);
    return w.im > 0.0 ? Complex{k, k} : Complex{k, -k};
  }
  const double r = std::hypot(w.re, w.im);
  const double theta = std::atan2(w.im, w.re);
  const double m = std::sqrt(r);
  return {m * std::cos(theta / 2.0), m * std::sin(theta / 2.0)};
}

Complex complex_pow(Complex w, double p) {
  if (p == 1.0) return w;
  if (p == 0.5) return complex_sqrt(w);
  if (p == 0.0) return {1.0, 0.0};
  const double r = std::hypot(w.re, w.im);
  const double theta = std::atan2(w.im, w.re);
  const double m = std::pow(r, p);
  return {m * std::cos(p * theta), m * std::sin(p * theta)};
}

Complex complex_tanh(Complex u) {
  if (std::fabs(u.re) > 20.0) return {std::copysign(1.0, u.re), 0.0};
  const double d = std::cosh(2.0 * u.re) + std::cos(2.0 * u.im);
  return {std::sinh(2.0 * u.re) / d, std::sin(2.0 * u.im) / d};
}

Complex element_impedance(Kind kind, const double* p, double omega) {
  return impedance_impl(kind, p, omega, [](Complex w, double e) { return complex_pow(w, e); });
}

Complex element_impedance_prepared(Kind kind, const double* p, double omega, double cos_half_pi_p,
                                   double sin_half_pi_p) {
  // On the positive imaginary axis hypot(0, y) is exactly y and atan2(y, 0)
  // exactly the double pi/2, so cos and sin of p*theta are the same for every
  // frequency and were computed once by the caller.
  return impedance_impl(kind, p, omega, [&](Complex w, double e) {
    if (w.re == 0.0 && w.im > 0.0 && e != 1.0 && e != 0.5 && e != 0.0) {
      const double m = std::pow(w.im, e);
      return Complex{m * cos_half_pi_p, m * sin_half_pi_p};
    }
    return complex_pow(w, e);
  });
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
