#include "circuit/expression.h"

#include <set>

#include "circuit/tree.h"
#include "support/quote.h"

namespace kelvora {
namespace {

struct Writer {
  bool strict;
  std::vector<std::string> labels;  // collect_leaves order
  std::size_t next = 0;
  std::string error;

  bool series(const SeriesList& nodes, std::string& out) {
    if (strict && nodes.empty()) {
      error = "a series without elements has no expression";
      return false;
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (i) out += '-';
      if (nodes[i].is_leaf()) {
        out += labels[next++];
        continue;
      }
      const auto& branches = nodes[i].group().branches;
      if (branches.empty() && strict) {
        error = "a parallel group without branches has no expression";
        return false;
      }
      if (branches.size() == 1 && branches[0].empty()) {
        error = "a parallel group whose only branch is empty has no expression";
        return false;
      }
      out += '(';
      for (std::size_t b = 0; b < branches.size(); ++b) {
        if (b) out += ',';
        if (!series(branches[b], out)) return false;
      }
      out += ')';
    }
    return true;
  }
};

Expected<std::string, std::string> write(const SeriesList& nodes, bool strict) {
  Writer w{strict, leaf_labels(nodes), 0, {}};
  if (strict) {
    std::set<std::string> seen;
    for (const auto& label : w.labels)
      if (!seen.insert(label).second)
        return unexpected("duplicate element label " + quoted(label) + " has no expression");
  }
  std::string out;
  if (!w.series(nodes, out)) return unexpected(w.error);
  return out;
}

void relabel(SeriesList& nodes, const std::vector<std::optional<std::string>>& labels, std::size_t& next) {
  for (Node& node : nodes) {
    if (node.is_leaf()) {
      std::get<0>(node.value).label = labels[next++];
    } else {
      for (SeriesList& branch : std::get<1>(node.value).branches) relabel(branch, labels, next);
    }
  }
}

}  // namespace

Expected<std::string, std::string> expression(const SeriesList& nodes) { return write(nodes, true); }
Expected<std::string, std::string> stored_expression(const SeriesList& nodes) { return write(nodes, false); }

SeriesList with_labels(const SeriesList& nodes, const std::vector<std::optional<std::string>>& labels) {
  SeriesList out = nodes;
  std::size_t next = 0;
  relabel(out, labels, next);
  return out;
}

}  // namespace kelvora
