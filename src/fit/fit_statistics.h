#pragma once
// What a fit outcome says beyond its fields: degrees of freedom, reduced
// chi-square, information criteria, the correlation matrix and a printable
// summary table.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/constraints.h"
#include "fit/fit_outcome.h"

namespace kelvora {

// With n_obs = 2n residuals, k free parameters and RSS = chi_square:
//   dof = n_obs - k, reduced_chi_square = chi_square / dof,
//   aic = n_obs ln(RSS / n_obs) + 2k, bic = n_obs ln(RSS / n_obs) + k ln(n_obs).
// The reduced chi-square is NaN when dof <= 0 (nothing is left to estimate the
// noise with).
struct FitStatistics {
  std::size_t observations = 0;
  std::size_t free_params = 0;
  std::int64_t dof = 0;
  double reduced_chi_square = 0.0;
  double aic = 0.0;
  double bic = 0.0;
};
FitStatistics fit_statistics(const FitOutcome& outcome, const ParamConstraints& constraints);

// R_ij = C_ij / sqrt(C_ii C_jj) for the p x p row-major covariance C; rows
// and columns of parameters with zero variance (the fixed ones) are zero.
std::vector<double> correlation(const std::vector<double>& covariance, std::size_t p);

// A table of every parameter: name, value +- standard error, relative error
// in percent, unit, and "fixed", "at bound" or "diverged" where one applies;
// headed by the method, its ending message and the statistics.  A parameter
// without an upper bound has diverged when it ended more than a million times
// above or below its value in `start` (the fit's start, one per parameter;
// empty: none) with no standard error or one above its value: it ran off to
// an open or short circuit the spectrum does not show.
std::string fit_summary(const FitOutcome& outcome, const ParamConstraints& constraints, std::string_view method,
                        std::span<const double> start = {});

}  // namespace kelvora
