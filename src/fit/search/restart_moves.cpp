#include "fit/search/restart_moves.h"

#include "fit/random/range.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <initializer_list>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

namespace kelvora {
namespace {

// The core of an arc under construction: the first resistance, the first
// capacitance or time constant with its element's exponent.
struct CoreBuilder {
  std::optional<ArcCore::Entry> resistance;
  std::optional<ArcCore::Entry> timing;    // the first capacitance, else the first time constant
  std::optional<ArcCore::Entry> exponent;  // the timing element's
  bool capacitive = false;

  void offer_leaf(Kind kind, std::size_t offset) {
    std::optional<ArcCore::Entry> capacitance, time, leaf_exponent;
    for (std::size_t i = 0; i < param_count(kind); ++i) {
      const ParamRole role = param_role(kind, i);
      const ArcCore::Entry entry{role, kind, offset + i};
      if (role == ParamRole::Resistance && !resistance) resistance = entry;
      if (role == ParamRole::Capacitance && !capacitance) capacitance = entry;
      if (role == ParamRole::Time && !time) time = entry;
      if (role == ParamRole::Exponent && !leaf_exponent) leaf_exponent = entry;
    }
    if (capacitance && !capacitive) {
      timing = capacitance;
      exponent = leaf_exponent;
      capacitive = true;
    } else if (time && !timing) {
      timing = time;
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
    out.arcs.back().first = offset;
    out.arcs.back().end = offset + param_count(kind);
  }
  for (std::size_t i = 0; i < param_count(kind); ++i) {
    out.roles.push_back(param_role(kind, i));
    out.kinds.push_back(kind);
    out.firsts.push_back(offset);
  }
  offset += param_count(kind);
}

void walk_group(const ParallelGroup& group, std::size_t& offset, CircuitRoles& out) {
  CoreBuilder builder;
  const std::size_t first = offset;
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
  if (builder.is_arc()) {
    out.arcs[arc_slot] = builder.core();
    out.arcs[arc_slot].first = first;
    out.arcs[arc_slot].end = offset;
  } else {
    out.arcs.erase(out.arcs.begin() + static_cast<std::ptrdiff_t>(arc_slot));
  }
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

// An arc's resistance switched off (times max |Z|) and opened.
constexpr double kOffResistance = 1e-8;
constexpr double kOpenResistance = 1e6;
// A resistance outside the arcs taken out (times max |Z|).
constexpr double kNegligible = 1e-6;
// The exponent of a CPE that acts as a resistance.
constexpr double kFlatExponent = 0.05;
// Its admittance, as 1 / (this share of the real part's spread).
constexpr double kFlatShare = 0.3;
// The exponent of the arcs beside an ideal one.
constexpr double kDepressedExponent = 0.4;
// Inductances placed on the spectrum's scale (times max |Z| / w1).
constexpr double kPlacedInductances[] = {1e-3, 1e-2};
// An exponent above this, short of 1, is taken to 1.
constexpr double kNearlyIdeal = 0.9;
// The factors a diffusion element's time constant is stretched by.
constexpr double kDiffusionStretches[] = {10.0, 1e2, 1e4};
// The exponents of an arc opened into a CPE tail.
constexpr double kTailExponents[] = {0.35, 0.9};

// The core of an arc with a resistance, a capacitance and an exponent.
struct CpeArc {
  std::size_t resistance, capacitance, exponent;
};

// The arc's core when it has a resistance, a capacitance and an exponent
// (entries from `n` on are not counted).
std::optional<CpeArc> cpe_core(const ArcCore& arc, std::size_t n) {
  std::optional<std::size_t> r, c, a;
  for (const ArcCore::Entry& e : arc.entries) {
    if (e.index >= n) continue;
    if (e.role == ParamRole::Resistance) r = e.index;
    if (e.role == ParamRole::Capacitance) c = e.index;
    if (e.role == ParamRole::Exponent) a = e.index;
  }
  if (r && c && a) return CpeArc{*r, *c, *a};
  return std::nullopt;
}

// Which of the first `n` parameters belong to an arc core.
std::vector<bool> core_mask(const CircuitRoles& roles, std::size_t n) {
  std::vector<bool> in_core(n, false);
  for (const ArcCore& arc : roles.arcs)
    for (const ArcCore::Entry& e : arc.entries)
      if (e.index < n) in_core[e.index] = true;
  return in_core;
}

std::vector<CpeArc> cpe_arc_cores(const CircuitRoles& roles, std::size_t n) {
  std::vector<CpeArc> out;
  for (const ArcCore& arc : roles.arcs)
    if (const auto core = cpe_core(arc, n)) out.push_back(*core);
  return out;
}

// State 0: the arc shorted, a resistance-like CPE beside what else it holds;
// state 1 + k: opened into a CPE tail of exponent kTailExponents[k], |Z|
// about max |Z| at the lowest frequency.
void make_degenerate(std::vector<double>& p, const CpeArc& arc, std::size_t state, const SpectrumScale& scale) {
  if (state == 0) {
    p[arc.resistance] = kOffResistance * scale.z_max;
    p[arc.exponent] = kFlatExponent;
    p[arc.capacitance] = 1.0 / (kFlatShare * scale.re_spread);
  } else {
    const double exponent = kTailExponents[state - 1];
    p[arc.resistance] = kOpenResistance * scale.z_max;
    p[arc.exponent] = exponent;
    p[arc.capacitance] = 1.0 / (scale.z_max * std::pow(scale.omega_min, exponent));
  }
}

// a (b / a)^u
double log_uniform(double a, double b, double u) { return a * std::pow(b / a, u); }

// The value of the exponent of the element that parameter i belongs to, or 1.
double element_exponent(const CircuitRoles& roles, std::span<const double> p, std::size_t i) {
  const int k = exponent_index(roles.kinds[i]);
  const std::size_t j = roles.firsts[i] + static_cast<std::size_t>(k);
  return k >= 0 && j < p.size() ? p[j] : 1.0;
}

// The arc's core placed at time constant `tau` with resistance `r` and
// exponent 0.8 (a capacitance as tau^a / r); entries from `n` on are left.
void place_arc(const CircuitRoles& roles, std::vector<double>& p, const ArcCore& arc, double tau, double r,
               std::size_t n) {
  for (const ArcCore::Entry& e : arc.entries) {
    if (e.index >= n) continue;
    if (e.role == ParamRole::Resistance) p[e.index] = r;
    if (e.role == ParamRole::Exponent) p[e.index] = 0.8;
  }
  for (const ArcCore::Entry& e : arc.entries) {
    if (e.index >= n) continue;
    if (e.role == ParamRole::Time) p[e.index] = tau;
    if (e.role == ParamRole::Capacitance) p[e.index] = std::pow(tau, element_exponent(roles, p, e.index)) / r;
  }
}

}  // namespace

SpectrumScale spectrum_scale(std::span<const double> omega, std::span<const Complex> impedances) {
  SpectrumScale s;
  double z_max = 0.0, re_min = INFINITY, re_max = -INFINITY, w_min = INFINITY, w_max = 0.0;
  for (const Complex& z : impedances) {
    const double m = std::hypot(z.re, z.im);
    if (std::isfinite(m)) z_max = std::max(z_max, m);
    if (std::isfinite(z.re)) {
      re_min = std::min(re_min, z.re);
      re_max = std::max(re_max, z.re);
    }
  }
  for (const double w : omega)
    if (std::isfinite(w) && w > 0.0) {
      w_min = std::min(w_min, w);
      w_max = std::max(w_max, w);
    }
  if (z_max > 0.0) s.z_max = z_max;
  s.re_spread = re_max > re_min ? re_max - re_min : s.z_max;
  s.re_min = std::isfinite(re_min) ? re_min : 0.0;
  if (w_max > 0.0) {
    s.omega_min = w_min;
    s.omega_max = w_max;
  }
  return s;
}

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

std::vector<std::vector<double>> swapped_arc_restarts(const CircuitRoles& roles, std::span<const double> x) {
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
      // The diffusion amplitudes beside each arc's resistance, in proportion.
      std::vector<double> q = p;
      bool any = false;
      for (const std::size_t arc : {a, b}) {
        std::optional<std::size_t> r;
        for (const ArcCore::Entry& e : roles.arcs[arc].entries)
          if (e.role == ParamRole::Resistance && e.index < n) r = e.index;
        if (!r || !(base[*r] > 0.0) || !(p[*r] > 0.0)) continue;
        for (std::size_t i = roles.arcs[arc].first; i < std::min(roles.arcs[arc].end, n); ++i)
          if (roles.roles[i] == ParamRole::Diffusion) {
            q[i] *= p[*r] / base[*r];
            any = true;
          }
      }
      out.push_back(std::move(p));
      if (any) out.push_back(std::move(q));
    }
  return out;
}

std::vector<std::vector<double>> structured_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     const SpectrumScale& scale, MoveSet set) {
  const bool all = set == MoveSet::All;
  std::vector<std::vector<double>> out;
  const std::vector<double> base(x.begin(), x.end());
  const std::size_t n = std::min(base.size(), roles.roles.size());

  if (all)
    for (std::vector<double>& p : swapped_arc_restarts(roles, x)) out.push_back(std::move(p));

  bool any_exponent = false;
  for (std::size_t i = 0; i < n; ++i) any_exponent = any_exponent || roles.roles[i] == ParamRole::Exponent;
  if (any_exponent)
    for (const double v : {0.75}) {
      std::vector<double> p = base;
      for (std::size_t i = 0; i < n; ++i)
        if (roles.roles[i] == ParamRole::Exponent) p[i] = v;
      out.push_back(std::move(p));
    }

  for (std::size_t i = 0; i < n; ++i)
    if (roles.roles[i] == ParamRole::Exponent)
      for (const double v : {0.05, 0.35}) {
        std::vector<double> p = base;
        p[i] = v;
        out.push_back(std::move(p));
      }

  for (std::size_t i = 0; i < n; ++i)
    if (roles.roles[i] == ParamRole::Inductance)
      for (const double f : {1e-2, 1e2}) {
        std::vector<double> p = base;
        p[i] *= f;
        out.push_back(std::move(p));
      }

  // Resistances outside every arc core: at the high-frequency intercept.
  const std::vector<bool> in_core = core_mask(roles, n);
  for (std::size_t i = 0; i < n; ++i)
    if (roles.roles[i] == ParamRole::Resistance && !in_core[i]) {
      std::vector<double> p = base;
      p[i] = std::max(scale.re_min, 1e-3 * scale.z_max);  // the intercept
      out.push_back(p);
      p[i] = kNegligible * scale.z_max;  // gone: the arcs hold the intercept
      out.push_back(std::move(p));
    }
  // Every resistance that ran off the spectrum's scale brought back to it.
  {
    std::vector<double> p = base;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i)
      if (roles.roles[i] == ParamRole::Resistance && !(p[i] >= 1e-4 * scale.z_max && p[i] <= 1e2 * scale.z_max)) {
        p[i] = in_core[i] ? 0.5 * scale.re_spread : std::max(scale.re_min, 1e-3 * scale.z_max);
        any = true;
      }
    if (any) out.push_back(std::move(p));
  }

