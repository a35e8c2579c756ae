#pragma once
// The starting points of the multi-start Levenberg-Marquardt fit and the
// tests that decide when a run has ended well enough to stop.
#include <vector>

#include "fit/coordinate_mapping.h"

namespace kelvora {

struct Candidate {
  double cost = 0.0;           // 0.5 sum r^2 at `values`
  std::vector<double> values;  // parameter values, not search coordinates
};

// Nine vectors derived from the start values x0 (costs left at 0):
//   0: x0;  1-4: open parameters times 3, 1/3, 8, 1/8;
//   5-8: bounded parameters at 20%, 40%, 60%, 80% of their range.
// Parameters not varied by a candidate keep x0.  Only the first
// min(x0, bounds) entries are varied.
std::vector<Candidate> candidate_starting_points(const std::vector<double>& x0, const ParamBounds& bounds);

// Stable sort by cost in IEEE 754 totalOrder (NaN with the sign bit clear
// after +inf, with it set before -inf); equal costs keep their order.
void sort_by_cost(std::vector<Candidate>& candidates);

// totalOrder as a strict weak ordering on the bit patterns.
bool total_order_less(double a, double b);

// A run result is clean when its cost is finite, it succeeded, and every
// parameter keeps clear of its bounds:
//   bounded: |x - lower| and |upper - x| both > 1e-6 (upper - lower);
//   open:    x > 100 lower and 1e-6 <= x / max(|x0|, 1e-300) < 1e6 (finite).
bool is_clean(double cost, bool success, const std::vector<double>& x, const ParamBounds& bounds,
              const std::vector<double>& x0);

}  // namespace kelvora
