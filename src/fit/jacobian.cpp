#include "fit/jacobian.h"

#include <cmath>
#include <limits>

#include "support/worker_pool.h"

namespace kelvora {
namespace {

// Below this many element evaluations per Jacobian the columns run on the
// calling thread: handing work to the pool costs more than it saves.  The
// arithmetic of a column does not depend on where it runs.
constexpr std::size_t kParallelWork = 16384;

// Computes columns [begin, end) into `out`; returns false when the
// parameter vector is too short (every column fails alike).
bool compute_columns(const ResidualModel& model, std::span<const double> params, EvaluationCounter& counter,
                     std::span<double> out, std::size_t begin, std::size_t end) {
  const std::size_t m = model.residual_count();
  std::vector<double> plus(params.begin(), params.end());
  std::vector<double> minus(params.begin(), params.end());
  std::vector<double> r_plus(m), r_minus(m);
  for (std::size_t k = begin; k < end; ++k) {
    const double h = central_difference_step(params[k]);
    plus[k] = params[k] + h;
    minus[k] = params[k] - h;
    const bool ok = !model.evaluate(plus, r_plus, counter) && !model.evaluate(minus, r_minus, counter);
    plus[k] = params[k];
    minus[k] = params[k];
    if (!ok) return false;
    double* column = out.data() + k * m;
    const double two_h = h + h;
    for (std::size_t j = 0; j < m; ++j) column[j] = (r_plus[j] - r_minus[j]) / two_h;
  }
  return true;
}

}  // namespace

double central_difference_step(double x) {
  // cbrt(eps) balances truncation error (O(h^2)) against rounding (O(eps/h)).
  static const double cbrt_eps = std::cbrt(std::numeric_limits<double>::epsilon());
  return cbrt_eps * std::fmax(std::fabs(x), 1e-8);
}

std::optional<InternalError> jacobian_columns_into(const ResidualModel& model, std::span<const double> params,
                                                   EvaluationCounter& counter, std::span<double> out) {
  const std::size_t p = params.size();
  if (p == 0) return std::nullopt;
  const std::size_t work = p * model.work_per_evaluation();
  if (work < kParallelWork) {
    if (!compute_columns(model, params, counter, out, 0, p)) return InternalError{kNotEnoughValues};
    return std::nullopt;
  }
  std::atomic<bool> failed{false};
  parallel_for(p, 1, [&](std::size_t begin, std::size_t end) {
    if (!compute_columns(model, params, counter, out, begin, end)) failed.store(true, std::memory_order_relaxed);
  });
  if (failed.load()) return InternalError{kNotEnoughValues};
  return std::nullopt;
}

Expected<std::vector<std::vector<double>>, InternalError> jacobian_columns(const ResidualModel& model,
                                                                           std::span<const double> params,
                                                                           EvaluationCounter& counter) {
  const std::size_t m = model.residual_count();
  std::vector<double> flat(m * params.size());
  if (auto error = jacobian_columns_into(model, params, counter, flat)) return unexpected(std::move(*error));
  std::vector<std::vector<double>> columns(params.size());
  for (std::size_t k = 0; k < params.size(); ++k)
    columns[k].assign(flat.begin() + static_cast<std::ptrdiff_t>(k * m),
                      flat.begin() + static_cast<std::ptrdiff_t>((k + 1) * m));
  return columns;
}

Expected<std::vector<std::vector<double>>, InternalError> jacobian_columns(const SeriesList& circuit,
                                                                           std::span<const double> params,
                                                                           std::span<const double> omega,
                                                                           std::span<const Complex> impedances,
                                                                           std::span<const double> weights,
                                                                           EvaluationCounter& counter) {
  const ResidualModel model(circuit, {omega.begin(), omega.end()},
                            {impedances.begin(), impedances.begin() + static_cast<std::ptrdiff_t>(omega.size())},
                            {weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(omega.size())});
  return jacobian_columns(model, params, counter);
}

}  // namespace kelvora
