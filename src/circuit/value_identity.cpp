#include "circuit/value_identity.h"

#include <functional>
#include <string>

namespace kelvora {
namespace {

std::size_t hash_list(std::size_t seed, const SeriesList& nodes) {
  seed = hash_mix(seed, nodes.size());
  for (const Node& node : nodes) {
    if (node.is_leaf()) {
      const Leaf& leaf = node.leaf();
      seed = hash_mix(seed, hash_element(leaf.element));
      seed = hash_mix(seed, leaf.label ? std::hash<std::string>{}(*leaf.label) : 0x5bd1e995U);
    } else {
      seed = hash_mix(seed, 0xa5a5a5a5U);
      for (const SeriesList& branch : node.group().branches) seed = hash_list(seed, branch);
    }
  }
  return seed;
}

}  // namespace

bool same_element(const Element& a, const Element& b) {
  if (a.kind != b.kind) return false;
  for (std::size_t i = 0; i < a.count(); ++i)
    if (!same_bits(a.values[i], b.values[i])) return false;
  return true;
}

std::size_t hash_element(const Element& e) {
  std::size_t seed = hash_mix(0, static_cast<std::uint64_t>(e.kind));
  for (std::size_t i = 0; i < e.count(); ++i) seed = hash_mix(seed, double_bits(e.values[i]));
  return seed;
}

bool same_nodes(const SeriesList& a, const SeriesList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].is_leaf() != b[i].is_leaf()) return false;
    if (a[i].is_leaf()) {
      if (!same_element(a[i].leaf().element, b[i].leaf().element) || a[i].leaf().label != b[i].leaf().label)
        return false;
    } else {
      const auto& x = a[i].group().branches;
      const auto& y = b[i].group().branches;
      if (x.size() != y.size()) return false;
      for (std::size_t k = 0; k < x.size(); ++k)
        if (!same_nodes(x[k], y[k])) return false;
    }
  }
  return true;
}

std::size_t hash_nodes(const SeriesList& nodes) { return hash_list(0x12345678U, nodes); }

}  // namespace kelvora
