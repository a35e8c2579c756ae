#include "fit/fit_method.h"

#include <string>

#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/build_outcome.h"
#include "fit/search/basin_hopping.h"
#include "fit/search/differential_evolution.h"
#include "fit/search/multi_start.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/minpack/lm_settings.h"
#include "fit/search/nelder_mead.h"
#include "fit/search/particle_swarm.h"
#include "fit/search/simulated_annealing.h"

namespace kelvora {
namespace {

FitExpected run_levenberg_marquardt(const FitInputs& in, const FitSettings& s) {
  LmSettings lm;
  lm.ftol = s.ftol;
  lm.xtol = s.xtol;
  lm.gtol = 1e-8;
  lm.patience = s.max_iterations;  // max(patience, 1) is applied per run
  return levenberg_marquardt_fit(in.circuit, in.frequencies, in.impedances, in.weighting, lm, in.constraints);
}

// ---- Method table -------------------------------------------------------
// One entry per method name.  New searches add a line here.
constexpr FitMethod kMethods[] = {
    {"levenberg_marquardt", run_levenberg_marquardt},
    {"particle_swarm", run_particle_swarm},
    {"nelder_mead", run_nelder_mead},
    {"differential_evolution", run_differential_evolution},
    {"simulated_annealing", run_simulated_annealing},
    {"basin_hopping", run_basin_hopping},
    {"multi_start", run_multi_start},
};
// -------------------------------------------------------------------------

// Every parameter fixed: nothing to search, the statistics at the given values.
FitExpected nothing_free(const FitInputs& in) {
  if (auto error = validate_fit_inputs(in.circuit, in.frequencies, in.impedances)) return unexpected(FitFailure{*error});
  EvaluationCounter counter{0};
  auto outcome = build_outcome(in.circuit, param_values(in.circuit), true, 0, angular_frequencies(in.frequencies),
                               in.impedances, compute_weights(in.impedances, in.weighting), counter, in.constraints);
  if (!outcome) return unexpected(FitFailure{std::move(outcome.error())});
  outcome->ending = FitEnding::NoParameters;
  return std::move(*outcome);
}

}  // namespace

std::span<const FitMethod> fit_methods() { return kMethods; }

FitExpected run_fit_method(std::string_view name, const FitInputs& inputs, const FitSettings& settings) {
  for (const FitMethod& method : kMethods) {
    if (method.name != name) continue;
    if (inputs.constraints && inputs.constraints->any_fixed() && inputs.constraints->free_count() == 0)
      return nothing_free(inputs);
    return method.run(inputs, settings);
  }
  return unexpected(FitFailure{FitError{FitError::Kind::UnknownMethod, std::string(name)}});
}

}  // namespace kelvora
