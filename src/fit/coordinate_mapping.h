#pragma once
// Search coordinates of the fitted parameters.
//
// A parameter with a finite upper bound is searched linearly, z = x.  One
// without (upper bound +inf, -inf or NaN) is searched in decades of its
// distance from the lower bound:
//   z = log10(max(x - lower, 1e-300)),   x = 10^z + lower,   dx/dz = (x - lower) ln 10
// (a NaN distance gives 1e-300, so z = -300).  Neither direction clamps.
// Both work on the first min(bounds, vector) entries; the rest pass through.
#include <span>
#include <utility>
#include <vector>

namespace kelvora {

using ParamBounds = std::vector<std::pair<double, double>>;

inline constexpr double kLn10 = 2.302585092994046;

// True when the parameter is searched in decades.
bool is_open_bound(const std::pair<double, double>& bound);

std::vector<double> to_search_coordinates(std::span<const double> values, const ParamBounds& bounds);
std::vector<double> to_physical(std::span<const double> z, const ParamBounds& bounds);

}  // namespace kelvora
