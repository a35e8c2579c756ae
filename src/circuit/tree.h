#pragma once
// Walks over a circuit tree: leaf order, parameter vector metadata,
// rebuilding with new values and the K/Zarc expansion.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "circuit/node.h"

namespace kelvora {

struct LeafRef {
  const Element* element;
  const std::optional<std::string>* label;
};

// Depth-first, left to right, branch by branch: the order of the parameter vector.
std::vector<LeafRef> collect_leaves(const SeriesList& nodes);

std::size_t param_count(const SeriesList& nodes);
// Each leaf's label in collect_leaves order, "<code><n>" for unlabelled
// leaves (n counts the unlabelled leaves of that code, passing over the
// labels written in the tree: R0-C1 beside an unlabelled R gives it R1).
std::vector<std::string> leaf_labels(const SeriesList& nodes);
// "R0.r", with automatic labels "<code><n>" for unlabelled leaves.
std::vector<std::string> param_names(const SeriesList& nodes);
std::vector<std::string> param_units(const SeriesList& nodes);
std::vector<std::pair<double, double>> param_bounds(const SeriesList& nodes);
std::vector<double> param_values(const SeriesList& nodes);

// Same topology and labels, parameters taken positionally from `values`
// (which must hold at least param_count(nodes) entries).
SeriesList rebuild(const SeriesList& nodes, std::span<const double> values);

// K and Zarc leaves rewritten as the parallel pairs they abbreviate.
// Returns the new list and whether anything was replaced.
std::pair<SeriesList, bool> expand_series(const SeriesList& nodes);

// Nearest parameter name to a misspelt key, or nothing (Levenshtein over code
// points, threshold max(2, len(key)/2), earliest name wins ties).
std::optional<std::string> closest_param_name(std::string_view key, const std::vector<std::string>& names);

}  // namespace kelvora
