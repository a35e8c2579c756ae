#pragma once
// Per-parameter constraints a circuit carries into every fit: the search
// bounds (by default the physical bounds of each parameter) and the set of
// parameters held fixed at their current values.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/node.h"

namespace kelvora {

struct ParamConstraints {
  std::vector<std::pair<double, double>> bounds;  // one (lo, hi) per parameter, param_names() order
  std::vector<bool> fixed;                        // one flag per parameter

  std::size_t size() const { return bounds.size(); }
  bool any_fixed() const;
  std::size_t free_count() const;
};

// The physical bounds of every parameter and nothing fixed.
ParamConstraints default_constraints(const SeriesList& nodes);

// Whether `c` fits a circuit of `nodes` (one entry per parameter).
bool matches(const ParamConstraints& c, const SeriesList& nodes);

// The constraints of a series or parallel combination: the parts' entries
// one after the other, in the order their parameters are collected.
void append(ParamConstraints& to, const ParamConstraints& part);

// Bitwise equality and a hash consistent with it.
bool same_constraints(const ParamConstraints& a, const ParamConstraints& b);
std::size_t hash_constraints(const ParamConstraints& c);

// The range bounds of a parameter may span: [0, 1] for the exponents
// ("alpha", "gamma"), [0, inf] for everything else.
std::pair<double, double> valid_range(std::string_view param);

// Reason why (lo, hi) cannot bound the parameter `name` (full name, "R0.r";
// `param` is its part after the full stop), or nothing: NaN, lo >= hi, or
// outside valid_range.
std::optional<std::string> bounds_problem(const std::string& name, std::string_view param, double lo, double hi);

// Reason why `value` cannot be held fixed within (lo, hi), or nothing: NaN,
// an infinity, or outside the bounds.
std::optional<std::string> fixed_value_problem(const std::string& name, double value, double lo, double hi);

// The free parameters' indices, in order.
std::vector<std::size_t> free_indices(const ParamConstraints& c);

// `full` with the entries of the free parameters replaced by `free_values`
// (one per free parameter, in order).
std::vector<double> merge_free(std::span<const double> full, const ParamConstraints& c,
                               std::span<const double> free_values);

}  // namespace kelvora
