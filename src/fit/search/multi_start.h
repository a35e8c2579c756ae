#pragma once
// Multi-start: Levenberg–Marquardt from the start values, then from
// structured restarts of the best minimum found and from random starts
// scaled to the spectrum (restart_moves.h), keeping the lowest minimum.  It
// spends more evaluations than one Levenberg–Marquardt fit to find the best
// basin when the start lies in a neighbouring one: arcs fitted in swapped
// order, an exponent or a capacitance stuck decades away, an arc that
// should be open, a diffusion tail taken for an arc.
//
// 1. b = levenberg_marquardt_fit from the start values.
// 2. A round, from b's values:
//    a. the points: the structured moves of b (MoveSet::All in the first
//       round, MoveSet::Later after it), then (first round only)
//       `random_starts` random starts drawn from one ChaCha12 generator
//       keyed by `seed`; each point with its parameters clamped into their
//       bounds (an open parameter a move took to or below its lower bound
//       keeps b's value) and the fixed parameters at their start values;
//    b. screening: one Levenberg–Marquardt run from each point with
//       patience `screen_patience` and ftol and xtol at least
//       `screen_tolerance`, its cost at the run's values clamped
//       into the bounds (an open parameter held at its lower bound);
//    c. the `finalists` (`later_finalists` after the first round) lowest
//       finite screened minima of distinct basins, in
//       ascending order: a minimum is a basin seen when its cost is within
//       1e-3 relative of one seen before, b's included, or its search
//       coordinates are all within 0.05 of that one's.  A basin "finished
//       by itself" gets one full-patience run with its pinned parameters
//       held, then once more with those it ended on pinned too, its
//       statistics from build_outcome; pinned are the bounded parameters on
//       a bound and the open resistances below 1e-7 or above 1e5 times
//       max |Z| (an arc shorted or opened, which a local run would walk to
//       its bound decade by decade).  A degenerate minimum (with such a
//       resistance) is finished by itself only.  Any other
//       is finished by levenberg_marquardt_fit (its own candidates when a
//       run ends unclean, which the degenerate basins of measured spectra
//       do), and by itself when that fit ends above the screened cost.  A
//       minimum replaces b when its cost is finite and below (1 - 1e-9)
//       times b's (or b's is not finite);
//    d. the held restarts, one list per kind: in the first round
//       shorted_diffusion_restarts(b), opened_arc_restarts(b),
//       ideal_arc_restarts(b), traded_capacitance_restarts(b) and
//       placed_inductance_restarts(b); in later rounds the ideal arcs and
//       the placed inductances only.  Each point is screened as in b. with
//       its degenerate resistances pinned (and, for the ideal arcs, the
//       bounded parameters on a bound; for the placed inductances, the
//       inductances), then screened once more from where it ended with
//       the bounded parameters it ended on a bound pinned too (the lower of
//       the two counts); of each list the lowest, when its cost is below
//       1.5 times b's and its basin not seen (as in c.), is finished by
//       itself and then counts as seen.
// 3. Another round follows while the last one lowered b's cost below 0.99
//    times its cost at the round's start (a new basin, not a refinement), at
//    most `rounds` rounds.
// 4. Last, from b's values: each point of stretched_diffusion_restarts(b)
//    finished by itself.  Then the points of ideal_exponent_restarts and
//    ideal_tail_restarts (resistances opened at 1e5 max |Z|) of b, and of
//    the lowest degenerate basin finished by itself that did not replace b
//    when its cost is below 1.1 times b's: a point with an arc still shorted
//    or opened is finished by levenberg_marquardt_fit, which lets go the
//    resistance a fit by itself would hold; any other by one full-patience
//    run.  Each replaces b as in c.
// 5. Finally each point of swapped_arc_restarts(b) (move 1), fitted by
//    levenberg_marquardt_fit: a search that began from a degenerate fit may
//    end with the arcs the other way round from the best basin's.
// The outcome is that of the fit that found b (the first, when none did
// better).
//
// iterations sums every run's solver evaluations; impedance_evals counts
// every residual evaluation of the method.  Equal inputs and an equal seed
// give equal results.
#include <cstdint>
#include <optional>

#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/minpack/lm_settings.h"

namespace kelvora {

struct MultiStartOptions {
  LmSettings local;                    // every full Levenberg–Marquardt fit (validated first)
  std::uint64_t screen_patience = 2;   // patience of the screening runs
  double screen_tolerance = 1e-4;      // their ftol and xtol at least (a screen ranks, it need not converge)
  std::uint32_t random_starts = 4;     // in the first round
  std::uint32_t finalists = 3;         // in the first round
  std::uint32_t later_finalists = 1;   // in each later round
  std::uint32_t rounds = 2;            // at most
  std::optional<std::uint64_t> seed;   // of the ChaCha12 generator; none keys it from OS entropy
};

FitExpected multi_start_fit(const FitInputs& inputs, const MultiStartOptions& options);

// The "multi_start" entry of the fit method table.
FitExpected run_multi_start(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
