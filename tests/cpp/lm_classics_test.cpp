// The MINPACK solver on classic test problems (More, Garbow, Hillstrom 1981,
// "Testing unconstrained optimization software"), with analytic Jacobians,
// against their known minima and against the evaluation counts of the
// reference lmder (SciPy's leastsq with Dfun) on the same residual
// arithmetic and settings (ftol = xtol = 1e-10, gtol = 0, maxfev = 100 (n + 1)).
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "fit/minpack/lm_solver.h"

using namespace kelvora;

namespace {

int failures = 0;

void check(bool ok, const char* what, const char* problem) {
  if (!ok) {
    std::printf("FAIL %s: %s\n", problem, what);
    ++failures;
  }
}

bool close(double a, double b, double rel, double abs = 0.0) { return std::fabs(a - b) <= rel * std::fabs(b) + abs; }

struct Analytic final : LeastSquaresProblem {
  std::size_t m;
  std::function<void(const double*, double*)> f;
  std::function<void(const double*, double*)> jac;  // column-major m x n
  std::size_t residual_count() const override { return m; }
  void residuals(std::span<const double> x, std::span<double> out) override { f(x.data(), out.data()); }
  void jacobian(std::span<const double> x, std::span<double> out) override { jac(x.data(), out.data()); }
};

LmSettings reference_settings() {
  LmSettings s;
  s.ftol = 1e-10;
  s.xtol = 1e-10;
  s.gtol = 0.0;
  s.patience = 100;
  return s;
}

void rosenbrock() {
  Analytic p;
  p.m = 2;
  p.f = [](const double* x, double* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
  };
  p.jac = [](const double* x, double* j) {
    j[0] = -20.0 * x[0];
    j[1] = -1.0;
    j[2] = 10.0;
    j[3] = 0.0;
  };
  const auto rep = lm_minimize(p, {-1.2, 1.0}, reference_settings());
  check(rep.ending == LmEnding::ResidualsZero, "ends with zero residuals", "rosenbrock");
  check(rep.x[0] == 1.0 && rep.x[1] == 1.0, "minimum (1, 1)", "rosenbrock");
  // lmder: nfev 21, njev 16; its 16th Jacobian only serves the gradient
  // test that zero residuals make unnecessary here.
  check(rep.evaluations == 21, "21 function evaluations", "rosenbrock");
  check(rep.jacobian_evaluations == 15, "15 Jacobians", "rosenbrock");
}

void powell_singular() {
  Analytic p;
  p.m = 4;
  const double s5 = std::sqrt(5.0), s10 = std::sqrt(10.0);
  p.f = [=](const double* x, double* r) {
    r[0] = x[0] + 10.0 * x[1];
    r[1] = s5 * (x[2] - x[3]);
    r[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
    r[3] = s10 * ((x[0] - x[3]) * (x[0] - x[3]));
  };
  p.jac = [=](const double* x, double* j) {
    const double a = x[1] - 2.0 * x[2], b = x[0] - x[3];
    const double cols[4][4] = {{1, 0, 0, 2 * s10 * b}, {10, 0, 2 * a, 0}, {0, s5, -4 * a, 0}, {0, -s5, 0, -2 * s10 * b}};
    for (int c = 0; c < 4; ++c)
      for (int i = 0; i < 4; ++i) j[c * 4 + i] = cols[c][i];
  };
  const auto rep = lm_minimize(p, {3.0, -1.0, 0.0, 1.0}, reference_settings());
  // The Jacobian is singular at the minimum, so convergence is linear and
  // ends on the machine-precision gradient test (lmder info 8).
  check(minpack_info(rep.ending) == 8, "info 8", "powell");
  check(!is_success(rep.ending), "not a success", "powell");
  check(rep.residual_norm < 1e-30, "norm near 0", "powell");
  for (double v : rep.x) check(std::fabs(v) < 1e-15, "x near 0", "powell");
  check(rep.evaluations == 59 && rep.jacobian_evaluations == 58, "lmder counts 59 / 58", "powell");
}

void freudenstein_roth() {
  Analytic p;
  p.m = 2;
  p.f = [](const double* x, double* r) {
    r[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
    r[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
  };
  p.jac = [](const double* x, double* j) {
    j[0] = 1.0;
    j[1] = 1.0;
    j[2] = 10.0 * x[1] - 3.0 * x[1] * x[1] - 2.0;
    j[3] = 3.0 * x[1] * x[1] + 2.0 * x[1] - 14.0;
  };
  const auto rep = lm_minimize(p, {0.5, -2.0}, reference_settings());
  // From this start lmder finds the local minimum, ||f|| = 6.998875...
  check(rep.ending == LmEnding::ConvergedF, "ftol convergence", "freudenstein-roth");
  check(close(rep.residual_norm, 6.998875172431043, 1e-12), "local minimum norm", "freudenstein-roth");
  check(close(rep.x[0], 11.412778508459853, 1e-8) && close(rep.x[1], -0.8968050173091013, 1e-8), "local minimiser",
        "freudenstein-roth");
  check(rep.evaluations == 19 && rep.jacobian_evaluations == 12, "lmder counts 19 / 12", "freudenstein-roth");
}

void meyer() {
  static const double y[16] = {34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
                               8261,  7030,  6005,  5147,  4427,  3820,  3307,  2872};
  Analytic p;
  p.m = 16;
  p.f = [](const double* x, double* r) {
    for (int i = 0; i < 16; ++i) {
      const double t = 45.0 + 5.0 * (i + 1);
      r[i] = x[0] * std::exp(x[1] / (t + x[2])) - y[i];
    }
  };
  p.jac = [](const double* x, double* j) {
    for (int i = 0; i < 16; ++i) {
      const double t = 45.0 + 5.0 * (i + 1), d = t + x[2], e = std::exp(x[1] / d);
      j[i] = e;
      j[16 + i] = x[0] * e / d;
      j[32 + i] = -x[0] * x[1] * e / (d * d);
    }
  };
  const auto rep = lm_minimize(p, {0.02, 4000.0, 250.0}, reference_settings());
  check(is_success(rep.ending), "converges", "meyer");
  // Known minimum: sum of squares 87.9458...
  check(close(rep.residual_norm, 9.377945146485235, 1e-9), "minimum norm", "meyer");
  // Reference counts: lmder with the same residuals evaluated with the C
  // library's exp (a vectorised exp that differs in the last bit moves the
  // ending by one evaluation).
  check(close(rep.x[0], 0.005609636476947615, 1e-5) && close(rep.x[1], 6181.346345409443, 1e-6) &&
            close(rep.x[2], 345.22363459454857, 1e-6),
        "minimiser", "meyer");
  check(rep.ending == LmEnding::ConvergedX, "xtol convergence", "meyer");
  check(rep.evaluations == 127 && rep.jacobian_evaluations == 117, "lmder counts 127 / 117", "meyer");
}

void evaluation_limit() {
  // Meyer needs far more than patience 1 allows: at most n + 1 = 4 evaluations.
  static const double y[16] = {34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
                               8261,  7030,  6005,  5147,  4427,  3820,  3307,  2872};
  Analytic p;
  p.m = 16;
  p.f = [](const double* x, double* r) {
    for (int i = 0; i < 16; ++i) r[i] = x[0] * std::exp(x[1] / (50.0 + 5.0 * i + x[2])) - y[i];
  };
  p.jac = [](const double* x, double* j) {
    for (int i = 0; i < 16; ++i) {
      const double d = 50.0 + 5.0 * i + x[2], e = std::exp(x[1] / d);
      j[i] = e;
      j[16 + i] = x[0] * e / d;
      j[32 + i] = -x[0] * x[1] * e / (d * d);
    }
  };
  auto s = reference_settings();
  s.patience = 1;
  const auto rep = lm_minimize(p, {0.02, 4000.0, 250.0}, s);
  check(rep.ending == LmEnding::EvaluationLimit, "evaluation limit", "patience");
  check(rep.evaluations == 4, "exactly n + 1 evaluations", "patience");
}

void non_finite_start_and_zero_start() {
  Analytic p;
  p.m = 2;
  p.f = [](const double* x, double* r) {
    r[0] = std::log(x[0]);
    r[1] = x[1];
  };
  p.jac = [](const double* x, double* j) {
    j[0] = 1.0 / x[0];
    j[1] = 0.0;
    j[2] = 0.0;
    j[3] = 1.0;
  };
  auto rep = lm_minimize(p, {-1.0, 0.0}, reference_settings());
  check(rep.ending == LmEnding::NonFinite && rep.evaluations == 1 && rep.jacobian_evaluations == 0,
        "NaN start ends at once", "non-finite");
  rep = lm_minimize(p, {1.0, 0.0}, reference_settings());
  check(rep.ending == LmEnding::ResidualsZero && rep.evaluations == 1 && rep.jacobian_evaluations == 0,
        "exact start ends at once", "zero start");
}

void more_parameters_than_residuals() {
  // m = 1 < n = 2: the padded problem still converges onto the solution line.
  Analytic p;
  p.m = 1;
  p.f = [](const double* x, double* r) { r[0] = x[0] + 2.0 * x[1] - 3.0; };
  p.jac = [](const double*, double* j) {
    j[0] = 1.0;
    j[1] = 2.0;
  };
  const auto rep = lm_minimize(p, {10.0, -4.0}, reference_settings());
  check(is_success(rep.ending), "success", "m < n");
  check(rep.residual_norm < 1e-12, "on the solution line", "m < n");
}

}  // namespace

int main() {
  rosenbrock();
  powell_singular();
  freudenstein_roth();
  meyer();
  evaluation_limit();
  non_finite_start_and_zero_start();
  more_parameters_than_residuals();
  if (failures == 0) std::printf("lm_classics_test: all passed\n");
  return failures == 0 ? 0 : 1;
}
