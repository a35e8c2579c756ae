#pragma once
// Basin hopping (D. J. Wales and J. P. K. Doye, "Global optimization by
// basin-hopping and the lowest energy structures of Lennard-Jones clusters",
// J. Phys. Chem. A 101, 1997): a chain of multi-start Levenberg–Marquardt
// minimisations, each started from a uniform perturbation of the last
// accepted minimum in search coordinates, accepted by the Metropolis rule.
//
// Per hop, with s the step size and T the temperature:
//   z'_i = z_i + (2 s u_i - s),  u_i = unit_from_bits52(draw)  (every coordinate)
//   accept the new minimum when its cost c' is finite and c' < c, or else
//   when p < exp(-(c' - c) / T) with p = unit_from_bits53(draw) - the only
//   case that takes an acceptance draw.
// The lowest finite minimum seen is the result, built directly with
// build_outcome (no polish: every hop already ends in a local minimum).
#include <cstdint>
#include <optional>
#include <span>

#include "circuit/constraints.h"
#include "circuit/node.h"
#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/weighting.h"
#include "support/complex.h"

namespace kelvora {

struct BasinHoppingOptions {
  // Hops after the first minimisation (fit argument basin_hopping_hops).
  std::uint32_t hops = 20;
  // s, half-width of the perturbation in search units (decades for
  // log-mapped parameters); must be finite, >= 0, and 2 s finite.
  double step_size = 1.0;
  // T, the Metropolis temperature in cost units.  Not restricted: with
  // T <= 0 (or NaN) every uphill and equal-cost move is rejected.
  double temperature = 1.0;
  // Seed of the ChaCha12 generator; none keys it from OS entropy.
  std::optional<std::uint64_t> seed;

  // A negative or NaN half-width, or one whose double overflows, gives no
  // perturbation range: "basin_hopping_step_size must be a finite number >= 0
  // whose double is finite, got {s}".
  std::optional<FitError> validate() const;
};

// success is always true; iterations sums the local minimisations' counts;
// impedance_evals covers only the final statistics (a fresh counter).  After
// the input checks, options.validate() refuses a step size before the
// generator is keyed; an error of any local minimisation ends the fit with
// that error.
FitExpected basin_hopping_fit(const SeriesList& circuit, std::span<const double> frequencies,
                              std::span<const Complex> impedances, Weighting weighting,
                              const BasinHoppingOptions& options,
                              const ParamConstraints* constraints = nullptr);

// The "basin_hopping" entry of the fit method table.
FitExpected run_basin_hopping(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
