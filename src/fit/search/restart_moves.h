#pragma once
// Structured restarts of a circuit fit: starting points that move a fitted
// circuit into the neighbouring basins a local solver cannot leave by itself.
//
// Each parameter gets a role from its element kind's parameter name:
//   resistance   "r", "r_ion"           capacitance  "c", "q", "qs"
//   exponent     "alpha", "gamma"       inductance   "l"
//   diffusion    "aw", "z0", "rg"       time         "tau", "tau_k", "tg"
// and anything else is left alone.  An arc is a parallel group (at any
// depth) or a K, Zarc or Tlmq leaf; its core is the first resistance of its
// own leaves and the first capacitance or time constant, with that element's
// exponent.  Two arcs are interchangeable when their cores have the same
// roles on the same element kinds.
//
// The moves from a point x, in this order (each one a new starting point;
// the parameters a move does not name keep x):
//   1. every pair of interchangeable arcs with their core values swapped;
//   2. every exponent set to 0.95, then 0.75, then 0.55;
//   3. each capacitance times 10^-2, 10^-1, 10, 10^2;
//   4. each time constant times 10^-2, 10^-1, 10, 10^2;
//   5. each diffusion amplitude times 10^-1, 10;
//   6. each arc's core resistance times 10^-1, 10;
//   7. each inductance times 10^-2, 10^2.
// Moves are made on every parameter; the caller holds fixed ones and clamps
// into bounds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/node.h"

namespace kelvora {

enum class ParamRole : std::uint8_t { Resistance, Capacitance, Exponent, Inductance, Diffusion, Time, Other };

struct ArcCore {
  struct Entry {
    ParamRole role;
    Kind kind;
    std::size_t index;  // into the parameter vector
  };
  std::vector<Entry> entries;  // resistance, capacitance or time, exponent (those present)
};

struct CircuitRoles {
  std::vector<ParamRole> roles;  // one per parameter, in parameter order
  std::vector<ArcCore> arcs;     // in the order their groups or leaves appear
};

// The role of parameter `i` of an element of `kind`.
ParamRole param_role(Kind kind, std::size_t i);

CircuitRoles circuit_roles(const SeriesList& circuit);

// Whether the cores of two arcs can trade values.
bool interchangeable(const ArcCore& a, const ArcCore& b);

// The structured moves from `x` (one entry per parameter), in the order
// above.
std::vector<std::vector<double>> structured_restarts(const CircuitRoles& roles, std::span<const double> x);

}  // namespace kelvora
