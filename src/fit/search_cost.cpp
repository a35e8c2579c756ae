#include "fit/search_cost.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvora {

namespace {

bool log_mapped(const std::pair<double, double>& bound) { return !std::isfinite(bound.second); }

}  // namespace

std::vector<double> search_from_values(const ParamBounds& bounds, std::span<const double> values) {
  const std::size_t n = std::min(bounds.size(), values.size());
  std::vector<double> z(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (log_mapped(bounds[i])) {
      // fmax turns a NaN difference into the floor 1e-300, i.e. z = -300.
      z[i] = std::log10(std::fmax(values[i] - bounds[i].first, 1e-300));
    } else {
      z[i] = values[i];
    }
  }
  return z;
}

std::vector<double> values_from_search(const ParamBounds& bounds, std::span<const double> z) {
  const std::size_t n = std::min(bounds.size(), z.size());
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = log_mapped(bounds[i]) ? std::pow(10.0, z[i]) + bounds[i].first : z[i];
  return x;
}

SearchBox pso_search_box(const ParamBounds& bounds, std::span<const double> start) {
  const std::size_t n = std::min(bounds.size(), start.size());
  SearchBox box{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const auto [lo, hi] = bounds[i];
    if (!log_mapped(bounds[i])) {
      box.lower[i] = lo;
      box.upper[i] = hi;
      continue;
    }
    const double a = std::fmax(std::fabs(start[i]), 1e-6);
    box.lower[i] = std::log10(std::fmax(std::fmax(a * 1e-4, lo) - lo, 1e-300));
    box.upper[i] = std::log10(std::fmax(a * 1e4 - lo, 1e-300));
  }
  return box;
}

std::optional<std::size_t> unusable_box_coordinate(const SearchBox& box, bool strict) {
  const std::size_t n = std::min(box.lower.size(), box.upper.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double lo = box.lower[i];
    const double hi = box.upper[i];
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(hi - lo)) return i;
    if (strict ? !(lo < hi) : !(lo <= hi)) return i;
  }
  return std::nullopt;
}

PsoProblem::PsoProblem(const SeriesList& circuit, std::vector<double> omega, std::vector<Complex> impedances,
                       std::vector<double> weights, ParamBounds bounds, EvaluationCounter& counter)
    : model_(circuit, std::move(omega), std::move(impedances), std::move(weights)),
      bounds_(std::move(bounds)),
      counter_(&counter),
      r_(model_.residual_count()) {}

double PsoProblem::cost(std::span<const double> z) {
  const std::size_t n = std::min(bounds_.size(), z.size());
  x_.resize(n);
  for (std::size_t i = 0; i < n; ++i) x_[i] = log_mapped(bounds_[i]) ? std::pow(10.0, z[i]) + bounds_[i].first : z[i];
  if (auto error = model_.evaluate(x_, r_, *counter_)) {
    if (!internal_error_) internal_error_ = std::move(*error);
    return std::numeric_limits<double>::quiet_NaN();
  }
  return half_sum_of_squares(r_);
}

bool replaces_best(double cost, double best_cost) {
  if (cost < best_cost) return true;
  return std::isinf(cost) && std::isinf(best_cost) && std::signbit(cost) == std::signbit(best_cost);
}

}  // namespace kelvora
