#pragma once
// The common ending of every fitting method: clamp the final vector into the
// parameter bounds and compute the fit statistics there.
#include <cstdint>
#include <span>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/evaluation_counter.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"
#include "support/complex.h"
#include "support/expected.h"
#include "support/internal_error.h"

namespace kelvora {

// cost = 0.5 S and chi_square = S with S = sum r^2 at the clamped vector;
// standard errors sigma_i = sqrt(S / (m - p) * (J^T J)^-1_ii) with m = 2n
// residuals and p parameters, none when m <= p or J^T J is singular, exactly
// or to the precision of the finite-difference Jacobian, or when the
// residuals are finite but a free parameter's Jacobian column is not (a value
// at infinity, whose difference step leaves the numbers).  Costs
// 1 + 2p evaluations on `counter`, which is then read as impedance_evals.
// The outcome's success is `success`, unless the cost is not a number.
// Fails only on a broken invariant (unordered or NaN bounds, a vector too
// short for the circuit).  With constraints their bounds clamp, and the
// statistics cover the free parameters: fixed ones get a zero standard error
// and zero covariance rows, and p counts the free parameters.
Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, std::span<const double> params,
                                                  bool success, std::uint64_t iterations,
                                                  std::span<const double> omega, std::span<const Complex> impedances,
                                                  std::span<const double> weights, EvaluationCounter& counter,
                                                  const ParamConstraints* constraints = nullptr);

// The same with the circuit already compiled against its spectrum.
Expected<FitOutcome, InternalError> build_outcome(const SeriesList& circuit, const ResidualModel& model,
                                                  std::span<const double> params, bool success,
                                                  std::uint64_t iterations, EvaluationCounter& counter,
                                                  const ParamConstraints* constraints = nullptr);

}  // namespace kelvora
