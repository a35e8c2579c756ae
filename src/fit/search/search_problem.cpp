#include "fit/search/search_problem.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "circuit/evaluate.h"
#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/lm/polish_or_fallback.h"
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

namespace {

// The bounds and start values cut to their common length.
std::pair<ParamBounds, std::vector<double>> common_prefix(ParamBounds bounds, std::vector<double> start) {
  const std::size_t n = std::min(bounds.size(), start.size());
  bounds.resize(n);
  start.resize(n);
  return {std::move(bounds), std::move(start)};
}

}  // namespace

SearchProblem::SearchProblem(const FitInputs& inputs)
    : inputs_(inputs),
      omega_(angular_frequencies(inputs.frequencies)),
      weights_(compute_weights(inputs.impedances, inputs.weighting)),
      model_(inputs.circuit, omega_, {inputs.impedances.begin(), inputs.impedances.end()}, weights_),
      r_(model_.residual_count()) {
  const ParamConstraints* c = inputs.constraints;
  auto [bounds, start] = common_prefix(c ? c->bounds : param_bounds(inputs.circuit), param_values(inputs.circuit));
  param_total_ = param_count(inputs.circuit);
  full_start_ = start;
  for (std::size_t i = 0; i < start.size(); ++i)
    if (!c || i >= c->fixed.size() || !c->fixed[i]) free_.push_back(i);
  if (free_.size() != start.size()) {
    ParamBounds free_bounds;
    std::vector<double> free_start;
    for (std::size_t i : free_) {
      free_bounds.push_back(bounds[i]);
      free_start.push_back(start[i]);
    }
    bounds = std::move(free_bounds);
    start = std::move(free_start);
  }
  bounds_ = std::move(bounds);
  start_ = std::move(start);
  start_z_ = to_search_coordinates(start_, bounds_);
}

std::vector<double> SearchProblem::physical(std::span<const double> z) const {
  std::vector<double> x = full_start_;
  const std::size_t n = std::min(bounds_.size(), z.size());
  for (std::size_t k = 0; k < n; ++k)
    x[param_index(k)] = is_open_bound(bounds_[k]) ? std::pow(10.0, z[k]) + bounds_[k].first : z[k];
  return x;
}

double SearchProblem::cost(std::span<const double> z) {
  if (free_.size() != full_start_.size()) {
    x_ = physical(z);
  } else {
    const std::size_t n = std::min(bounds_.size(), z.size());
    x_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      x_[i] = is_open_bound(bounds_[i]) ? std::pow(10.0, z[i]) + bounds_[i].first : z[i];
  }
  if (auto error = model_.evaluate(x_, r_, counter_)) throw std::logic_error(error->message);
  return half_sum_of_squares(r_);
}

bool replaces_best(double cost, double best_cost) {
  if (cost < best_cost) return true;
  return std::isinf(cost) && std::isinf(best_cost) && std::signbit(cost) == std::signbit(best_cost);
}

FitError search_error(std::string text) { return FitError{FitError::Kind::Solver, std::move(text)}; }

SearchExpected BestPoint::finish(SearchResult result, std::string_view search) {
  if (!recorded) return unexpected(search_error(std::string(search) + " found no best position"));
  result.best = std::move(position);
  return result;
}

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

FitExpected run_search(const FitInputs& inputs, std::optional<FitError> invalid_setting, const SearchLoop& loop) {
  if (auto error = validate_fit_inputs(inputs.circuit, inputs.frequencies, inputs.impedances))
    return unexpected(FitFailure{std::move(*error)});
  if (invalid_setting) return unexpected(FitFailure{std::move(*invalid_setting)});
  SearchProblem problem(inputs);
  if (!problem.covers_circuit()) return unexpected(FitFailure{InternalError{kNotEnoughValues}});

  SearchExpected search = loop(problem);
  if (!search) return unexpected(FitFailure{std::move(search.error())});
  const std::vector<double> x_best = problem.physical(search->best);
  FitExpected outcome = polish_or_fallback(inputs.circuit, x_best, search->iterations, inputs.frequencies,
                                           inputs.impedances, inputs.weighting, problem.omega(), problem.weights(),
                                           problem.counter(), inputs.constraints);
  if (outcome) outcome->ending = search->ending;
  return outcome;
}

}  // namespace kelvora
