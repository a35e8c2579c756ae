#pragma once
// The solver's view of the problem: residual evaluations with MINPACK's
// function-evaluation count (nfev) and their Euclidean norm.
#include <cstdint>
#include <span>
#include <vector>

#include "fit/minpack/enorm.h"
#include "fit/minpack/least_squares_problem.h"

namespace kelvora {

class LmEvaluator {
 public:
  explicit LmEvaluator(LeastSquaresProblem& problem) : problem_(problem) {}

  // f(x) into `out`, counted; returns ||f(x)||.
  double evaluate(std::span<const double> x, std::span<double> out) {
    ++evaluations_;
    problem_.residuals(x, out);
    return enorm(out.size(), out.data());
  }

  // J(x), not counted as a function evaluation (MINPACK counts it as njev).
  void jacobian(std::span<const double> x, std::span<double> out) {
    ++jacobians_;
    problem_.jacobian(x, out);
  }

  std::uint64_t evaluations() const { return evaluations_; }
  std::uint64_t jacobians() const { return jacobians_; }

 private:
  LeastSquaresProblem& problem_;
  std::uint64_t evaluations_ = 0;
  std::uint64_t jacobians_ = 0;
};

}  // namespace kelvora
