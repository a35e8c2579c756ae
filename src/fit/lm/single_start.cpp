#include "fit/lm/single_start.h"

#include <algorithm>
#include <cmath>

#include "fit/lm/lm_problem.h"

namespace kelvora {

std::optional<InternalError> check_lm_settings(const LmSettings& settings) {
  if (std::signbit(settings.ftol)) return InternalError{"ftol must be >= 0"};
  if (std::signbit(settings.xtol)) return InternalError{"xtol must be >= 0"};
  if (std::signbit(settings.gtol)) return InternalError{"gtol must be >= 0"};
  return std::nullopt;
}

Expected<LmRunReport, InternalError> levenberg_marquardt_single_start(const ResidualModel& model,
                                                                      const ParamBounds& bounds,
                                                                      std::span<const double> z0,
                                                                      std::vector<bool> pinned,
                                                                      const LmSettings& settings,
                                                                      EvaluationCounter& counter) {
  if (auto error = check_lm_settings(settings)) return unexpected(std::move(*error));
  LmProblem problem(model, bounds, std::move(pinned), {z0.begin(), z0.end()}, counter);

  LmSolverSettings solver;
  solver.ftol = settings.ftol;
  solver.xtol = settings.xtol;
  solver.gtol = settings.gtol;
  solver.step_bound = 100.0;
  solver.patience = std::max<std::uint64_t>(settings.patience, 1);
  LmSolverReport report = lm_minimize(problem, {z0.begin(), z0.end()}, solver);

  LmRunReport run;
  run.values = to_physical(report.x, bounds);
  run.success = is_success(report.ending);
  run.evaluations = report.evaluations;
  run.ending = report.ending;
  return run;
}

}  // namespace kelvora