  const double decades = std::log10(scale.omega_max / scale.omega_min);
  const double intercept = std::max(scale.re_min, 1e-3 * scale.z_max);
  for (const ArcCore& arc : roles.arcs) {
    bool inside = true;
    for (const ArcCore::Entry& e : arc.entries) inside = inside && e.index < n;
    if (!inside) continue;
    for (const double share : {0.5, 0.05})
      for (const double at : {0.2, 0.5, 0.8}) {
        const double tau = 1.0 / (scale.omega_min * std::pow(10.0, at * decades));
        const double r = share * scale.re_spread;
        std::vector<double> p = base;
        for (std::size_t i = 0; i < n; ++i)
          if (roles.roles[i] == ParamRole::Resistance && !in_core[i]) p[i] = intercept;
        place_arc(roles, p, arc, tau, r, n);
        out.push_back(std::move(p));
      }
  }
  if (!all) return out;
  // Degenerate arcs, where measured spectra often have their best basin:
  // every arc with a resistance, a capacitance and an exponent kept,
  // shorted or opened (degenerate), one arc at a time.
  const std::vector<CpeArc> cpe_arcs = cpe_arc_cores(roles, n);
  constexpr std::size_t kStates = 1 + std::size(kTailExponents);
  for (std::size_t k = 0; k < cpe_arcs.size(); ++k)
    for (std::size_t s = 0; s < kStates; ++s) {
      std::vector<double> p = base;
      make_degenerate(p, cpe_arcs[k], s, scale);
      out.push_back(std::move(p));
    }
  // Every arc placed afresh at once (two arcs or more): resistance 0.5 times
  // the spread of the real part, exponent 0.8, the first arc's time constant
  // at 80% of the measured decades down to the last one's at 20%, every
  // resistance outside the arc cores at the intercept.
  if (roles.arcs.size() >= 2) {
    std::vector<double> p = base;
    for (std::size_t i = 0; i < n; ++i)
      if (roles.roles[i] == ParamRole::Resistance && !in_core[i]) p[i] = intercept;
    const double last = static_cast<double>(roles.arcs.size() - 1);
    for (std::size_t k = 0; k < roles.arcs.size(); ++k) {
      const double at = 0.8 - 0.6 * static_cast<double>(k) / last;
      const double tau = 1.0 / (scale.omega_min * std::pow(10.0, at * decades));
      const double r = 0.5 * scale.re_spread;
      place_arc(roles, p, roles.arcs[k], tau, r, n);
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> shorted_diffusion_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                            const SpectrumScale& scale) {
  std::vector<std::vector<double>> out;
  const std::vector<double> base(x.begin(), x.end());
  const std::size_t n = std::min(base.size(), roles.roles.size());
  const std::vector<bool> in_core = core_mask(roles, n);
  const double decades = std::log10(scale.omega_max / scale.omega_min);
  const double intercept = std::max(scale.re_min, 1e-3 * scale.z_max);
  const double r = 0.5 * scale.re_spread;
  auto at_decades = [&](double share) { return scale.omega_min * std::pow(10.0, share * decades); };
  const std::vector<CpeArc> cpe_arcs = cpe_arc_cores(roles, n);
  // The other arcs: as they are, placed at 20% of the decades, or opened
  // into a CPE tail of exponent 0.9.
  enum class Others { Kept, Placed, Opened };
  constexpr std::size_t kOpenedTail = 2;

  for (std::size_t k = 0; k < roles.arcs.size(); ++k) {
    const ArcCore& arc = roles.arcs[k];
    const std::optional<CpeArc> core = cpe_core(arc, n);
    bool diffusion = false;
    for (std::size_t i = arc.first; i < std::min(arc.end, n); ++i)
      diffusion = diffusion || (roles.roles[i] == ParamRole::Diffusion && !in_core[i]);
    if (!core || !diffusion) continue;
    for (const double at : {0.5, 0.8})
      for (const Others others : {Others::Kept, Others::Placed, Others::Opened}) {
        std::vector<double> p = base;
        p[core->resistance] = kOffResistance * scale.z_max;
        p[core->exponent] = kFlatExponent;
        p[core->capacitance] = 1.0 / r;
        const double w = at_decades(at);
        for (std::size_t i = arc.first; i < std::min(arc.end, n); ++i) {
          if (in_core[i]) continue;
          const std::string_view name = kind_info(roles.kinds[i]).names[i - roles.firsts[i]];
          if (roles.roles[i] == ParamRole::Diffusion) p[i] = name == "aw" ? r * std::sqrt(w) : r;
          if (roles.roles[i] == ParamRole::Time) p[i] = 1.0 / w;
        }
        if (others == Others::Placed) {
          for (std::size_t i = 0; i < n; ++i)
            if (roles.roles[i] == ParamRole::Resistance && !in_core[i]) p[i] = intercept;
          const double tau = 1.0 / at_decades(0.2);
          for (std::size_t j = 0; j < roles.arcs.size(); ++j) {
            if (j == k) continue;
            place_arc(roles, p, roles.arcs[j], tau, r, n);
          }
        }
        if (others == Others::Opened)
          for (const CpeArc& other : cpe_arcs)
            if (other.resistance != core->resistance) make_degenerate(p, other, kOpenedTail, scale);
        out.push_back(std::move(p));
      }
  }
  return out;
}

std::vector<std::vector<double>> opened_arc_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     const SpectrumScale& scale) {
  std::vector<std::vector<double>> out;
  const std::vector<double> base(x.begin(), x.end());
  const std::size_t n = std::min(base.size(), roles.roles.size());
  if (roles.arcs.size() < 2) return out;
  const double decades = std::log10(scale.omega_max / scale.omega_min);
  const double tau = 1.0 / (scale.omega_min * std::pow(10.0, 0.5 * decades));
  for (const CpeArc& opened : cpe_arc_cores(roles, n)) {
    std::vector<double> p = base;
    make_degenerate(p, opened, 1, scale);
    for (const ArcCore& arc : roles.arcs) {
      const bool holds_it = std::any_of(arc.entries.begin(), arc.entries.end(),
                                        [&](const ArcCore::Entry& e) { return e.index == opened.resistance; });
      if (!holds_it) place_arc(roles, p, arc, tau, 0.5 * scale.re_spread, n);
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> ideal_arc_restarts(const CircuitRoles& roles, std::span<const double> x) {
  std::vector<std::vector<double>> out;
  const std::size_t n = std::min(x.size(), roles.roles.size());
  std::vector<CpeArc> cores;
  for (const ArcCore& arc : roles.arcs)
    if (const auto core = cpe_core(arc, n); core && arc.end - arc.first == arc.entries.size()) cores.push_back(*core);
  if (cores.size() < 2) return out;
  // The arc's exponent set to `a`, its time constant (R Q)^(1/a) kept.
  auto reshape = [&](std::vector<double>& p, const CpeArc& arc, double a) {
    const double r = x[arc.resistance], q = x[arc.capacitance], old = x[arc.exponent];
    if (r > 0.0 && q > 0.0 && old > 0.0) p[arc.capacitance] = std::pow(r * q, a / old) / r;
    p[arc.exponent] = a;
  };
  for (const CpeArc& ideal : cores) {
    std::vector<double> p(x.begin(), x.end());
    for (const CpeArc& arc : cores) reshape(p, arc, &arc == &ideal ? 1.0 : kDepressedExponent);
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> traded_capacitance_restarts(const CircuitRoles& roles, std::span<const double> x) {
  std::vector<std::vector<double>> out;
  const std::size_t n = std::min(x.size(), roles.roles.size());
  const std::vector<CpeArc> cores = cpe_arc_cores(roles, n);
  for (std::size_t a = 0; a < cores.size(); ++a)
    for (std::size_t b = a + 1; b < cores.size(); ++b) {
      std::vector<double> p(x.begin(), x.end());
      std::swap(p[cores[a].capacitance], p[cores[b].capacitance]);
      std::swap(p[cores[a].exponent], p[cores[b].exponent]);
      out.push_back(std::move(p));
    }
  return out;
}

std::vector<std::vector<double>> placed_inductance_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                            const SpectrumScale& scale) {
  std::vector<std::vector<double>> out;
  const std::size_t n = std::min(x.size(), roles.roles.size());
  bool any = false;
  for (std::size_t i = 0; i < n; ++i) any = any || roles.roles[i] == ParamRole::Inductance;
  if (!any) return out;
  for (const double share : kPlacedInductances) {
    std::vector<double> p(x.begin(), x.end());
    for (std::size_t i = 0; i < n; ++i)
      if (roles.roles[i] == ParamRole::Inductance) p[i] = share * scale.z_max / scale.omega_max;
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> stretched_diffusion_restarts(const CircuitRoles& roles, std::span<const double> x) {
  std::vector<std::vector<double>> out;
  const std::size_t n = std::min({x.size(), roles.roles.size(), roles.firsts.size()});
  for (std::size_t t = 0; t < n; ++t) {
    if (roles.roles[t] != ParamRole::Time) continue;
    for (std::size_t d = 0; d < n; ++d) {
      if (roles.roles[d] != ParamRole::Diffusion || roles.firsts[d] != roles.firsts[t]) continue;
      for (const double k : kDiffusionStretches) {
        std::vector<double> p(x.begin(), x.end());
        p[t] *= k;
        p[d] *= std::sqrt(k);
        out.push_back(std::move(p));
      }
    }
  }
  return out;
}

std::vector<std::vector<double>> ideal_exponent_restarts(const CircuitRoles& roles, std::span<const double> x) {
  std::vector<std::vector<double>> out;
  const std::size_t n = std::min(x.size(), roles.roles.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (roles.roles[i] != ParamRole::Exponent || !(x[i] > kNearlyIdeal && x[i] < 1.0)) continue;
    std::vector<double> p(x.begin(), x.end());
    p[i] = 1.0;
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> ideal_tail_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     double opened) {
  std::vector<std::vector<double>> out;
  for (const CpeArc& core : cpe_arc_cores(roles, std::min(x.size(), roles.roles.size()))) {
    if (!(x[core.resistance] >= opened && x[core.exponent] < 1.0)) continue;
    std::vector<double> p(x.begin(), x.end());
    p[core.exponent] = 1.0;
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<double> random_start(const CircuitRoles& roles, std::span<const double> x, const SpectrumScale& scale,
                                 ChaCha12& rng) {
  const std::size_t n = std::min(x.size(), roles.roles.size());
  std::vector<double> u(n), v(n, 0.0), p(x.begin(), x.end());
  for (std::size_t i = 0; i < n; ++i) {
    u[i] = unit_from_bits52(rng.next_u64());
    if (roles.roles[i] == ParamRole::Capacitance) v[i] = unit_from_bits52(rng.next_u64());
  }
  const double z = scale.z_max, w0 = scale.omega_min, w1 = scale.omega_max;
  auto time = [&](double t) { return log_uniform(0.1 / w1, 10.0 / w0, t); };
  for (std::size_t i = 0; i < n; ++i)  // exponents first: the capacitances use them
    if (roles.roles[i] == ParamRole::Exponent) p[i] = 0.4 + 0.59 * u[i];
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view name = kind_info(roles.kinds[i]).names[i - roles.firsts[i]];
    switch (roles.roles[i]) {
      case ParamRole::Resistance:
        p[i] = log_uniform(1e-4 * z, 3.0 * z, u[i]);
        break;
      case ParamRole::Diffusion:
        p[i] = name == "aw" ? log_uniform(1e-3, 1.0, u[i]) * z * std::sqrt(w0) : log_uniform(1e-4 * z, 3.0 * z, u[i]);
        break;
      case ParamRole::Time:
        p[i] = time(u[i]);
        break;
      case ParamRole::Capacitance:
        p[i] = std::pow(time(u[i]), element_exponent(roles, p, i)) / log_uniform(1e-3 * z, z, v[i]);
        break;
      case ParamRole::Inductance:
        p[i] = log_uniform(1e-4, 3.0, u[i]) * z / w1;
        break;
      case ParamRole::Exponent:
      case ParamRole::Other:
        break;
    }
  }
  return p;
}

}  // namespace kelvora
