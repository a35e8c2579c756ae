#include "fit/search/restart_moves.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

namespace kelvora {
namespace {

// The core of an arc under construction: the first resistance, the first
// capacitance or time constant with its element's exponent.
struct CoreBuilder {
  std::optional<ArcCore::Entry> resistance;
  std::optional<ArcCore::Entry> timing;
  std::optional<ArcCore::Entry> exponent;

  void offer_leaf(Kind kind, std::size_t offset) {
    std::optional<ArcCore::Entry> leaf_timing;
    std::optional<ArcCore::Entry> leaf_exponent;
    for (std::size_t i = 0; i < param_count(kind); ++i) {
      const ParamRole role = param_role(kind, i);
      const ArcCore::Entry entry{role, kind, offset + i};
      if (role == ParamRole::Resistance && !resistance) resistance = entry;
      if ((role == ParamRole::Capacitance || role == ParamRole::Time) && !leaf_timing) leaf_timing = entry;
      if (role == ParamRole::Exponent && !leaf_exponent) leaf_exponent = entry;
    }
    if (leaf_timing && !timing) {
      timing = leaf_timing;
      exponent = leaf_exponent;
    }
  }

  ArcCore core() const {
    ArcCore out;
    for (const auto& e : {resistance, timing, exponent})
      if (e) out.entries.push_back(*e);
    return out;
  }
  bool is_arc() const { return resistance && timing; }
};

// A leaf that is an arc by itself: a resistance and a time constant or
// capacitance in one element (K, Zarc, Tlmq).
bool leaf_is_arc(Kind kind) {
  CoreBuilder b;
  b.offer_leaf(kind, 0);
  return b.is_arc();
}

// A leaf's roles, and its arc when it is one by itself.
void visit_leaf(Kind kind, std::size_t& offset, CircuitRoles& out) {
  if (leaf_is_arc(kind)) {
    CoreBuilder b;
    b.offer_leaf(kind, offset);
    out.arcs.push_back(b.core());
  }
  for (std::size_t i = 0; i < param_count(kind); ++i) out.roles.push_back(param_role(kind, i));
  offset += param_count(kind);
}

void walk_group(const ParallelGroup& group, std::size_t& offset, CircuitRoles& out) {
  CoreBuilder builder;
  const std::size_t arc_slot = out.arcs.size();
  out.arcs.emplace_back();  // placeholder: the group's arc comes before the arcs nested in it
  for (const SeriesList& branch : group.branches) {
    for (const Node& node : branch) {
      if (node.is_leaf()) {
        builder.offer_leaf(node.leaf().element.kind, offset);
        visit_leaf(node.leaf().element.kind, offset, out);
      } else {
        walk_group(node.group(), offset, out);
      }
    }
  }
  if (builder.is_arc())
    out.arcs[arc_slot] = builder.core();
  else
    out.arcs.erase(out.arcs.begin() + static_cast<std::ptrdiff_t>(arc_slot));
}

void walk(const SeriesList& nodes, std::size_t& offset, CircuitRoles& out) {
  for (const Node& node : nodes) {
    if (!node.is_leaf()) {
      walk_group(node.group(), offset, out);
      continue;
    }
    visit_leaf(node.leaf().element.kind, offset, out);
  }
}

}  // namespace

ParamRole param_role(Kind kind, std::size_t i) {
  const std::string_view name = kind_info(kind).names[i];
  if (name == "r" || name == "r_ion") return ParamRole::Resistance;
  if (name == "c" || name == "q" || name == "qs") return ParamRole::Capacitance;
  if (name == "alpha" || name == "gamma") return ParamRole::Exponent;
  if (name == "l") return ParamRole::Inductance;
  if (name == "aw" || name == "z0" || name == "rg") return ParamRole::Diffusion;
  if (name == "tau" || name == "tau_k" || name == "tg") return ParamRole::Time;
  return ParamRole::Other;
}

CircuitRoles circuit_roles(const SeriesList& circuit) {
  CircuitRoles out;
  std::size_t offset = 0;
  walk(circuit, offset, out);
  return out;
}

bool interchangeable(const ArcCore& a, const ArcCore& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (std::size_t k = 0; k < a.entries.size(); ++k)
    if (a.entries[k].role != b.entries[k].role || a.entries[k].kind != b.entries[k].kind) return false;
  return true;
}

std::vector<std::vector<double>> structured_restarts(const CircuitRoles& roles, std::span<const double> x) {
  std::vector<std::vector<double>> out;
  const std::vector<double> base(x.begin(), x.end());
  const std::size_t n = std::min(base.size(), roles.roles.size());

  for (std::size_t a = 0; a < roles.arcs.size(); ++a)
    for (std::size_t b = a + 1; b < roles.arcs.size(); ++b) {
      if (!interchangeable(roles.arcs[a], roles.arcs[b])) continue;
      std::vector<double> p = base;
      for (std::size_t k = 0; k < roles.arcs[a].entries.size(); ++k) {
        const std::size_t i = roles.arcs[a].entries[k].index;
        const std::size_t j = roles.arcs[b].entries[k].index;
        if (i < n && j < n) std::swap(p[i], p[j]);
      }
      out.push_back(std::move(p));
    }

  bool any_exponent = false;
  for (std::size_t i = 0; i < n; ++i) any_exponent = any_exponent || roles.roles[i] == ParamRole::Exponent;
  if (any_exponent)
    for (const double v : {0.95, 0.75, 0.55}) {
      std::vector<double> p = base;
      for (std::size_t i = 0; i < n; ++i)
        if (roles.roles[i] == ParamRole::Exponent) p[i] = v;
      out.push_back(std::move(p));
    }

  auto scale_each = [&](ParamRole role, std::initializer_list<double> factors) {
    for (std::size_t i = 0; i < n; ++i) {
      if (roles.roles[i] != role) continue;
      for (const double f : factors) {
        std::vector<double> p = base;
        p[i] *= f;
        out.push_back(std::move(p));
      }
    }
  };
  scale_each(ParamRole::Capacitance, {1e-2, 1e-1, 1e1, 1e2});
  scale_each(ParamRole::Time, {1e-2, 1e-1, 1e1, 1e2});
  scale_each(ParamRole::Diffusion, {1e-1, 1e1});
  for (const ArcCore& arc : roles.arcs)
    for (const ArcCore::Entry& e : arc.entries)
      if (e.role == ParamRole::Resistance && e.index < n)
        for (const double f : {1e-1, 1e1}) {
          std::vector<double> p = base;
          p[e.index] *= f;
          out.push_back(std::move(p));
        }
  scale_each(ParamRole::Inductance, {1e-2, 1e2});
  return out;
}

}  // namespace kelvora
