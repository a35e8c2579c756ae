#include "kk/lin_kk.h"

#include <algorithm>
#include <cmath>

#include "fit/angular_frequency.h"
#include "kk/householder_columns.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora::kk {
namespace {

// The parts of the spectrum one least-squares problem is posed on: the
// weighted real parts in rows [0, n) when `real`, the weighted imaginary
// parts in the next n rows when `imag`.
struct Rows {
  bool real;
  bool imag;
  std::size_t n;
  std::size_t count() const { return (real ? n : 0) + (imag ? n : 0); }
  std::size_t imag_offset() const { return real ? n : 0; }
};

// The weighted data: w_i = 1 / |Z_i|.
struct Data {
  std::vector<double> omega;
  std::vector<double> weight;
  std::span<const Complex> z;
};

// Writes one weighted column: term(i) is the complex value at point i (a
// term of the model with unit coefficient, or the data).
template <class Term>
void fill(const Rows& rows, const Data& d, Term term, std::vector<double>& out) {
  out.resize(rows.count());
  const std::size_t off = rows.imag_offset();
  for (std::size_t i = 0; i < rows.n; ++i) {
    const Complex t = term(i);
    if (rows.real) out[i] = d.weight[i] * t.re;
    if (rows.imag) out[off + i] = d.weight[i] * t.im;
  }
}

Complex voigt(double omega, double tau) {
  const double x = omega * tau;
  const double d = 1.0 / (1.0 + x * x);
  return {d, -x * d};
}
Complex unit_resistance(double) { return {1.0, 0.0}; }
Complex unit_inductance(double omega) { return {0.0, omega}; }
Complex unit_elastance(double omega) { return {0.0, -1.0 / omega}; }  // 1 / (j w C) per unit of 1 / C

// mu = 1 - sum |R_k < 0| / sum |R_k >= 0|; 1 when no resistance is negative.
double mu_of(std::span<const double> r) {
  double negative = 0.0;
  double positive = 0.0;
  for (double v : r) (v < 0.0 ? negative : positive) += std::fabs(v);
  if (negative == 0.0) return 1.0;
  return 1.0 - negative / positive;  // -inf when every resistance is negative
}

std::string count_text(std::size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::optional<KkError> check_data(std::span<const double> f, std::span<const Complex> z) {
  if (f.size() != z.size()) return KkError{"frequencies and impedances must have the same length"};
  if (f.size() < 3) return KkError{"lin_kk needs at least 3 points, got " + std::to_string(f.size())};
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (!(std::isfinite(f[i]) && f[i] > 0.0))
      return KkError{"frequency " + std::to_string(i) + " is " + format_compact(f[i]) +
                     "; lin_kk needs positive finite frequencies"};
    const double omega = kTwoPi * f[i];
    if (!(std::isfinite(omega) && std::isfinite(1.0 / omega)))
      return KkError{"frequency " + std::to_string(i) + " is " + format_compact(f[i]) +
                     " Hz; lin_kk needs 2 pi f and its inverse within the range of double precision"};
    if (!(std::isfinite(z[i].re) && std::isfinite(z[i].im)))
      return KkError{"impedance " + std::to_string(i) + " is not finite"};
    if (z[i].re == 0.0 && z[i].im == 0.0)
      return KkError{"impedance " + std::to_string(i) + " is zero; lin_kk weights each point by 1/|Z|"};
    if (!std::isfinite(std::hypot(z[i].re, z[i].im)))
      return KkError{"impedance " + std::to_string(i) + " has a magnitude beyond the range of double precision"};
  }
  const auto [lo, hi] = std::minmax_element(f.begin(), f.end());
  if (!std::isfinite(*hi / *lo))
    return KkError{"the frequencies span " + format_compact(*lo) + " to " + format_compact(*hi) +
                   " Hz, a ratio beyond the range of double precision"};
  return std::nullopt;
}

// The power of two that brings the magnitudes |Z| to either side of 1: the
// exponent halfway between those of the smallest and the largest.
int centring_exponent(std::span<const Complex> z) {
  int low = 0;
  int high = 0;
  for (std::size_t i = 0; i < z.size(); ++i) {
    int e = 0;
    std::frexp(std::hypot(z[i].re, z[i].im), &e);
    low = i == 0 ? e : std::min(low, e);
    high = i == 0 ? e : std::max(high, e);
  }
  return low + (high - low) / 2;
}

}  // namespace

