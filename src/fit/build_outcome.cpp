#include "fit/build_outcome.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/tree.h"
#include "fit/jacobian.h"
#include "fit/minpack/matrix_inverse.h"

namespace kelvora {
namespace {

// sigma_i = sqrt(S / (m - p) * (J^T J)^-1_ii), or nothing.
std::optional<std::vector<double>> standard_errors(const std::vector<double>& jac, std::size_t m, std::size_t p,
                                                   double sum_sq) {
  if (m <= p) return std::nullopt;
  std::vector<double> a(p * p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      const double* ci = jac.data() + i * m;
      const double* cj = jac.data() + j * m;
      double s = 0.0;
      for (std::size_t k = 0; k < m; ++k) s += ci[k] * cj[k];
      a[i * p + j] = s;
    }
  const auto inv = invert_matrix(a, p);
  if (!inv) return std::nullopt;
  const double variance = sum_sq / static_cast<double>(m - p);
  std::vector<double> sigma(p);
  for (std::size_t i = 0; i < p; ++i) sigma[i] = std::sqrt(variance * (*inv)[i * p + i]);
  return sigma;
}

}  // namespace

Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, const ResidualModel& model,
                                                  std::span<const double> params, bool success,
                                                  std::uint64_t iterations, EvaluationCounter& counter) {
  const auto bounds = param_bounds(circuit);
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

  FitOutcome out;
  out.standard_errors = standard_errors(jac, m, p, sum_sq);
  out.circuit = rebuild(circuit, x);
  out.names = param_names(out.circuit);
  out.cost = cost;
  out.chi_square = cost + cost;
  out.impedance_evals = counter.load();
  out.iterations = iterations;
  out.success = success;
  out.params = std::move(x);
  return out;
}

Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, std::span<const double> params,
                                                  bool success, std::uint64_t iterations,
                                                  std::span<const double> omega, std::span<const Complex> impedances,
                                                  std::span<const double> weights, EvaluationCounter& counter) {
  const ResidualModel model(circuit, {omega.begin(), omega.end()},
                            {impedances.begin(), impedances.begin() + static_cast<std::ptrdiff_t>(omega.size())},
                            {weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(omega.size())});
  return build_outcome(circuit, model, params, success, iterations, counter);
}

}  // namespace kelvora
