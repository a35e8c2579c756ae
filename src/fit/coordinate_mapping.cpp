#include "fit/coordinate_mapping.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

bool is_open_bound(const std::pair<double, double>& bound) { return !std::isfinite(bound.second); }

std::vector<double> to_search_coordinates(std::span<const double> values, const ParamBounds& bounds) {
  std::vector<double> z(values.begin(), values.end());
  const std::size_t n = std::min(values.size(), bounds.size());
  for (std::size_t i = 0; i < n; ++i)
    if (is_open_bound(bounds[i])) z[i] = std::log10(std::fmax(values[i] - bounds[i].first, 1e-300));
  return z;
}

std::vector<double> to_physical(std::span<const double> z, const ParamBounds& bounds) {
  std::vector<double> x(z.begin(), z.end());
  const std::size_t n = std::min(z.size(), bounds.size());
  for (std::size_t i = 0; i < n; ++i)
    if (is_open_bound(bounds[i])) x[i] = std::pow(10.0, z[i]) + bounds[i].first;
  return x;
}

}  // namespace kelvora
