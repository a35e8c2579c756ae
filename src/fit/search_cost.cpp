#include "fit/search_cost.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/levenberg_marquardt_fit.h"
#include "fit/polish_or_fallback.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora {

SearchBox pso_search_box(const ParamBounds& bounds, std::span<const double> start) {
  const std::size_t n = std::min(bounds.size(), start.size());
  SearchBox box{std::vector<double>(n), std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    const auto [lo, hi] = bounds[i];
    if (!is_open_bound(bounds[i])) {
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
                       std::vector<double> weights, ParamBounds bounds, EvaluationCounter& counter,
                       const SearchSetup* setup)
    : model_(circuit, std::move(omega), std::move(impedances), std::move(weights)),
      bounds_(std::move(bounds)),
      counter_(&counter),
      r_(model_.residual_count()) {
  if (setup && setup->free.size() != setup->full_start.size()) {
    full_ = setup->full_start;
    free_ = setup->free;
  }
}

double PsoProblem::cost(std::span<const double> z) {
  const std::size_t n = std::min(bounds_.size(), z.size());
  x_.resize(n);
  for (std::size_t i = 0; i < n; ++i) x_[i] = is_open_bound(bounds_[i]) ? std::pow(10.0, z[i]) + bounds_[i].first : z[i];
  if (!free_.empty() || !full_.empty()) {
    merged_ = full_;
    for (std::size_t k = 0; k < n && k < free_.size(); ++k) merged_[free_[k]] = x_[k];
  }
  if (auto error = model_.evaluate(full_.empty() ? x_ : merged_, r_, *counter_)) {
    if (!internal_error_) internal_error_ = std::move(*error);
    return std::numeric_limits<double>::quiet_NaN();
  }
  return half_sum_of_squares(r_);
}

bool replaces_best(double cost, double best_cost) {
  if (cost < best_cost) return true;
  return std::isinf(cost) && std::isinf(best_cost) && std::signbit(cost) == std::signbit(best_cost);
}

Expected<SearchSetup, FitFailure> prepare_search(const SeriesList& circuit, std::span<const double> frequencies,
                                                 std::span<const Complex> impedances, Weighting weighting,
                                                 const ParamConstraints* constraints) {
  if (auto error = validate_fit_inputs(circuit, frequencies, impedances)) return unexpected(FitFailure{*error});
  SearchSetup setup;
  setup.omega = angular_frequencies(frequencies);
  setup.weights = compute_weights(impedances, weighting);
  setup.bounds = constraints ? constraints->bounds : param_bounds(circuit);
  setup.start = param_values(circuit);
  const std::size_t n = std::min(setup.bounds.size(), setup.start.size());
  setup.bounds.resize(n);
  setup.start.resize(n);
  setup.full_start = setup.start;
  setup.constraints = constraints;
  for (std::size_t i = 0; i < n; ++i)
    if (!constraints || i >= constraints->fixed.size() || !constraints->fixed[i]) setup.free.push_back(i);
  if (setup.free.size() != n) {
    ParamBounds bounds;
    std::vector<double> start;
    for (std::size_t i : setup.free) {
      bounds.push_back(setup.bounds[i]);
      start.push_back(setup.start[i]);
    }
    setup.bounds = std::move(bounds);
    setup.start = std::move(start);
  }
  setup.start_z = to_search_coordinates(setup.start, setup.bounds);
  return setup;
}

FitFailure search_error(std::string text) { return FitFailure{FitError{FitError::Kind::Solver, std::move(text)}}; }

std::string unusable_box_message(const SeriesList& circuit, std::string_view what, std::size_t index, double lower,
                                 double upper) {
  const auto names = param_names(circuit);
  std::string out(what);
  out += " search box of parameter ";
  out += index < names.size() ? quoted(names[index]) : std::to_string(index);
  out += " cannot be sampled: [";
  out += format_element_number(lower);
  out += ", ";
  out += format_element_number(upper);
  out += "] in search coordinates";
  return out;
}

FitExpected finish_search(const Expected<SearchResult, std::string>& search, const PsoProblem& problem,
                          const SeriesList& circuit, std::span<const double> frequencies,
                          std::span<const Complex> impedances, Weighting weighting, const SearchSetup& setup) {
  if (problem.internal_error()) return unexpected(FitFailure{*problem.internal_error()});
  if (!search) return unexpected(search_error(search.error()));
  std::vector<double> x_best = to_physical(search->best, setup.bounds);
  if (setup.free.size() != setup.full_start.size()) {
    std::vector<double> full = setup.full_start;
    for (std::size_t k = 0; k < setup.free.size() && k < x_best.size(); ++k) full[setup.free[k]] = x_best[k];
    x_best = std::move(full);
  }
  return polish_or_fallback(circuit, x_best, search->iterations, frequencies, impedances, weighting, setup.omega,
                            setup.weights, problem.counter(), setup.constraints);
}

}  // namespace kelvora
