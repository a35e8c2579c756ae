#include "fit/fit_method.h"

#include <string>

#include "fit/search/basin_hopping.h"
#include "fit/search/differential_evolution.h"
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
  return levenberg_marquardt_fit(in.circuit, in.frequencies, in.impedances, in.weighting, lm);
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
};
// -------------------------------------------------------------------------

}  // namespace

std::span<const FitMethod> fit_methods() { return kMethods; }

FitExpected run_fit_method(std::string_view name, const FitInputs& inputs, const FitSettings& settings) {
  for (const FitMethod& method : kMethods)
    if (method.name == name) return method.run(inputs, settings);
  return unexpected(FitFailure{FitError{FitError::Kind::UnknownMethod, std::string(name)}});
}

}  // namespace kelvora
