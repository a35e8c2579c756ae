#pragma once
// What the global searches share: the search problem (spectrum, bounds,
// start point and cost), the search box, the best-point rule and run_search,
// the one path from a fit's inputs through a search loop to the polish.
//
// The searches work in the search coordinates of coordinate_mapping.h
// (linear for a finite upper bound, decades of the distance from the lower
// bound otherwise).  Neither direction clamps: a linear coordinate may leave
// its bounds during a search, while a log coordinate can never fall below its
// lower bound.  Search vectors have min(bounds, values) entries.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/node.h"
#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/fit_error.h"
#include "fit/fit_inputs.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"
#include "support/expected.h"

namespace kelvora {

// The box the particle swarm and differential evolution sample, in search
// coordinates, one entry per parameter (the shorter of the two inputs):
//   finite upper bound: [lo, hi] unchanged;
//   otherwise, with a = max(|x|, 1e-6) (a NaN |x| counts as 1e-6):
//     lower = log10(max(max(a * 1e-4, lo) - lo, 1e-300))
//     upper = log10(max(a * 1e4 - lo, 1e-300))
//   i.e. four decades either side of the start value's magnitude for lo = 0.
// The maximum of a number and NaN is the number (fmax).
struct SearchBox {
  std::vector<double> lower;
  std::vector<double> upper;
};
SearchBox pso_search_box(const ParamBounds& bounds, std::span<const double> start);

// Index of the first box coordinate that cannot be sampled, or nothing: a
// coordinate is refused when an end or the width hi - lo is infinite or NaN
// (only a linear parameter with an infinite lower bound can produce one) or
// when the ends are inverted.  `strict` also refuses lower == upper, which
// the single-precision differential evolution has no draw for.
std::optional<std::size_t> unusable_box_coordinate(const SearchBox& box, bool strict);

// The problem every search minimises: the circuit compiled once with the
// spectrum, the bounds and start point cut to n = min(bounds, values)
// entries, and the fit's impedance-evaluation counter.  With constraints
// (FitInputs) the bounds are theirs, and bounds, start and search vectors
// cover the free parameters only: the fixed ones keep their start values,
// so no search ever moves them.
//   cost(z) = 1/2 * sum_k r_k(x)^2,  x = to_physical(z)
// with r the weighted residual vector; every call adds one evaluation to the
// counter.  Non-finite residuals give a non-finite cost, used as it is.  Not
// thread-safe (one scratch buffer); the searches evaluate one point at a
// time on the calling thread.
class SearchProblem {
 public:
  // `inputs` must have passed validate_fit_inputs and outlive the problem.
  explicit SearchProblem(const FitInputs& inputs);
  SearchProblem(const SearchProblem&) = delete;
  SearchProblem& operator=(const SearchProblem&) = delete;

  // A search vector of fewer than param_count(circuit) entries is a broken
  // invariant (run_search checks the bounds cover the circuit before any
  // search starts) and throws std::logic_error.
  double cost(std::span<const double> z);
  // cost() as the search loops take it; the problem must outlive it.
  std::function<double(std::span<const double>)> cost_function() {
    return [this](std::span<const double> z) { return cost(z); };
  }

  const FitInputs& inputs() const { return inputs_; }
  const SeriesList& circuit() const { return inputs_.circuit; }
  const ParamBounds& bounds() const { return bounds_; }
  const std::vector<double>& start() const { return start_; }      // parameter values
  const std::vector<double>& start_z() const { return start_z_; }  // search coordinates
  SearchBox box() const { return pso_search_box(bounds_, start_); }
  // Whether the bounds cover every parameter of the circuit.
  bool covers_circuit() const { return full_start_.size() >= param_total_; }
  // The parameter index of search coordinate k.
  std::size_t param_index(std::size_t k) const { return k < free_.size() ? free_[k] : k; }
  // A search vector mapped to every parameter's value.
  std::vector<double> physical(std::span<const double> z) const;
  std::span<const double> omega() const { return omega_; }
  std::span<const double> weights() const { return weights_; }
  const ResidualModel& model() const { return model_; }
  EvaluationCounter& counter() { return counter_; }

 private:
  const FitInputs& inputs_;
  std::vector<double> omega_;
  std::vector<double> weights_;
  ParamBounds bounds_;
  std::vector<double> start_;
  std::vector<double> start_z_;
  ResidualModel model_;
  EvaluationCounter counter_{0};
  std::vector<double> full_start_;   // every parameter's start value (n entries)
  std::vector<std::size_t> free_;    // the searched parameters' indices
  std::size_t param_total_ = 0;      // param_count(circuit)
  std::vector<double> x_;  // scratch: the mapped parameter values
  std::vector<double> r_;  // scratch: the residual vector
};

// A cost function over search coordinates, as the search loops see it.
using SearchCost = std::function<double(std::span<const double>)>;

// What a search loop hands on: its best point in search coordinates, its
// own iteration count and why it stopped.
struct SearchResult {
  std::vector<double> best;
  std::uint64_t iterations = 0;
  FitEnding ending = FitEnding::NoParameters;
};

// A search loop's result, or a Solver error saying why it has none.
using SearchExpected = Expected<SearchResult, FitError>;

// The best-point rule of every search: a point becomes the best when its cost
// is strictly below the best cost, or when both are infinite with the same
// sign.  A NaN cost never becomes best; the best cost starts at +inf, so an
// infinite cost can.
bool replaces_best(double cost, double best_cost);

// The best point a search has seen, kept by replaces_best.
struct BestPoint {
  std::vector<double> position;
  double cost = std::numeric_limits<double>::infinity();
  bool recorded = false;

  void offer(const std::vector<double>& z, double c) {
    if (replaces_best(c, cost)) {
      position = z;
      cost = c;
      recorded = true;
    }
  }

  // The end of a search loop: `result` with the best point moved in, or the
  // Solver error "{search} found no best position" when none was recorded.
  Expected<SearchResult, FitError> finish(SearchResult result, std::string_view search);
};

// Ascending by cost for a stable sort, NaN costs after everything else.  For
// non-NaN costs this is the plain strict less-than; placing NaN last keeps
// the ordering a strict weak order.
inline bool cost_less(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

// A Solver error carrying `text` ("solver error: {text}" in Python).
FitError search_error(std::string text);

// Names the parameter of a box coordinate that cannot be sampled, for the
// error text: `what` search box of parameter "R1.r" ... [lo, hi].
std::string unusable_box_message(const SeriesList& circuit, std::string_view what, std::size_t index, double lower,
                                 double upper);

// The method-specific part of a search: checks on the problem (the box),
// keying its generators and the loop itself.
using SearchLoop = std::function<SearchExpected(SearchProblem& problem)>;

// The common course of Nelder–Mead, particle swarm, simulated annealing and
// differential evolution:
//   1. validate_fit_inputs, then `invalid_setting` (the method's
//      options.validate()), before anything else;
//   2. the search problem, with the bounds checked to cover the circuit;
//   3. the loop;
//   4. its best point, mapped back to parameter values, to
//      polish_or_fallback with the loop's iteration count; the outcome's
//      ending is the loop's, whichever point the polish keeps.
FitExpected run_search(const FitInputs& inputs, std::optional<FitError> invalid_setting, const SearchLoop& loop);

}  // namespace kelvora
