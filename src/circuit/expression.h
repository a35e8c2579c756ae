#pragma once
// Writing a circuit tree back as an expression, and reading stored trees.
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.h"
#include "support/expected.h"

namespace kelvora {

// The expression that parse() reads back to the same topology, kinds and
// parameter names: "R0-(R1,C1)".  Unlabelled leaves are written with their
// automatic labels.  Fails, with the reason, for the trees the grammar
// cannot express: no elements at all, a group without branches or with an
// empty branch, and labels that repeat.
Expected<std::string, std::string> expression(const SeriesList& nodes);

// The relaxed expression of any tree (parse_relaxed): repeated labels kept,
// an empty series written as nothing, a group without branches as "()".
// Fails only for a group whose single branch is empty, which no text tells
// apart from a group without branches.
Expected<std::string, std::string> stored_expression(const SeriesList& nodes);

// The tree with the leaves' labels replaced in collect_leaves order
// (nothing = unlabelled); `labels` holds one entry per leaf.
SeriesList with_labels(const SeriesList& nodes, const std::vector<std::optional<std::string>>& labels);

}  // namespace kelvora
