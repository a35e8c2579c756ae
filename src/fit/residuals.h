#pragma once
// The weighted residual vector of a circuit against a measured spectrum.
//
// For n points the vector holds 2n doubles, interleaved:
//   r[2i]   = (Re Zm(w_i) - Re Z_i) / weight_i
//   r[2i+1] = (Im Zm(w_i) - Im Z_i) / weight_i
// model minus measurement.  Every method minimises half the sum of squares.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/node.h"
#include "fit/evaluation_counter.h"
#include "support/complex.h"
#include "support/expected.h"
#include "support/internal_error.h"

namespace kelvora {

// A circuit compiled once together with the spectrum it is compared with.
// Read-only after construction, so any number of threads may evaluate it.
class ResidualModel {
 public:
  // `impedances` and `weights` must be at least as long as `omega`.
  ResidualModel(const SeriesList& circuit, std::vector<double> omega, std::vector<Complex> impedances,
                std::vector<double> weights);

  std::size_t point_count() const { return omega_.size(); }
  std::size_t residual_count() const { return 2 * omega_.size(); }
  std::size_t param_count() const { return plan_.param_count(); }
  // Rough number of element evaluations per residual vector, for choosing
  // whether parallel work is worth its synchronisation.
  std::size_t work_per_evaluation() const { return omega_.size() * (plan_.leaf_count() + 1); }

  // Adds 1 to `counter` before anything else, then fills r (residual_count()
  // entries).  Fails with the not-enough-values error when `params` is
  // shorter than the circuit's parameter count; extra entries are ignored.
  // Throws FitCancelled when the fit on this thread is asked to stop
  // (cancellation.h).
  std::optional<InternalError> evaluate(std::span<const double> params, std::span<double> r,
                                        EvaluationCounter& counter) const;

 private:
  ImpedancePlan plan_;
  std::vector<double> omega_;
  std::vector<Complex> impedances_;
  std::vector<double> weights_;
};

// The residual vector at `params` (building the plan for this one call).
Expected<std::vector<double>, InternalError> residuals(const SeriesList& circuit, std::span<const double> params,
                                                       std::span<const double> omega,
                                                       std::span<const Complex> impedances,
                                                       std::span<const double> weights, EvaluationCounter& counter);

// Half the sum of squares, 0.5 * sum r_k^2.
double half_sum_of_squares(std::span<const double> r);

}  // namespace kelvora
