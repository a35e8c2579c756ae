#include "fit/lm/lm_problem.h"

#include <algorithm>
#include <stdexcept>

#include "fit/jacobian.h"

namespace kelvora {

LmProblem::LmProblem(const ResidualModel& model, ParamBounds bounds, std::vector<bool> pinned, std::vector<double> z,
                     EvaluationCounter& counter)
    : model_(model), bounds_(std::move(bounds)), pinned_(std::move(pinned)), z_(std::move(z)), counter_(counter) {}

void LmProblem::residuals(std::span<const double> z, std::span<double> out) {
  set_params(z);
  const std::vector<double> x = physical();
  // The fit takes the search vector and the model from the same circuit, so
  // the evaluation cannot run short: if it did, an invariant is broken.
  if (auto error = model_.evaluate(x, out, counter_)) throw std::logic_error(error->message);
}

void LmProblem::jacobian(std::span<const double> z, std::span<double> out) {
  set_params(z);
  const std::vector<double> x = physical();
  const std::size_t m = model_.residual_count();
  if (auto error = jacobian_columns_into(model_, x, counter_, out)) throw std::logic_error(error->message);
  for (std::size_t k = 0; k < x.size(); ++k) {
    double* column = out.data() + k * m;
    if (k < pinned_.size() && pinned_[k]) {
      std::fill(column, column + m, 0.0);
    } else if (k < bounds_.size() && is_open_bound(bounds_[k])) {
      // Chain rule for x = 10^z + lower.
      const double dx = x[k] - bounds_[k].first;
      for (std::size_t j = 0; j < m; ++j) column[j] = column[j] * dx * kLn10;
    }
  }
}

}  // namespace kelvora
