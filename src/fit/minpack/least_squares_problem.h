#pragma once
// What the Levenberg-Marquardt solver minimises: 0.5 ||f(x)||^2 for a
// residual function f: R^n -> R^m and its Jacobian.
#include <cstddef>
#include <span>

namespace kelvora {

class LeastSquaresProblem {
 public:
  virtual ~LeastSquaresProblem() = default;

  // m, the length of the residual vector.
  virtual std::size_t residual_count() const = 0;

  // f(x) into `out` (residual_count() entries).  Non-finite values are
  // allowed; the solver treats them as a failed step.
  virtual void residuals(std::span<const double> x, std::span<double> out) = 0;

  // The m x n Jacobian df/dx at x, column-major: column j at
  // out[j * m, (j + 1) * m).  Must not depend on earlier calls.
  virtual void jacobian(std::span<const double> x, std::span<double> out) = 0;
};

}  // namespace kelvora
