#pragma once
// The least-squares problem of one Levenberg-Marquardt run over a circuit,
// in search coordinates (see coordinate_mapping.h).
#include <span>
#include <vector>

#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/minpack/least_squares_problem.h"
#include "fit/residuals.h"

namespace kelvora {

class LmProblem final : public LeastSquaresProblem {
 public:
  // `pinned[i]` freezes parameter i: its Jacobian column is zero, so no
  // step ever changes it.  `model` and `counter` must outlive the problem.
  LmProblem(const ResidualModel& model, ParamBounds bounds, std::vector<bool> pinned, std::vector<double> z,
            EvaluationCounter& counter);

  void set_params(std::span<const double> z) { z_.assign(z.begin(), z.end()); }
  const std::vector<double>& params() const { return z_; }
  // The current search vector mapped to parameter values.
  std::vector<double> physical() const { return to_physical(z_, bounds_); }

  std::size_t residual_count() const override { return model_.residual_count(); }
  // r(physical(z)); one evaluation on the counter.  A z shorter than the
  // circuit's parameters is a broken invariant: both throw std::logic_error.
  void residuals(std::span<const double> z, std::span<double> out) override;
  // dr/dz: the parameter-space columns at x = physical(z) (2p evaluations,
  // on the worker pool), column k times dx_k/dz_k = (x_k - lower_k) ln 10
  // for open parameters, zero for pinned ones.
  void jacobian(std::span<const double> z, std::span<double> out) override;

 private:
  const ResidualModel& model_;
  ParamBounds bounds_;
  std::vector<bool> pinned_;
  std::vector<double> z_;
  EvaluationCounter& counter_;
};

}  // namespace kelvora
