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
// own leaves and the first capacitance (failing that, the first time
// constant), with that element's exponent.  Two arcs are interchangeable when their cores have the same
// roles on the same element kinds.
//
// The moves from a point x, in this order (each one a new starting point;
// the parameters a move does not name keep x):
//   1. every pair of interchangeable arcs with their core values swapped;
//      then, when an arc of the pair holds a diffusion amplitude outside
//      its core, swapped again with each such amplitude scaled as its arc's
//      core resistance (new / old), the diffusion kept in proportion to
//      the resistance it sits beside;
//   2. every exponent set to 0.75; then each exponent alone set to 0.05,
//      then 0.35;
//   3. each inductance times 10^-2, 10^2;
//   4. each resistance outside the arc cores at the high-frequency
//      intercept, max(min Re Z, 1e-3 max |Z|), then taken out (1e-6 max |Z|,
//      the arcs holding the intercept);
//   5. every resistance outside [1e-4, 1e2] max |Z| brought back: an arc's
//      to half the spread of the real part, any other to the intercept
//      (one point, made only when some resistance is outside);
//   6. each arc placed afresh in the spectrum, with every resistance outside
//      the arc cores at the intercept (move 4): resistance 0.5, then 0.05
//      times the spread of the real part, exponent 0.8 and for each of
//      these time constant tau = 1 / omega at 20%, 50% and 80% of the
//      measured decades (capacitance tau^a / R);
//   7. the degenerate arcs: for each arc whose core has a resistance, a
//      capacitance and an exponent, three states: shorted (resistance 1e-8
//      max |Z|, exponent 0.05, capacitance 1 / (0.3 spread of the real
//      part): a resistance-like CPE beside what else the arc holds) and
//      opened into a CPE tail (resistance 1e6 max |Z|, exponent 0.35
//      or 0.9, capacitance 1 / (max |Z| w0^a), w0 the lowest angular
//      frequency); one arc at a time in each state;
//   8. with two arcs or more, every arc placed afresh at once: resistance
//      0.5 times the spread of the real part, exponent 0.8, time constants
//      from 80% of the measured decades (the first arc) evenly down to 20%
//      (the last), capacitances as in move 6, every resistance outside the
//      arc cores at the intercept.
// Capacitances, time constants, diffusion terms and arc resistances are not
// scaled by decades: on measured spectra such a move never reached a basin
// that moves 6 to 8 and the restarts below did not reach as well.
// MoveSet::Later makes moves 2 to 6 only: from a basin a first round has
// just found, the swaps and the degenerate arcs never led further on
// measured spectra, while an exponent reset or an arc placed afresh still
// did.
// Moves are made on every parameter; the caller holds fixed ones and clamps
// into bounds.
//
// A random start draws every parameter in a range set by the spectrum, one
// draw u in [0, 1) per parameter in parameter order and a second for each
// capacitance; with Z = max |Z|, w0, w1 the lowest and highest angular
// frequency and logu(a, b) = a (b / a)^u:
//   exponent     0.4 + 0.59 u
//   resistance   logu(1e-4 Z, 3 Z)  (also z0 and rg)
//   time         logu(0.1 / w1, 10 / w0)
//   capacitance  tau^a / logu(1e-3 Z, Z), tau a time draw, a the element's
//                drawn exponent (1 without one)
//   inductance   logu(1e-4, 3) Z / w1
//   aw           logu(1e-3, 1) Z sqrt(w0)
// and any other parameter keeps the value it is given.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/node.h"
#include "fit/random/chacha.h"
#include "support/complex.h"

namespace kelvora {

enum class ParamRole : std::uint8_t { Resistance, Capacitance, Exponent, Inductance, Diffusion, Time, Other };

struct ArcCore {
  struct Entry {
    ParamRole role;
    Kind kind;
    std::size_t index;  // into the parameter vector
  };
  std::vector<Entry> entries;  // resistance, capacitance or time, exponent (those present)
  std::size_t first = 0, end = 0;  // the parameters of its group or leaf: [first, end)
};

struct CircuitRoles {
  std::vector<ParamRole> roles;     // one per parameter, in parameter order
  std::vector<Kind> kinds;          // each parameter's element kind
  std::vector<std::size_t> firsts;  // each parameter's element's first parameter index
  std::vector<ArcCore> arcs;        // in the order their groups or leaves appear
};

// What the moves and random starts scale to.
struct SpectrumScale {
  double z_max = 1.0;       // max |Z|
  double re_spread = 1.0;   // max Re Z - min Re Z (z_max when not positive)
  double re_min = 0.0;      // min Re Z
  double omega_min = 1.0;   // rad/s
  double omega_max = 1.0;
};
SpectrumScale spectrum_scale(std::span<const double> omega, std::span<const Complex> impedances);

// The role of parameter `i` of an element of `kind`.
ParamRole param_role(Kind kind, std::size_t i);

CircuitRoles circuit_roles(const SeriesList& circuit);

// Whether the cores of two arcs can trade values.
bool interchangeable(const ArcCore& a, const ArcCore& b);

enum class MoveSet : std::uint8_t { All, Later };

// The structured moves from `x` (one entry per parameter), in the order
// above.
std::vector<std::vector<double>> structured_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     const SpectrumScale& scale, MoveSet set = MoveSet::All);

