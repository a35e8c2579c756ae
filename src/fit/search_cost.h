#pragma once
// What the global searches share: the search-space coordinates, the search
// box, the search cost and the best-point rule.
//
// Search space.  A parameter with bounds (lower, upper) is searched in the
// coordinate
//   z = x                                   when upper is finite,
//   z = log10(max(x - lower, 1e-300))       otherwise (decades of the distance
//                                           from the lower bound; a NaN
//                                           difference gives z = -300),
// and mapped back by x = z, resp. x = 10^z + lower.  Neither direction
// clamps: a linear coordinate may leave its bounds during a search, while a
// log coordinate can never fall below its lower bound.  Only the first
// min(bounds, vector length) entries are mapped; extra entries are dropped.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/node.h"
#include "fit/evaluation_counter.h"
#include "fit/residuals.h"
#include "support/complex.h"
#include "support/internal_error.h"

namespace kelvora {

using ParamBounds = std::vector<std::pair<double, double>>;

std::vector<double> search_from_values(const ParamBounds& bounds, std::span<const double> values);
std::vector<double> values_from_search(const ParamBounds& bounds, std::span<const double> z);

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
class PsoProblem {
 public:
  PsoProblem(const SeriesList& circuit, std::vector<double> omega, std::vector<Complex> impedances,
             std::vector<double> weights, ParamBounds bounds, EvaluationCounter& counter);

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

// Ascending by cost for a stable sort, NaN costs after everything else.  For
// non-NaN costs this is the plain strict less-than; placing NaN last keeps
// the ordering a strict weak order.
inline bool cost_less(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

}  // namespace kelvora
