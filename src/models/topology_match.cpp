#include "models/topology_match.h"

#include <algorithm>

#include "circuit/tree.h"

namespace kelvora::models {

namespace {

// A leaf's key is its kind's code ("Cpe", "Tlmq").
std::string_view kind_key(Kind kind) { return kind_info(kind).code; }

void collect_spans(const std::vector<Shape>& list, std::vector<Span>& out) {
  for (const Shape& s : list) {
    if (s.is_leaf) {
      out.push_back(s.span);
    } else {
      for (const auto& branch : s.branches) collect_spans(branch, out);
    }
  }
}

}  // namespace

std::string series_key(const std::vector<Shape>& list) {
  std::string key = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) key += ',';
    key += list[i].key;
  }
  key += ']';
  return key;
}

std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& offset) {
  std::vector<Shape> out;
  out.reserve(nodes.size());
  for (const Node& node : nodes) {
    Shape shape;
    if (node.is_leaf()) {
      const Element& e = node.leaf().element;
      shape.key = std::string(kind_key(e.kind));
      shape.span = Span{offset, e.count()};
      offset += e.count();
    } else {
      shape.is_leaf = false;
      // Branches are shaped in written order (so the offsets run on in
      // parameter order), then sorted by series key; equal keys keep their
      // written order.
      std::vector<std::pair<std::string, std::vector<Shape>>> keyed;
      for (const SeriesList& branch : node.group().branches) {
        auto list = shapes(branch, offset);
        auto key = series_key(list);
        keyed.emplace_back(std::move(key), std::move(list));
      }
      std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      shape.key.push_back('(');  // key starts empty
      for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i) shape.key += ',';
        shape.key += keyed[i].first;
        shape.branches.push_back(std::move(keyed[i].second));
      }
      shape.key += ')';
    }
    out.push_back(std::move(shape));
  }
  std::stable_sort(out.begin(), out.end(), [](const Shape& a, const Shape& b) { return a.key < b.key; });
  return out;
}

Canonical canonical(const SeriesList& nodes) {
  std::size_t offset = 0;
  const auto list = shapes(nodes, offset);
  Canonical c;
  c.key = series_key(list);
  collect_spans(list, c.spans);
  return c;
}

std::optional<Match> match_topology(const SeriesList& network, const SeriesList& user) {
  const Canonical net = canonical(network);
  const Canonical usr = canonical(user);
  if (net.key != usr.key || net.spans.size() != usr.spans.size()) return std::nullopt;
  std::size_t n = 0;
  for (const Span& s : usr.spans) n += s.count;
  Match m;
  m.index.assign(n, 0);
  for (std::size_t i = 0; i < usr.spans.size(); ++i) {
    const Span& u = usr.spans[i];
    const Span& k = net.spans[i];
    if (u.count != k.count) return std::nullopt;  // equal keys imply equal kinds
    for (std::size_t j = 0; j < u.count; ++j) m.index[u.start + j] = k.start + j;
  }
  return m;
}

std::optional<Match> match_or_expand(const SeriesList& network, const SeriesList& user) {
  if (auto m = match_topology(network, user)) return m;
  auto [expanded, changed] = expand_series(user);
  if (!changed) return std::nullopt;
  auto m = match_topology(network, expanded);
  if (m) m->expanded = true;
  return m;
}

}  // namespace kelvora::models
