#pragma once
// Levenberg-Marquardt minimisation of 0.5 ||f(x)||^2: MINPACK's lmder
// (More, Garbow, Hillstrom, Argonne 1980; More 1978, "The Levenberg-Marquardt
// algorithm: implementation and theory"), with scaling mode 1 (variables
// scaled by the Jacobian column norms, D_j = max over iterations of ||J_j||).
//
// Each outer iteration factors the Jacobian, J P = Q R; the inner loop finds
// a step p inside the trust region ||D p|| <= delta (lm_parameter), evaluates
// f(x + p) and adapts delta from the ratio of actual to predicted reduction
// until a step reduces the sum of squares enough to be accepted.
//
// Beyond lmder the loop stops early, without success, on non-finite values
// (so NaN never propagates into the step), and with success as soon as the
// residuals vanish, without computing another Jacobian.  When m < n the
// Jacobian and residuals are padded with zero rows to n rows, which leaves
// the problem unchanged.
#include <cstdint>
#include <span>
#include <vector>

#include "fit/minpack/least_squares_problem.h"
#include "fit/minpack/lm_settings.h"

namespace kelvora {

enum class LmEnding {
  ResidualsZero,    // ||f|| <= DBL_MIN: nothing left to reduce
  Orthogonal,       // max_j |J_j^T f| / (||J_j|| ||f||) <= gtol             (lmder info 4)
  ConvergedF,       // |actred| <= ftol and prered <= ftol and ratio <= 2   (info 1)
  ConvergedX,       // delta <= xtol ||D x||                                (info 2)
  ConvergedFX,      // both of the above                                    (info 3)
  EvaluationLimit,  // nfev >= patience (n + 1)                              (info 5)
  NoImprovementF,   // the ftol test holds with machine epsilon              (info 6)
  NoImprovementX,   // the xtol test holds with machine epsilon              (info 7)
  NoImprovementG,   // gnorm <= machine epsilon                              (info 8)
  NonFinite,        // ||f|| at the start, the scaled gradient, ||D x||, ||D p|| or the predicted reduction not finite
  NoParameters,     // n == 0
  NoResiduals,      // m == 0
};

// ResidualsZero, Orthogonal and the three Converged endings.
bool is_success(LmEnding ending);
// lmder's info code for the ending (0 for the endings lmder does not have;
// ResidualsZero is reported as 4, where lmder's gradient test would end).
int minpack_info(LmEnding ending);

struct LmSolverReport {
  std::vector<double> x;                 // the last accepted point
  LmEnding ending = LmEnding::NoParameters;
  std::uint64_t evaluations = 0;         // nfev: the start point plus one per trial step
  std::uint64_t jacobian_evaluations = 0;
  double residual_norm = 0.0;            // ||f(x)||
};

// The tolerances must be >= 0 (settings.validate()); patience 0 acts as 1.
LmSolverReport lm_minimize(LeastSquaresProblem& problem, std::vector<double> x0, const LmSettings& settings);

}  // namespace kelvora
