#pragma once
// What the global searches share: their preparation, the search box, the
// search cost, the best-point rule and the hand-over to the polish.
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
#include <utility>
#include <vector>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/coordinate_mapping.h"
#include "fit/evaluation_counter.h"
#include "fit/fit_outcome.h"
#include "fit/residuals.h"
#include "fit/weighting.h"
#include "support/complex.h"
#include "support/expected.h"
#include "support/internal_error.h"

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

// The search cost: the circuit compiled once with the spectrum, the bounds
// for the mapping back, and the fit's shared impedance-evaluation counter.
//   cost(z) = 1/2 * sum_k r_k(x)^2,  x = values_from_search(z)
// with r the weighted residual vector; every call adds one evaluation to the
// counter.  The cost never fails: non-finite residuals give a non-finite cost,
// used as it is.  Not thread-safe (one scratch buffer); the searches evaluate
// one point at a time on the calling thread.
struct SearchSetup;
class PsoProblem {
 public:
  // With a setup, z covers its free parameters only and the fixed ones keep
  // their start values.
  PsoProblem(const SeriesList& circuit, std::vector<double> omega, std::vector<Complex> impedances,
             std::vector<double> weights, ParamBounds bounds, EvaluationCounter& counter,
             const SearchSetup* setup = nullptr);

  double cost(std::span<const double> z);

  const ParamBounds& bounds() const { return bounds_; }
  const ResidualModel& model() const { return model_; }
  EvaluationCounter& counter() const { return *counter_; }
  // A broken invariant met by an evaluation (a parameter vector too short for
  // the circuit); its cost was reported as NaN.  Checked after the search.
  const std::optional<InternalError>& internal_error() const { return internal_error_; }

 private:
  ResidualModel model_;
  ParamBounds bounds_;
  EvaluationCounter* counter_;
  std::vector<double> x_;  // scratch: the mapped parameter values
  std::vector<double> full_;              // start values of every parameter (with a setup)
  std::vector<std::size_t> free_;         // indices of the searched parameters (with a setup)
  std::vector<double> merged_;            // scratch: x_ merged into full_
  std::vector<double> r_;  // scratch: the residual vector
  std::optional<InternalError> internal_error_;
};

// A cost function over search coordinates, as the search loops see it.
using SearchCost = std::function<double(std::span<const double>)>;

// What a search loop hands on: its best point in search coordinates and its
// own iteration count.
struct SearchResult {
  std::vector<double> best;
  std::uint64_t iterations = 0;
};

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
};

// Ascending by cost for a stable sort, NaN costs after everything else.  For
// non-NaN costs this is the plain strict less-than; placing NaN last keeps
// the ordering a strict weak order.
inline bool cost_less(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

// What every search computes before its loop: the inputs validated
// (LengthMismatch, Empty, NoParameters, in that order), the angular
// frequencies, the weights, the bounds and the start values, both cut to
// n = min(bounds, values) entries, and their search coordinates.  With
// constraints the bounds are theirs and bounds, start and start_z cover the
// free parameters only: the searches never move a fixed one.
struct SearchSetup {
  std::vector<double> omega;
  std::vector<double> weights;
  ParamBounds bounds;
  std::vector<double> start;    // parameter values
  std::vector<double> start_z;  // search coordinates
  std::vector<double> full_start;        // every parameter's start value
  std::vector<std::size_t> free;         // the searched parameters' indices
  const ParamConstraints* constraints = nullptr;
};
Expected<SearchSetup, FitFailure> prepare_search(const SeriesList& circuit, std::span<const double> frequencies,
                                                 std::span<const Complex> impedances, Weighting weighting,
                                                 const ParamConstraints* constraints = nullptr);

// A Solver error carrying `text` ("solver error: {text}" in Python).
FitFailure search_error(std::string text);

// Names the parameter of a box coordinate that cannot be sampled, for the
// error text: `what` search box of parameter "R1.r" ... [lo, hi].
std::string unusable_box_message(const SeriesList& circuit, std::string_view what, std::size_t index, double lower,
                                 double upper);

// The common ending of Nelder–Mead, particle swarm, simulated annealing and
// differential evolution: a failed loop becomes a Solver error, a broken
// invariant met by the cost an internal error, and otherwise the best point,
// mapped back to parameter values, goes to polish_or_fallback with the
// loop's iteration count.
FitExpected finish_search(const Expected<SearchResult, std::string>& search, const PsoProblem& problem,
                          const SeriesList& circuit, std::span<const double> frequencies,
                          std::span<const Complex> impedances, Weighting weighting, const SearchSetup& setup);

}  // namespace kelvora
