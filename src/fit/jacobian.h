#pragma once
// Central-difference Jacobian of the residual vector.
//
// Column k, for the parameter vector x:
//   h   = cbrt(eps) * max(|x_k|, 1e-8)        (eps = 2^-52; a NaN |x_k| gives 1e-8)
//   J_k = (r(x + h e_k) - r(x - h e_k)) / (h + h)
// Each column costs two residual evaluations on the shared counter.  The
// columns run on the worker pool; each writes only its own slot, so the
// result is identical to a sequential evaluation whatever the scheduling.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/node.h"
#include "fit/evaluation_counter.h"
#include "fit/residuals.h"
#include "support/complex.h"
#include "support/expected.h"
#include "support/internal_error.h"

namespace kelvora {

// The finite-difference step for a parameter of value x.
double central_difference_step(double x);

// Column-major: column k (k < params.size()) occupies
// out[k * m, (k + 1) * m) with m = model.residual_count().
std::optional<InternalError> jacobian_columns_into(const ResidualModel& model, std::span<const double> params,
                                                   EvaluationCounter& counter, std::span<double> out);

// One column per entry of `params`, each of 2n values, in parameter order.
Expected<std::vector<std::vector<double>>, InternalError> jacobian_columns(const SeriesList& circuit,
                                                                           std::span<const double> params,
                                                                           std::span<const double> omega,
                                                                           std::span<const Complex> impedances,
                                                                           std::span<const double> weights,
                                                                           EvaluationCounter& counter);
Expected<std::vector<std::vector<double>>, InternalError> jacobian_columns(const ResidualModel& model,
                                                                           std::span<const double> params,
                                                                           EvaluationCounter& counter);

}  // namespace kelvora
