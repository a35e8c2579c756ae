#include "fit/lm/starting_points.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace kelvora {

std::vector<Candidate> candidate_starting_points(const std::vector<double>& x0, const ParamBounds& bounds) {
  static constexpr double kScales[4] = {3.0, 0.3333333333333333, 8.0, 0.125};
  static constexpr double kFractions[4] = {0.2, 0.4, 0.6, 0.8};
  const std::size_t p = std::min(x0.size(), bounds.size());
  std::vector<Candidate> out(9, Candidate{0.0, x0});
  for (std::size_t c = 0; c < 4; ++c) {
    for (std::size_t i = 0; i < p; ++i) {
      const auto [lo, hi] = bounds[i];
      if (is_open_bound(bounds[i])) {
        out[1 + c].values[i] = x0[i] * kScales[c];
      } else {
        out[5 + c].values[i] = lo + kFractions[c] * (hi - lo);
      }
    }
  }
  return out;
}

bool total_order_less(double a, double b) {
  // Flipping every bit but the sign of negative patterns makes the signed
  // integer order equal totalOrder.
  auto key = [](double v) {
    auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  };
  return key(a) < key(b);
}

void sort_by_cost(std::vector<Candidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return total_order_less(a.cost, b.cost); });
}

bool is_clean(double cost, bool success, const std::vector<double>& x, const ParamBounds& bounds,
              const std::vector<double>& x0) {
  if (!std::isfinite(cost) || !success) return false;
  const std::size_t n = std::min({x.size(), bounds.size(), x0.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const auto [lo, hi] = bounds[i];
    if (is_open_bound(bounds[i])) {
      if (!(x[i] > 100.0 * lo)) return false;
      const double ratio = x[i] / std::fmax(std::fabs(x0[i]), 1e-300);
      if (!std::isfinite(ratio) || !(ratio >= 1e-6 && ratio < 1e6)) return false;
    } else {
      const double margin = 1e-6 * (hi - lo);
      if (!(std::fabs(x[i] - lo) > margin && std::fabs(hi - x[i]) > margin)) return false;
    }
  }
  return true;
}

}  // namespace kelvora
