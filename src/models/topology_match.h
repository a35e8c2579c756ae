#pragma once
// Order- and label-insensitive matching of a user's circuit against the
// circuit a network was trained on.
//
// A circuit is brought into a canonical form: every element becomes a leaf
// shape keyed by its kind ("R", "Cpe", ...), every parallel group a shape
// keyed by its branches' series keys, sorted; each series list is sorted by
// key.  Two circuits match when their canonical keys are equal, and the
// canonical walk of both pairs their elements up, which maps every user
// parameter onto the network parameter that supplies it.
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "circuit/node.h"

namespace kelvora::models {

struct Span {
  std::size_t start = 0;  // first parameter in the flat vector
  std::size_t count = 0;  // number of parameters
};

struct Shape {
  std::string key;
  Span span;                                  // leaves only
  std::vector<std::vector<Shape>> branches;   // parallel groups only, sorted
  bool is_leaf = true;
};

// Shapes of a series list, sorted stably by key; `offset` is the running
// parameter position, advanced past every leaf.
std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& offset);
// "[" + keys joined by "," + "]"
std::string series_key(const std::vector<Shape>& list);

struct Canonical {
  std::string key;
  std::vector<Span> spans;  // leaves in canonical order
};
Canonical canonical(const SeriesList& nodes);

struct Match {
  // One entry per parameter of the matched user circuit (expanded when
  // `expanded`): the index of the network parameter that supplies it.
  std::vector<std::size_t> index;
  bool expanded = false;  // the user's K/Zarc elements had to be expanded
};

std::optional<Match> match_topology(const SeriesList& network, const SeriesList& user);
// As match_topology, falling back to the user circuit with K and Zarc
// elements expanded into the parallel pairs they abbreviate.
std::optional<Match> match_or_expand(const SeriesList& network, const SeriesList& user);

}  // namespace kelvora::models
