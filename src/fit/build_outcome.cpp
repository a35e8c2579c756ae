#include "fit/build_outcome.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/tree.h"
#include "fit/jacobian.h"
#include "fit/minpack/matrix_inverse.h"

namespace kelvora {
namespace {

// Whether the finite p x p matrix a = J^T J is singular to the precision of
// a finite-difference Jacobian.  Scaled to a unit diagonal, A_ij / sqrt(A_ii
// A_jj), its Cholesky pivots are 1 - R^2 of each column against the ones
// before it.  A column that another combination reproduces (R0-R1: only the
// sum shows) leaves a pivot of rounding size, of either sign, and the
// inverse is noise: huge, negative or zero variances.  A pivot below 1e-10
// is a condition number above ten orders, beyond the accuracy of the
// central differences (about eps^(2/3) ~ 4e-11), so no digit of the inverse
// would be right.  A zero diagonal (a column without effect) is singular too.
// A matrix with a non-finite entry is not judged here.
bool numerically_singular(const std::vector<double>& a, std::size_t p) {
  constexpr double kMinPivot = 1e-10;
  for (double v : a)
    if (!std::isfinite(v)) return false;
  std::vector<double> d(p);
  for (std::size_t i = 0; i < p; ++i) {
    if (!(a[i * p + i] > 0.0)) return true;
    d[i] = std::sqrt(a[i * p + i]);
  }
  std::vector<double> l(p * p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) l[i * p + j] = a[i * p + j] / (d[i] * d[j]);
  for (std::size_t k = 0; k < p; ++k) {
    const double pivot = l[k * p + k];
    if (!(pivot > kMinPivot)) return true;
    for (std::size_t i = k + 1; i < p; ++i)
      for (std::size_t j = k + 1; j < p; ++j) l[i * p + j] -= l[i * p + k] * l[k * p + j] / pivot;
  }
  return false;
}

// C = S / (m - p) * (J^T J)^-1 over the columns listed in `free` (p of
// them), written into a full-size matrix with zero rows and columns for the
// other parameters; or nothing when m <= p or J^T J is singular, exactly or
// to the precision of the Jacobian (numerically_singular), or when a free
// column is not finite at finite residuals (S finite): the difference step
// of the parameter left the numbers (a value of infinity, or next to it,
// where an open parameter such as a Gs length no longer shows in the
// spectrum) or its derivative is infinite, and no error can be measured for
// it.  With residuals that are not finite the statistics stay what the
// arithmetic gives (NaN), as the cost does.
std::optional<std::vector<double>> covariance(const std::vector<double>& all_columns, std::size_t m,
                                              const std::vector<std::size_t>& free, std::size_t total,
                                              double sum_sq) {
  const std::size_t p = free.size();
  if (m <= p) return std::nullopt;
  if (p == 0) return std::vector<double>(total * total, 0.0);  // everything fixed
  std::vector<double> jac(m * p);
  for (std::size_t i = 0; i < p; ++i)
    std::copy_n(all_columns.begin() + static_cast<std::ptrdiff_t>(free[i] * m), m,
                jac.begin() + static_cast<std::ptrdiff_t>(i * m));
  if (std::isfinite(sum_sq) && !std::all_of(jac.begin(), jac.end(), [](double v) { return std::isfinite(v); }))
    return std::nullopt;
  std::vector<double> a(p * p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      const double* ci = jac.data() + i * m;
      const double* cj = jac.data() + j * m;
      double s = 0.0;
      for (std::size_t k = 0; k < m; ++k) s += ci[k] * cj[k];
      a[i * p + j] = s;
    }
  if (numerically_singular(a, p)) return std::nullopt;
  const auto inv = invert_matrix(a, p);
  if (!inv) return std::nullopt;
  const double variance = sum_sq / static_cast<double>(m - p);
  std::vector<double> c(total * total, 0.0);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) c[free[i] * total + free[j]] = variance * (*inv)[i * p + j];
  return c;
}

}  // namespace

Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, const ResidualModel& model,
                                                  std::span<const double> params, bool success,
                                                  std::uint64_t iterations, EvaluationCounter& counter,
                                                  const ParamConstraints* constraints) {
  const auto bounds = constraints ? constraints->bounds : param_bounds(circuit);
  const std::size_t p = std::min(params.size(), bounds.size());
  std::vector<double> x(params.begin(), params.begin() + static_cast<std::ptrdiff_t>(p));
  for (std::size_t i = 0; i < p; ++i) {
    const auto [lo, hi] = bounds[i];
    if (!(lo <= hi)) return unexpected(InternalError{"parameter bounds must be ordered and not NaN"});
    // A NaN value stays NaN.
    if (x[i] < lo) x[i] = lo;
    if (x[i] > hi) x[i] = hi;
  }

  const std::size_t m = model.residual_count();
  std::vector<double> r(m);
  if (auto error = model.evaluate(x, r, counter)) return unexpected(std::move(*error));
  double sum_sq = 0.0;
  for (double v : r) sum_sq += v * v;
  const double cost = 0.5 * sum_sq;

  std::vector<double> jac(m * p);
  if (auto error = jacobian_columns_into(model, x, counter, jac)) return unexpected(std::move(*error));

  std::vector<std::size_t> free;
  for (std::size_t i = 0; i < p; ++i)
    if (!constraints || i >= constraints->fixed.size() || !constraints->fixed[i]) free.push_back(i);

  FitOutcome out;
  out.covariance = covariance(jac, m, free, p, sum_sq);
  if (out.covariance) {
    // sigma_i = sqrt(C_ii): a negative diagonal entry gives NaN, a fixed parameter 0.
    std::vector<double> sigma(p);
    for (std::size_t i = 0; i < p; ++i) sigma[i] = std::sqrt((*out.covariance)[i * p + i]);
    out.standard_errors = std::move(sigma);
  }
  out.residuals = std::move(r);
  out.circuit = rebuild(circuit, x);
  out.names = param_names(out.circuit);
  out.cost = cost;
  out.chi_square = cost + cost;
  out.impedance_evals = counter.load();
  out.iterations = iterations;
  out.success = success && std::isfinite(cost);  // a cost that is no number is no minimum found
  out.params = std::move(x);
  return out;
}

Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, std::span<const double> params,
                                                  bool success, std::uint64_t iterations,
                                                  std::span<const double> omega, std::span<const Complex> impedances,
                                                  std::span<const double> weights, EvaluationCounter& counter,
                                                  const ParamConstraints* constraints) {
  const ResidualModel model(circuit, {omega.begin(), omega.end()},
                            {impedances.begin(), impedances.begin() + static_cast<std::ptrdiff_t>(omega.size())},
                            {weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(omega.size())});
  return build_outcome(circuit, model, params, success, iterations, counter, constraints);
}

}  // namespace kelvora
