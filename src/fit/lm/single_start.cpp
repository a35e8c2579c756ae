#include "fit/lm/single_start.h"

#include <algorithm>
#include <cmath>

#include "fit/lm/lm_problem.h"

namespace kelvora {

Expected<LmRunReport, InternalError> levenberg_marquardt_single_start(const ResidualModel& model,
                                                                      const ParamBounds& bounds,
                                                                      std::span<const double> z0,
                                                                      std::vector<bool> pinned,
                                                                      const LmSettings& settings,
                                                                      EvaluationCounter& counter) {
  if (auto error = settings.validate()) return unexpected(std::move(*error));
  LmProblem problem(model, bounds, std::move(pinned), {z0.begin(), z0.end()}, counter);

  LmSolverReport report = lm_minimize(problem, {z0.begin(), z0.end()}, settings);

  LmRunReport run;
  run.values = to_physical(report.x, bounds);
  run.success = is_success(report.ending);
  run.evaluations = report.evaluations;
  run.ending = report.ending;
  return run;
}

}  // namespace kelvora
