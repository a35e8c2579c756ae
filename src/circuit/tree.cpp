#include "circuit/tree.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>

#include "support/quote.h"
#include "support/stack_room.h"

namespace kelvora {
namespace {

void collect(const SeriesList& nodes, std::vector<LeafRef>& out) {
  for (const Node& node : nodes) {
    if (node.is_leaf()) {
      out.push_back({&node.leaf().element, &node.leaf().label});
    } else {
      for (const SeriesList& branch : node.group().branches) collect(branch, out);
    }
  }
}

SeriesList rebuild_list(const SeriesList& nodes, std::span<const double> values, std::size_t& cursor) {
  SeriesList out;
  out.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (node.is_leaf()) {
      const Leaf& leaf = node.leaf();
      out.push_back(Node{Leaf{make_element(leaf.element.kind, values.data() + cursor), leaf.label}});
      cursor += leaf.element.count();
    } else {
      ParallelGroup group;
      group.branches.reserve(node.group().branches.size());
      for (const SeriesList& branch : node.group().branches) group.branches.push_back(rebuild_list(branch, values, cursor));
      out.push_back(Node{std::move(group)});
    }
  }
  return out;
}

Node single_leaf_group(Element first, Element second) {
  ParallelGroup group;
  group.branches.push_back(SeriesList{Node{Leaf{first, std::nullopt}}});
  group.branches.push_back(SeriesList{Node{Leaf{second, std::nullopt}}});
  return Node{std::move(group)};
}

SeriesList expand_list(const SeriesList& nodes, bool& changed) {
  SeriesList out;
  out.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (node.is_leaf()) {
      const Element& e = node.leaf().element;
      if (e.kind == Kind::K) {
        // K(r, tau_k) = R(r) || C(tau_k / r)
        const double r = e.values[0], c = e.values[1] / e.values[0];
        out.push_back(single_leaf_group(make_element(Kind::R, &r), make_element(Kind::C, &c)));
        changed = true;
      } else if (e.kind == Kind::Zarc) {
        // Zarc(r, tau_k, gamma) = R(r) || Cpe(tau_k^gamma / r, gamma)
        const double r = e.values[0];
        const double cpe[2] = {std::pow(e.values[1], e.values[2]) / r, e.values[2]};
        out.push_back(single_leaf_group(make_element(Kind::R, &r), make_element(Kind::Cpe, cpe)));
        changed = true;
      } else {
        out.push_back(node);
      }
    } else {
      ParallelGroup group;
      for (const SeriesList& branch : node.group().branches) group.branches.push_back(expand_list(branch, changed));
      out.push_back(Node{std::move(group)});
    }
  }
  return out;
}

std::size_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

}  // namespace

std::size_t nesting_limit() {
  const std::size_t room = stack_room();
  if (room == SIZE_MAX) return kMaxNestingDepth;
  if (room <= kStackReserve) return 0;
  return std::min(kMaxNestingDepth, (room - kStackReserve) / kStackPerLevel);
}

void release_tree(SeriesList& nodes) {
  std::vector<SeriesList> pending;
  pending.push_back(std::move(nodes));
  nodes.clear();
  while (!pending.empty()) {
    SeriesList list = std::move(pending.back());
    pending.pop_back();
    for (Node& node : list) {
      if (node.is_leaf()) continue;
      for (SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
        pending.push_back(std::move(branch));
        branch.clear();
      }
    }
  }  // each list is destroyed with its groups' branches already empty
}

std::size_t nesting_depth(const SeriesList& nodes) {
  std::size_t deepest = 0;
  std::vector<std::pair<const SeriesList*, std::size_t>> pending{{&nodes, 0}};
  while (!pending.empty()) {
    const auto [list, depth] = pending.back();
    pending.pop_back();
    for (const Node& node : *list) {
      if (node.is_leaf()) continue;
      deepest = std::max(deepest, depth + 1);  // also for a group without branches
      for (const SeriesList& branch : node.group().branches) pending.emplace_back(&branch, depth + 1);
    }
  }
  return deepest;
}

std::vector<LeafRef> collect_leaves(const SeriesList& nodes) {
  std::vector<LeafRef> out;
  collect(nodes, out);
  return out;
}

std::size_t param_count(const SeriesList& nodes) {
  std::size_t n = 0;
  for (const LeafRef& leaf : collect_leaves(nodes)) n += leaf.element->count();
  return n;
}

std::vector<std::string> leaf_labels(const SeriesList& nodes) {
  const auto leaves = collect_leaves(nodes);
  // An automatic label passes over the labels written in the tree: a
  // repeated name would share one entry wherever names are keys.
  std::set<std::string_view> written;
  for (const LeafRef& leaf : leaves)
    if (leaf.label->has_value()) written.insert(**leaf.label);
  std::vector<std::string> labels;
  std::map<std::string_view, std::size_t> counters;
  for (const LeafRef& leaf : leaves) {
    if (leaf.label->has_value()) {
      labels.push_back(**leaf.label);
      continue;
    }
    const std::string_view code = kind_info(leaf.element->kind).code;
    std::size_t& counter = counters[code];
    std::string label = std::string(code) + std::to_string(counter++);
    while (written.count(label)) label = std::string(code) + std::to_string(counter++);
    labels.push_back(std::move(label));
  }
  return labels;
}

std::vector<std::string> param_names(const SeriesList& nodes) {
  std::vector<std::string> names;
  const auto leaves = collect_leaves(nodes);
  const auto labels = leaf_labels(nodes);
  for (std::size_t k = 0; k < leaves.size(); ++k) {
    const KindInfo& info = kind_info(leaves[k].element->kind);
    for (std::size_t i = 0; i < info.count; ++i) names.push_back(labels[k] + "." + std::string(info.names[i]));
  }
  return names;
}

std::vector<std::string> param_units(const SeriesList& nodes) {
  std::vector<std::string> units;
  for (const LeafRef& leaf : collect_leaves(nodes)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (std::size_t i = 0; i < info.count; ++i) units.emplace_back(info.units[i]);
  }
  return units;
}

std::vector<std::pair<double, double>> param_bounds(const SeriesList& nodes) {
  std::vector<std::pair<double, double>> out;
  for (const LeafRef& leaf : collect_leaves(nodes)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (std::size_t i = 0; i < info.count; ++i) out.push_back(bounds(info.names[i]));
  }
  return out;
}

std::vector<double> param_values(const SeriesList& nodes) {
  std::vector<double> out;
  for (const LeafRef& leaf : collect_leaves(nodes)) {
    for (std::size_t i = 0; i < leaf.element->count(); ++i) out.push_back(leaf.element->values[i]);
  }
  return out;
}

SeriesList rebuild(const SeriesList& nodes, std::span<const double> values) {
  std::size_t cursor = 0;
  return rebuild_list(nodes, values, cursor);
}

std::pair<SeriesList, bool> expand_series(const SeriesList& nodes) {
  bool changed = false;
  SeriesList out = expand_list(nodes, changed);
  return {std::move(out), changed};
}

std::optional<std::string> closest_param_name(std::string_view key, const std::vector<std::string>& names) {
  const std::u32string k = utf8_to_u32(key);
  const std::size_t threshold = std::max<std::size_t>(2, k.size() / 2);
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const std::string& name : names) {
    const std::size_t d = levenshtein(k, utf8_to_u32(name));
    if (!best || d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  if (best && best_distance <= threshold) return best;
  return std::nullopt;
}

}  // namespace kelvora
