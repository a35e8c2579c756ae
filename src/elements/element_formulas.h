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

// The diffusion elements near the origin.  With z = u^2,
//   coth(u)/u = 1/z + coth_excess(z),   csch(u)/u = 1/z + csch_excess(z),
// both excesses power series in z with radius pi^2 (18 terms reach double
// precision for |z| <= 1).  For small u the formulas' own products cancel:
// u tanh(u) on the diagonal u = k(1 + i) has a real part of
// k (sinh 2k - sin 2k) / d, so the resistive 1/3 of z0 / (u tanh u) was lost
// for omega tau below about 1e-8.  Written in z, 1/z is exact and the
// excess carries the rest.
inline constexpr int kExcessTerms = 18;
// 2^(2n) B_2n / (2n)!, n = 1, 2, ...
inline constexpr double kCothExcess[kExcessTerms] = {
    3.3333333333333333e-1,  -2.2222222222222222e-2, 2.1164021164021164e-3,  -2.1164021164021164e-4,
    2.1377799155576933e-5,  -2.1644042808063972e-6, 2.1925947851873778e-7,  -2.2214608789979679e-8,
    2.2507846516808993e-9,  -2.2805151204592183e-10, 2.3106432599002624e-11, -2.3411706819824884e-12,
    2.3721017400233654e-13, -2.4034415333307706e-14, 2.4351954029183369e-15, -2.4673688045172075e-16,
    2.4999672771220809e-17, -2.5329964357406348e-18};
// -(2^(2n) - 2) B_2n / (2n)!, n = 1, 2, ...
inline constexpr double kCschExcess[kExcessTerms] = {
    -1.6666666666666667e-1, 1.9444444444444444e-2,  -2.0502645502645503e-3, 2.0998677248677249e-4,
    -2.1336045641601197e-5, 2.1633474427786597e-6,  -2.1923271344567641e-7, 2.2213930853920415e-8,
    -2.2507674795567867e-9, 2.2805107707218212e-10, -2.3106421580996967e-11, 2.3411704028931947e-12,
    -2.3721016693292246e-13, 2.4034415154237358e-14, -2.435195398382432e-15, 2.4673688033682493e-16,
    -2.4999672768310464e-17, 2.5329964356669149e-18};

inline Complex excess_series(const double (&c)[kExcessTerms], Complex z) {
  Complex sum{c[kExcessTerms - 1], 0.0};
  for (int n = kExcessTerms - 2; n >= 0; --n) sum = sum * z + Complex{c[n], 0.0};
  return sum;
}
inline Complex coth_excess(Complex z) { return excess_series(kCothExcess, z); }
inline Complex csch_excess(Complex z) { return excess_series(kCschExcess, z); }

// 0 < |z| <= 1: the series form applies.  At z = 0 (zero frequency) the
// formulas keep their plain arithmetic.
inline bool near_origin(Complex z) {
  const double n = z.re * z.re + z.im * z.im;
  return n > 0.0 && n <= 1.0;
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
      const Complex z = s * Complex{p[1], 0.0};
      if (near_origin(z)) return Complex{p[0], 0.0} * (reciprocal(z) + coth_excess(z));
      const Complex u = complex_sqrt(z);
      return Complex{p[0], 0.0} / (u * complex_tanh(u));
    }
    case Kind::Ws: {
      // tanh(u)/u = 1 / (u coth u) = 1 / (1 + z coth_excess(z))
      const Complex z = s * Complex{p[1], 0.0};
      if (near_origin(z)) return Complex{p[0], 0.0} / (one + z * coth_excess(z));
      const Complex u = complex_sqrt(z);
      return (Complex{p[0], 0.0} * complex_tanh(u)) / u;
    }
    case Kind::G:
      return Complex{p[0], 0.0} / complex_sqrt(one + s * Complex{p[1], 0.0});
    case Kind::Gs: {
      // With w = phi v: rg / (v tanh w) = rg phi coth(w)/w, w^2 = phi^2 v^2.
      const Complex v2 = one + s * Complex{p[1], 0.0};
      const Complex phi_v2 = v2 * p[2];
      const Complex w2 = phi_v2 * p[2];
      if (near_origin(w2)) return Complex{p[0], 0.0} * (reciprocal(phi_v2) + p[2] * coth_excess(w2));
      const Complex v = complex_sqrt(v2);
      return Complex{p[0], 0.0} / (v * complex_tanh(Complex{p[2], 0.0} * v));
    }
    case Kind::K:
      return Complex{p[0], 0.0} / (one + s * Complex{p[1], 0.0});
    case Kind::Zarc:
      return Complex{p[0], 0.0} / (one + power(s * Complex{p[1], 0.0}, p[2]));
    case Kind::Tlmq: {
      // With w^2 = r_ion / Zs: sqrt(r_ion Zs) / tanh(w) = r_ion coth(w)/w
      // = Zs + r_ion coth_excess(w^2).
      const Complex ys = Complex{p[1], 0.0} * power(s, p[2]);
      const Complex zs = one / ys;
      const Complex r_ion{p[0], 0.0};
      const Complex w2 = r_ion * ys;
      if (near_origin(w2)) return zs + r_ion * coth_excess(w2);
      return complex_sqrt(r_ion * zs) / complex_tanh(complex_sqrt(r_ion / zs));
    }
    case Kind::T: {
      const Complex beta2 = Complex{p[2], 0.0} + s * Complex{p[3], 0.0};
      if (near_origin(beta2)) {
        const Complex inv = reciprocal(beta2);
        return Complex{p[0], 0.0} * (inv + coth_excess(beta2)) + Complex{p[1], 0.0} * (inv + csch_excess(beta2));
      }
      const Complex beta = complex_sqrt(beta2);
      Complex coth, csch;
      coth_csch(beta, coth, csch);
      return (Complex{p[0], 0.0} * coth) / beta + (Complex{p[1], 0.0} * csch) / beta;
    }
  }
  return {NAN, NAN};
}


}  // namespace detail
}  // namespace kelvora
