#include "circuit/constraints.h"

#include <cmath>
#include <initializer_list>
#include <string_view>

#include "circuit/tree.h"
#include "circuit/value_identity.h"
#include "support/number_format.h"
#include "support/quote.h"

namespace kelvora {

bool ParamConstraints::any_fixed() const {
  for (bool f : fixed)
    if (f) return true;
  return false;
}

std::size_t ParamConstraints::free_count() const {
  std::size_t n = 0;
  for (bool f : fixed) n += f ? 0 : 1;
  return n;
}

ParamConstraints default_constraints(const SeriesList& nodes) {
  ParamConstraints c;
  c.bounds = param_bounds(nodes);
  c.fixed.assign(c.bounds.size(), false);
  return c;
}

bool matches(const ParamConstraints& c, const SeriesList& nodes) {
  const std::size_t n = param_count(nodes);
  return c.bounds.size() == n && c.fixed.size() == n;
}

void append(ParamConstraints& to, const ParamConstraints& part) {
  to.bounds.insert(to.bounds.end(), part.bounds.begin(), part.bounds.end());
  to.fixed.insert(to.fixed.end(), part.fixed.begin(), part.fixed.end());
}

bool same_constraints(const ParamConstraints& a, const ParamConstraints& b) {
  if (a.size() != b.size() || a.fixed != b.fixed) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_bits(a.bounds[i].first, b.bounds[i].first) || !same_bits(a.bounds[i].second, b.bounds[i].second))
      return false;
  return true;
}

std::size_t hash_constraints(const ParamConstraints& c) {
  std::size_t seed = hash_mix(0x9abcdefU, c.size());
  for (std::size_t i = 0; i < c.size(); ++i) {
    seed = hash_mix(seed, double_bits(c.bounds[i].first));
    seed = hash_mix(seed, double_bits(c.bounds[i].second));
    seed = hash_mix(seed, c.fixed[i] ? 1 : 2);
  }
  return seed;
}

std::pair<double, double> valid_range(std::string_view param) {
  if (param == "alpha" || param == "gamma") return {0.0, 1.0};
  return {0.0, INFINITY};
}

namespace {

// Joins the pieces of a message (appending avoids a false -Wrestrict of
// GCC 12 on chains of operator+).
std::string join(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out += p;
  return out;
}

}  // namespace

std::optional<std::string> bounds_problem(const std::string& name, std::string_view param, double lo, double hi) {
  const std::string q = quoted(name);
  const std::string pair = join({"(", format_compact(lo), ", ", format_compact(hi), ")"});
  if (std::isnan(lo) || std::isnan(hi)) return join({"bounds of ", q, " must not be NaN, got ", pair});
  if (!(lo < hi)) return join({"lower bound of ", q, " must be below its upper bound, got ", pair});
  const auto [min, max] = valid_range(param);
  if (lo < min || hi > max)
    return join({"bounds of ", q, " must lie within [", format_compact(min), ", ", format_compact(max), "], got ",
                 pair});
  return std::nullopt;
}

std::optional<std::string> fixed_value_problem(const std::string& name, double value, double lo, double hi) {
  const std::string q = quoted(name);
  if (std::isnan(value)) return join({"fixed value of ", q, " must not be NaN"});
  // An open upper bound admits inf, but no circuit evaluates with it: an
  // infinite impedance has a NaN reciprocal, so every fit would fail.
  if (std::isinf(value)) return join({"fixed value of ", q, " must be finite, got ", format_compact(value)});
  if (value < lo || value > hi)
    return join({"fixed value of ", q, " lies outside its bounds (", format_compact(lo), ", ", format_compact(hi),
                 "): ", format_compact(value)});
  return std::nullopt;
}

std::vector<std::size_t> free_indices(const ParamConstraints& c) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < c.fixed.size(); ++i)
    if (!c.fixed[i]) out.push_back(i);
  return out;
}

std::vector<double> merge_free(std::span<const double> full, const ParamConstraints& c,
                               std::span<const double> free_values) {
  std::vector<double> out(full.begin(), full.end());
  std::size_t k = 0;
  for (std::size_t i = 0; i < out.size() && i < c.fixed.size(); ++i)
    if (!c.fixed[i] && k < free_values.size()) out[i] = free_values[k++];
  return out;
}

}  // namespace kelvora
