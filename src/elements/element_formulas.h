#pragma once
// The element impedance formulas, inline so that the circuit evaluator can
// run them over blocks of frequencies.  Let s = i*omega.  Complex arithmetic
// is the plain one of support/complex.h.
//
//   R     r                          C     1 / (s c)
//   L     s l                        La    (s l)^alpha
//   Cpe   1 / (q s^alpha)            W     aw (1 - i) / sqrt(omega)
//   Wo    z0 / (u tanh u),  u = sqrt(s tau)
//   Ws    z0 tanh(u) / u,   u = sqrt(s tau)
//   G     rg / sqrt(1 + s tg)        Gs    rg / (v tanh(phi v)), v = sqrt(1 + s tg)
//   K     r / (1 + s tau_k)          Zarc  r / (1 + (s tau_k)^gamma)
//   Tlmq  sqrt(r_ion Zs) / tanh(sqrt(r_ion / Zs)),  Zs = 1 / (qs s^gamma)
//   T     a coth(beta)/beta + b csch(beta)/beta,  beta = sqrt(k_tau + s tau)
#include <cmath>

#include "elements/element.h"
#include "support/complex.h"

namespace kelvora {

// Principal square root with exact special cases for purely real and purely
// imaginary arguments.
inline Complex complex_sqrt(Complex w) {
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

// cos(p pi/2) and sin(p pi/2): the direction of w^p for w on the positive
// imaginary axis.  Past p = 1/2 the cosine is taken as sin((1 - p) pi/2),
// 1 - p being exact there: cos(p * pi/2) near p = 1 is the cosine of an angle
// whose rounding is as large as the cosine itself (p = 1 - 1e-12 gave a
// real part wrong in the fifth digit).
inline void half_pi_cos_sin(double p, double& c, double& s) {
  constexpr double half_pi = 1.5707963267948966;  // atan2(1, 0)
  c = p > 0.5 ? std::sin((1.0 - p) * half_pi) : std::cos(p * half_pi);
  s = std::sin(p * half_pi);
}

// w^p: w for p = 1, the square root for p = 0.5, exactly 1 for p = 0, the
// polar form otherwise, its angle exact on the imaginary axis.
inline Complex complex_pow(Complex w, double p) {
  if (p == 1.0) return w;
  if (p == 0.5) return complex_sqrt(w);
  if (p == 0.0) return {1.0, 0.0};
  if (w.re == 0.0 && w.im != 0.0) {
    // hypot(0, y) = |y| and atan2(y, 0) = +-pi/2.
    const double m = std::pow(std::fabs(w.im), p);
    double c, s;
    half_pi_cos_sin(p, c, s);
    return {m * c, w.im > 0.0 ? m * s : -(m * s)};
  }
  const double r = std::hypot(w.re, w.im);
  const double theta = std::atan2(w.im, w.re);
  const double m = std::pow(r, p);
  return {m * std::cos(p * theta), m * std::sin(p * theta)};
}

// tanh(u), exactly copysign(1, Re u) + 0i when |Re u| > 20.
inline Complex complex_tanh(Complex u) {
  if (std::fabs(u.re) > 20.0) return {std::copysign(1.0, u.re), 0.0};
  const double d = std::cosh(2.0 * u.re) + std::cos(2.0 * u.im);
  return {std::sinh(2.0 * u.re) / d, std::sin(2.0 * u.im) / d};
}


namespace detail {

// coth and csch of the finite-length diffusion element.  Beyond |Re beta| =
// 20, where sinh and cosh would overflow long before their ratio changes,
// coth is +-1 to within e^-40, and csch is +-2 e^(-+beta) to the same
// relative precision (it is small, but the element's b may be large against
// its a; at the cut-off e^-20 is 2e-9, not nothing; it underflows to 0 past
// |Re beta| = 745).
inline void coth_csch(Complex beta, Complex& coth, Complex& csch) {
  const double x = beta.re, y = beta.im;
  if (std::fabs(x) > 20.0) {
    const double sign = std::copysign(1.0, x);
    const double m = 2.0 * std::exp(-std::fabs(x));
    coth = {sign, 0.0};
    csch = {sign * m * std::cos(y), -m * std::sin(y)};
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
inline Complex impedance_impl(Kind kind, const double* p, double omega, Pow&& power) {
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
      // aw (1 - i) / sqrt(omega); at omega = 0 this is 0/0 (NaN), not infinity.
      // Written as a selection so that blocks of frequencies vectorise.
      const double root = std::sqrt(omega);
      const bool zero = root == 0.0;
      const double re = p[0] / root, im = -p[0] / root;
      return {zero ? NAN : re, zero ? NAN : im};
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


}  // namespace detail
}  // namespace kelvora