// Move 1 alone: every pair of interchangeable arcs swapped, then swapped
// with the diffusion amplitudes beside them scaled.
std::vector<std::vector<double>> swapped_arc_restarts(const CircuitRoles& roles, std::span<const double> x);

// The shorted arcs with a diffusion element beside their resistance, where
// the diffusion and the arc's resistance-like CPE form an arc of their own:
// for each arc whose core has a resistance, a capacitance and an exponent,
// shorted as in move 7 but with its capacitance 1 / (0.5 spread of the real
// part), its diffusion amplitudes at that resistance (aw: at it times
// sqrt(w)) and its other time constants at 1 / w, w at 50% and then 80% of
// the measured decades; each once with the other arcs kept, once with them
// placed at 20% (move 6's values) and every resistance outside the arc
// cores at the intercept, and once with every other arc that has a
// resistance, a capacitance and an exponent opened into a CPE tail of
// exponent 0.9 (move 7).  Meant to be run with the shorted resistance held
// (and the opened ones, degenerate too).
std::vector<std::vector<double>> shorted_diffusion_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                            const SpectrumScale& scale);

// Each arc that has a resistance, a capacitance and an exponent opened into
// a CPE tail of exponent 0.35 (move 7), with every other arc placed afresh
// in the middle of the measured decades: resistance 0.5 times the spread of
// the real part, exponent 0.8, time constant 1 / w, w at 50% of the
// decades (capacitance as in move 6).  Made with two arcs or more.  Meant
// to be run with the opened resistance held: let go, a local run walks it
// back down before the placed arc has moved.
std::vector<std::vector<double>> opened_arc_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     const SpectrumScale& scale);

// With two plain arcs or more (a resistance, a capacitance and an exponent,
// nothing else): each of them made ideal (exponent 1) and the others
// strongly depressed (exponent 0.4), every arc's time constant (R Q)^(1/a)
// kept.
// Measured battery spectra often have their best basin there, and a local
// run from between the two shapes stays between them.  Meant to be run with
// the ideal exponent held at its bound.
std::vector<std::vector<double>> ideal_arc_restarts(const CircuitRoles& roles, std::span<const double> x);

// Every pair of arcs that have a resistance, a capacitance and an exponent
// with their capacitances and exponents traded, the resistances kept.
std::vector<std::vector<double>> traded_capacitance_restarts(const CircuitRoles& roles, std::span<const double> x);

// Every inductance placed on the spectrum's scale, at 1e-3 and then 1e-2
// max |Z| / w1, w1 the highest angular frequency.  Made when the circuit has
// an inductance.  Meant to be run with the inductances held: from a fit
// that walked an inductance down to its bound, a short local run takes it
// straight back there, although a longer one finds a lower basin.
std::vector<std::vector<double>> placed_inductance_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                            const SpectrumScale& scale);

// Each diffusion element's time constant stretched by 10, 10^2 and 10^4 with
// its amplitude (z0, rg) times the square root, which keeps the line of its
// high-frequency end (exactly for Wo, Ws and G, where it is amplitude /
// sqrt(j w tau)): the fitted tail unchanged where it is measured, its bend
// moved to lower frequencies.  From a finished fit whose diffusion
// bends inside the measured decades, measured spectra often have a lower
// basin with the bend beyond them, which a local run does not reach.
std::vector<std::vector<double>> stretched_diffusion_restarts(const CircuitRoles& roles, std::span<const double> x);

// Each exponent between 0.9 and 1 set to 1, one at a time.  A local run
// slows down as an exponent nears its bound and may stop short of an ideal
// element that fits better.  Meant to be run with the exponent held there.
std::vector<std::vector<double>> ideal_exponent_restarts(const CircuitRoles& roles, std::span<const double> x);

// Each arc that has a resistance, a capacitance and an exponent and is
// opened into a CPE tail (its resistance at or above `opened`) with the tail
// made an ideal capacitor (exponent 1, capacitance kept).  Meant to be run
// with the resistance let go: a measured low-frequency tail is often a
// capacitor whose leak resistance sets in just below the lowest frequency.
std::vector<std::vector<double>> ideal_tail_restarts(const CircuitRoles& roles, std::span<const double> x,
                                                     double opened);

// One random start; `x` gives the parameters without a range.
std::vector<double> random_start(const CircuitRoles& roles, std::span<const double> x, const SpectrumScale& scale,
                                 ChaCha12& rng);

}  // namespace kelvora
