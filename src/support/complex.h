#pragma once
// Complex impedance arithmetic.
//
// The circuit formulas use the plain textbook operations: a quotient is the
// numerator times the conjugate of the denominator divided by the squared
// modulus, with no rescaling and no special handling of infinities.  This is
// deliberately not std::complex, whose division rescales and whose library
// multiplication recovers infinities, so that 1 / (0 + 0i) is NaN + NaN i.
#include <cmath>

namespace kelvora {

struct Complex {
  double re = 0.0;
  double im = 0.0;
};

inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
inline Complex operator*(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex operator*(Complex a, double k) { return {a.re * k, a.im * k}; }
inline Complex operator*(double k, Complex a) { return {k * a.re, k * a.im}; }
inline Complex& operator+=(Complex& a, Complex b) {
  a.re += b.re;
  a.im += b.im;
  return a;
}

// a / b = a * conj(b) / |b|^2
inline Complex operator/(Complex a, Complex b) {
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
inline Complex operator/(double k, Complex b) { return Complex{k, 0.0} / b; }

// 1 / z = conj(z) / |z|^2
inline Complex reciprocal(Complex z) {
  const double d = z.re * z.re + z.im * z.im;
  return {z.re / d, -z.im / d};
}

}  // namespace kelvora