Expected<KkTest, KkError> parse_kk_test(std::string_view name) {
  if (name == "complex") return KkTest::complex;
  if (name == "real") return KkTest::real;
  if (name == "imaginary") return KkTest::imaginary;
  return unexpected(KkError{"unknown test " + quoted(name) + "; expected \"complex\", \"real\" or \"imaginary\""});
}

const char* kk_test_name(KkTest test) {
  switch (test) {
    case KkTest::complex: return "complex";
    case KkTest::real: return "real";
    case KkTest::imaginary: return "imaginary";
  }
  return "complex";
}

std::optional<KkError> check_kk_settings(const KkSettings& s) {
  if (!(s.c > 0.0 && s.c <= 1.0)) return KkError{"c must satisfy 0 < c <= 1, got " + format_compact(s.c)};
  if (!(std::isfinite(s.extension_decades) && s.extension_decades >= 0.0))
    return KkError{"extension_decades must be finite and >= 0, got " + format_compact(s.extension_decades)};
  if (!(s.poor_fit_factor > 1.0))
    return KkError{"poor_fit_factor must be > 1, got " + format_compact(s.poor_fit_factor)};
  return std::nullopt;
}

std::vector<double> kk_time_constants(double omega_min, double omega_max, std::size_t m, double extension_decades) {
  const double lo = std::log10(1.0 / omega_max) - extension_decades;
  const double hi = std::log10(1.0 / omega_min) + extension_decades;
  std::vector<double> tau(m);
  if (m == 1) {
    tau[0] = std::pow(10.0, 0.5 * (lo + hi));
    return tau;
  }
  for (std::size_t k = 0; k < m; ++k)
    tau[k] = std::pow(10.0, lo + static_cast<double>(k) / static_cast<double>(m - 1) * (hi - lo));
  return tau;
}

std::size_t kk_largest_m(std::size_t points, const KkSettings& s) {
  const std::size_t extra = (s.add_inductance ? 1 : 0) + (s.add_capacitance ? 1 : 0);
  std::size_t equations = points;
  std::size_t others = 0;
  switch (s.test) {
    case KkTest::complex:
      equations = 2 * points;
      others = 1 + extra;
      break;
    case KkTest::real: others = 1; break;
    case KkTest::imaginary: others = extra; break;
  }
  return equations > others ? equations - others : 0;
}

