// The column-wise Householder least squares and the linear Kramers-Kronig
// test on problems with known answers.
#include <cmath>
#include <vector>

#include "check.h"
#include "fit/angular_frequency.h"
#include "kk/householder_columns.h"
#include "kk/lin_kk.h"

using kelvora::Complex;
using kelvora::kk::HouseholderColumns;
using test::check;

namespace {

bool close(double a, double b, double tol) { return std::fabs(a - b) <= tol * (1.0 + std::fabs(b)); }

// Columns a_j[i] = ((i + 1) / 10)^j on 7 rows, b = A x_true: the solution is x_true.
void ExactSystemIsSolved() {
  const std::size_t rows = 7;
  const std::vector<double> x_true{2.0, -1.0, 0.5};
  std::vector<std::vector<double>> a(3, std::vector<double>(rows));
  std::vector<double> b(rows, 0.0);
  for (std::size_t j = 0; j < 3; ++j)
    for (std::size_t i = 0; i < rows; ++i) {
      a[j][i] = std::pow(static_cast<double>(i + 1) / 10.0, static_cast<double>(j));
      b[i] += a[j][i] * x_true[j];
    }
  HouseholderColumns qr(rows, 1);  // grows past the expected column count
  qr.reset(b);
  for (const auto& col : a) check(qr.append(col), "independent column is kept");
  std::vector<double> x(3);
  qr.solve(x);
  for (std::size_t j = 0; j < 3; ++j) check(close(x[j], x_true[j], 1e-12), "exact solution recovered");
}

// A column equal to twice another is dependent: it is dropped with coefficient
// 0 and the others still fit.
void DependentColumnGetsZero() {
  const std::vector<double> c0{1, 1, 1, 1}, c1{1, 2, 3, 4}, c2{2, 4, 6, 8}, b{3, 5, 7, 9};
  HouseholderColumns qr(4, 3);
  qr.reset(b);
  check(qr.append(c0), "first column kept");
  check(qr.append(c1), "second column kept");
  check(!qr.append(c2), "multiple of a kept column dropped");
  std::vector<double> x(3);
  qr.solve(x);
  check(close(x[0], 1.0, 1e-12) && close(x[1], 2.0, 1e-12) && x[2] == 0.0, "b = 1 + 2 i fitted without the copy");
}

// Rewinding to a mark and appending gives what a fresh factorisation gives.
void RewindMatchesFreshFactorisation() {
  const std::vector<double> c0{1, 1, 1, 1, 1}, c1{0, 1, 0, 2, 1}, c2{3, 1, 4, 1, 5}, c3{1, 0, 0, 1, 2};
  const std::vector<double> b{1, 2, 0, 3, 1};
  HouseholderColumns qr(5, 3);
  qr.reset(b);
  qr.append(c0);
  qr.mark();
  qr.append(c1);
  qr.rewind();
  qr.append(c2);
  qr.append(c3);
  std::vector<double> x(3);
  qr.solve(x);
  HouseholderColumns fresh(5, 3);
  fresh.reset(b);
  fresh.append(c0);
  fresh.append(c2);
  fresh.append(c3);
  std::vector<double> y(3);
  fresh.solve(y);
  for (std::size_t j = 0; j < 3; ++j) check(close(x[j], y[j], 1e-14), "rewound solution equals the fresh one");
}

// Data of R_s plus Voigt elements at exactly the time constants the test
// uses for M = 3 is fitted exactly at M = 3, by each of the three tests.  A
// tiny c lets the search run on to max_m = 3 whatever mu the smaller M give.
void VoigtDataFitExactly() {
  const std::vector<double> f{1e4, 3e3, 1e3, 300, 100, 30, 10, 3, 1, 0.3, 0.1};
  const double w_max = 1e4 * kelvora::kTwoPi, w_min = 0.1 * kelvora::kTwoPi;
  const auto tau = kelvora::kk::kk_time_constants(w_min, w_max, 3, 0.0);
  check(close(tau[0], 1.0 / w_max, 1e-14) && close(tau[2], 1.0 / w_min, 1e-14), "end time constants");
  const double r[3] = {1.0, 4.0, 2.0};
  std::vector<Complex> z;
  for (double fi : f) {
    const double w = fi * kelvora::kTwoPi;
    Complex s{0.5, 0.0};
    for (int k = 0; k < 3; ++k) s += r[k] / Complex{1.0, w * tau[static_cast<std::size_t>(k)]};
    z.push_back(s);
  }
  kelvora::kk::KkSettings settings;
  settings.max_m = 3;
  settings.c = 1e-12;
  settings.add_inductance = false;
  for (auto t : {kelvora::kk::KkTest::complex, kelvora::kk::KkTest::real, kelvora::kk::KkTest::imaginary}) {
    settings.test = t;
    auto result = kelvora::kk::lin_kk(f, z, settings);
    check(result.has_value(), "test runs");
    if (!result) continue;
    check(result->m == 3, "runs on to max_m");
    check(close(result->series_resistance, 0.5, 1e-9), "series resistance recovered");
    for (int k = 0; k < 3; ++k) check(close(result->resistances[static_cast<std::size_t>(k)], r[k], 1e-9), "R_k recovered");
    check(result->pseudo_chi_square < 1e-20, "exact data leave no residual");
  }
}

void BadInputIsAnError() {
  const std::vector<double> f{1.0, 2.0, 3.0};
  const std::vector<Complex> z{{1, -1}, {1, -1}, {1, -1}};
  kelvora::kk::KkSettings s;
  s.c = 0.0;
  check(!kelvora::kk::lin_kk(f, z, s).has_value(), "c = 0 refused");
  s.c = 0.85;
  check(!kelvora::kk::lin_kk(std::vector<double>{1.0, 2.0}, std::vector<Complex>{{1, 0}, {1, 0}}, s).has_value(),
        "two points refused");
  check(!kelvora::kk::lin_kk(std::vector<double>{1.0, NAN, 3.0}, z, s).has_value(), "NaN frequency refused");
  check(!kelvora::kk::lin_kk(f, std::vector<Complex>{{1, 0}, {0, 0}, {1, 0}}, s).has_value(), "zero impedance refused");
  check(!kelvora::kk::parse_kk_test("both").has_value(), "unknown test refused");
}

}  // namespace

int main() {
  ExactSystemIsSolved();
  DependentColumnGetsZero();
  RewindMatchesFreshFactorisation();
  VoigtDataFitExactly();
  BadInputIsAnError();
  return test::finish();
}
