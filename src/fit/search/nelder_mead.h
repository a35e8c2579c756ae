#pragma once
// Nelder–Mead simplex search (J. A. Nelder and R. Mead, "A simplex method for
// function minimization", The Computer Journal 7(4), 1965), over the search
// space of the global searches, ending in a Levenberg–Marquardt polish.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/fit_method.h"
#include "fit/fit_outcome.h"
#include "fit/fit_settings.h"
#include "fit/search/search_problem.h"
#include "support/expected.h"

namespace kelvora {

struct NelderMeadOptions {
  // Simplex steps at most (the fit argument nelder_mead_iterations); any
  // value is valid, 0 evaluates the initial simplex only.
  std::uint64_t iterations = 2000;

  // Nothing to refuse.
  std::optional<FitError> validate() const { return std::nullopt; }
};

// Coefficients: reflection alpha = 1, expansion gamma = 2, contraction
// rho = 1/2, shrink sigma = 1/2.  The search stops when the sample standard
// deviation of the vertex costs falls below 2^-52, or after `iterations`
// steps.  The initial simplex is z0 plus, for each coordinate i, z0 with
// z0[i] increased by 0.1 * |z0[i]| (0.1 when |z0[i]| <= 1e-8).
//
// Fails with a Solver error when a reflected cost is NaN (no rule of the
// method applies) or when no vertex ever had a non-NaN cost.
SearchExpected nelder_mead_search(const SearchCost& cost, std::vector<double> z0,
                                                       std::uint64_t max_iterations);

// Fits the circuit from its current values by run_search: the search starts
// at the start point, and the polish gets the number of simplex steps
// performed.
FitExpected nelder_mead_fit(const SeriesList& circuit, std::span<const double> frequencies,
                            std::span<const Complex> impedances, Weighting weighting,
                            const NelderMeadOptions& options,
                            const ParamConstraints* constraints = nullptr);

// The "nelder_mead" entry of the fit method table.
FitExpected run_nelder_mead(const FitInputs& inputs, const FitSettings& settings);

}  // namespace kelvora