Expected<KkResult, KkError> lin_kk(std::span<const double> frequencies, std::span<const Complex> measured,
                                   const KkSettings& settings) {
  if (auto e = check_kk_settings(settings)) return unexpected(*e);
  if (auto e = check_data(frequencies, measured)) return unexpected(*e);
  const std::size_t n = frequencies.size();

  // The fit is posed on the impedances scaled by a power of two that centres
  // their magnitudes on 1, and its values are scaled back at the end.  The
  // scaling is exact, so the fit is the same as on the data in any unit,
  // also where the weights 1/|Z| or the resistances would otherwise leave
  // double precision (uniformly tiny or huge impedances).
  const int exponent = centring_exponent(measured);
  std::vector<Complex> scaled(n);
  for (std::size_t i = 0; i < n; ++i)
    scaled[i] = {std::ldexp(measured[i].re, -exponent), std::ldexp(measured[i].im, -exponent)};
  const std::span<const Complex> impedances(scaled);
  auto unscale = [exponent](double v) { return std::ldexp(v, exponent); };

  Data d{angular_frequencies(frequencies), std::vector<double>(n), impedances};
  for (std::size_t i = 0; i < n; ++i) d.weight[i] = 1.0 / std::hypot(impedances[i].re, impedances[i].im);
  const auto [omin, omax] = std::minmax_element(d.omega.begin(), d.omega.end());
  const double omega_min = *omin;
  const double omega_max = *omax;

  // A fit with more than half the elements the data determine matches the
  // part(s) it fits whatever the spectrum: near that limit a single-part
  // test interpolates its part and leaves the other to chance.  Neither the
  // default search nor the under-resolved guard below goes beyond half.
  // Points at the same frequency give proportional rows: only the distinct
  // frequencies count towards the elements the data determine.
  std::vector<double> sorted_omega = d.omega;
  std::sort(sorted_omega.begin(), sorted_omega.end());
  const auto distinct =
      static_cast<std::size_t>(std::unique(sorted_omega.begin(), sorted_omega.end()) - sorted_omega.begin());
  if (distinct < 3)
    return unexpected(KkError{"lin_kk needs at least 3 distinct frequencies, got " + std::to_string(distinct) +
                              " among " + count_text(n, "point")});
  const std::size_t largest = kk_largest_m(distinct, settings);
  const std::size_t half = std::max<std::size_t>(largest / 2, 1);
  const std::size_t requested = settings.max_m == 0 ? std::min(n, half) : settings.max_m;
  const std::size_t max_m = std::min(requested, largest);
  if (max_m == 0)
    return unexpected(KkError{"lin_kk cannot determine a fit from " + count_text(n, "point") + " with these settings"});

  // The first stage fits the Voigt elements together with the terms that
  // live in the same parts; the second (real and imaginary tests only)
  // fits the remaining terms to what the first leaves of the other part.
  const KkTest test = settings.test;
  const Rows rows{test != KkTest::imaginary, test != KkTest::real, n};
  const bool rs_first = rows.real;
  const bool l_first = settings.add_inductance && rows.imag;
  const bool c_first = settings.add_capacitance && rows.imag;

  std::vector<double> b;
  fill(rows, d, [&](std::size_t i) { return impedances[i]; }, b);

  HouseholderColumns qr(rows.count(), std::min<std::size_t>(max_m, 64) + 3);
  std::vector<double> column;
  auto term = [&](Complex (*unit)(double)) { return [&d, unit](std::size_t i) { return unit(d.omega[i]); }; };
  auto voigt_term = [&d](double t) { return [&d, t](std::size_t i) { return voigt(d.omega[i], t); }; };
  auto append_voigt = [&](double t) {
    fill(rows, d, voigt_term(t), column);
    qr.append(column);
  };
  // The columns besides the Voigt elements come first.
  auto start = [&] {
    qr.reset(b);
    if (rs_first) {
      fill(rows, d, term(unit_resistance), column);
      qr.append(column);
    }
    if (l_first) {
      fill(rows, d, term(unit_inductance), column);
      qr.append(column);
    }
    if (c_first) {
      fill(rows, d, term(unit_elastance), column);
      qr.append(column);
    }
  };
  start();
  const std::size_t first_voigt = qr.columns();

  // Fits M Voigt elements: fills tau, the solution x and the resistances r
  // in ascending order of tau, and returns the residual sum of squares.  The
  // two end time constants are the same for every M >= 2, so their columns
  // are factored once, behind a mark, and only the interior ones are
  // appended anew for each M.
  std::vector<double> x;
  std::vector<double> tau;
  std::vector<double> r;
  std::size_t fitted_m = 0;
  bool ends_marked = false;
  auto fit_m = [&](std::size_t m) {
    tau = kk_time_constants(omega_min, omega_max, m, settings.extension_decades);
    if (m <= 2 || !ends_marked) {
      start();
      ends_marked = false;
      if (m == 1) {
        append_voigt(tau[0]);
      } else {
        append_voigt(tau.front());
        append_voigt(tau.back());
        qr.mark();
        ends_marked = true;
      }
    } else {
      qr.rewind();
    }
    for (std::size_t k = 1; k + 1 < m; ++k) append_voigt(tau[k]);
    fitted_m = m;
    x.resize(qr.columns());
    qr.solve(x);
    // Columns hold tau_1, tau_m, then the interior ones.
    r.assign(m, 0.0);
    r[0] = x[first_voigt];
    if (m > 1) {
      r[m - 1] = x[first_voigt + 1];
      for (std::size_t k = 1; k + 1 < m; ++k) r[k] = x[first_voigt + 1 + k];
    }
    const double norm = qr.residual_norm();
    return norm * norm;
  };

  // mu and the residual sum of squares of each M tried, index M - 1.
  std::vector<double> mus;
  std::vector<double> squares;
  auto evaluate = [&](std::size_t m) {
    while (mus.size() < m) {
      squares.push_back(fit_m(mus.size() + 1));
      mus.push_back(mu_of(r));
    }
  };
  // A spectrum with a sharp arc (a single RC element is the sharpest) is
  // described by few Voigt elements only where a time constant falls close
  // to the arc's: in between, the fit rings with alternating resistances and
  // mu can dip below c while the residuals are tens of percent.  Such a fit
  // is under-resolved, not overfitted, and one with a few more elements
  // describes the spectrum far better; at the overfitting that mu is meant
  // to detect, more elements only take up noise.  So a fit is passed over
  // while one of the next m / 2 + 2 fits reduces its residual sum of squares
  // by more than poor_fit_factor, unless it already matches the data to
  // rounding.  Fits beyond half the determinable elements are no yardstick:
  // they match their part(s) to rounding on any spectrum.
  const double rounding = static_cast<double>(rows.count()) * 1e-18;
  auto poor = [&](std::size_t m) {
    const double own = squares[m - 1];
    if (!(own > rounding)) return false;
    const std::size_t last = std::min({max_m, half, m + m / 2 + 2});
    for (std::size_t k = m + 1; k <= last; ++k) {
      evaluate(k);
      if (squares[k - 1] * settings.poor_fit_factor < own) return true;
    }
    return false;
  };

  std::size_t chosen = max_m;
  for (std::size_t m = 1; m <= max_m; ++m) {
    evaluate(m);
    if (mus[m - 1] < settings.c && !poor(m)) {
      chosen = m;
      break;
    }
  }
  evaluate(chosen);
  if (fitted_m != chosen) fit_m(chosen);
  const double mu = mus[chosen - 1];

  KkResult out;
  out.m = r.size();
  out.mu = mu;
  out.resistances = r;
  out.time_constants = tau;
  out.frequencies.assign(frequencies.begin(), frequencies.end());
  std::size_t next = 0;
  double rs = rs_first ? x[next++] : 0.0;
  double l = l_first ? x[next++] : 0.0;
  double elastance = c_first ? x[next++] : 0.0;

  auto model = [&](double w) {
    Complex s{rs, 0.0};
    for (std::size_t k = 0; k < r.size(); ++k) s += r[k] * voigt(w, tau[k]);
    return s + l * unit_inductance(w) + elastance * unit_elastance(w);
  };

  // The second stage: the terms of the other part, fitted to what the first
  // stage leaves of it.
  const Rows other{!rows.real, !rows.imag, n};
  std::vector<std::size_t> second;  // 0: R_s, 1: L, 2: 1/C
  if (!rs_first) second.push_back(0);
  if (settings.add_inductance && !l_first) second.push_back(1);
  if (settings.add_capacitance && !c_first) second.push_back(2);
  if (!second.empty()) {
    std::vector<double> rest;
    fill(other, d,
         [&](std::size_t i) {
           const double w = d.omega[i];
           const Complex fit = model(w);
           return impedances[i] - fit;
         },
         rest);
    HouseholderColumns small(other.count(), second.size());
    small.reset(rest);
    for (std::size_t which : second) {
      if (which == 0) fill(other, d, term(unit_resistance), column);
      if (which == 1) fill(other, d, term(unit_inductance), column);
      if (which == 2) fill(other, d, term(unit_elastance), column);
      small.append(column);
    }
    std::vector<double> y(second.size());
    small.solve(y);
    for (std::size_t j = 0; j < second.size(); ++j) {
      if (second[j] == 0) rs += y[j];
      if (second[j] == 1) l += y[j];
      if (second[j] == 2) elastance += y[j];
    }
  }

  out.series_resistance = unscale(rs);
  if (settings.add_inductance) out.inductance = unscale(l);
  if (settings.add_capacitance) out.capacitance = 1.0 / unscale(elastance);
  for (double& v : out.resistances) v = unscale(v);
  out.impedance.resize(n);
  out.residuals_real.resize(n);
  out.residuals_imag.resize(n);
  double chi = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = d.omega[i];
    const Complex fit = model(w);
    out.impedance[i] = {unscale(fit.re), unscale(fit.im)};
    out.residuals_real[i] = (impedances[i].re - fit.re) * d.weight[i];
    out.residuals_imag[i] = (impedances[i].im - fit.im) * d.weight[i];
    chi += out.residuals_real[i] * out.residuals_real[i] + out.residuals_imag[i] * out.residuals_imag[i];
  }
  out.pseudo_chi_square = chi;
  const bool fit_finite = std::all_of(out.impedance.begin(), out.impedance.end(),
                                      [](const Complex& v) { return std::isfinite(v.re) && std::isfinite(v.im); });
  if (!std::isfinite(chi) || !fit_finite)
    return unexpected(KkError{"lin_kk: the fit with " + count_text(out.m, "Voigt element") +
                              " is not finite; the data may span too many decades of impedance"});
  return out;
}

}  // namespace kelvora::kk
