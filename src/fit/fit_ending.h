#pragma once
// Why a fit's solver stopped: the Levenberg-Marquardt endings (lmder's
// termination info) and one per global search, each with its name and the
// text that explains it.
#include <optional>
#include <span>
#include <string_view>

#include "fit/minpack/lm_solver.h"

namespace kelvora {

enum class FitEnding {
  // Levenberg-Marquardt: the ending of the run whose values are reported.
  ResidualsZero,
  Orthogonal,
  ConvergedF,
  ConvergedX,
  ConvergedFX,
  EvaluationLimit,
  NoImprovementF,
  NoImprovementX,
  NoImprovementG,
  NonFinite,
  NoParameters,
  NoResiduals,
  // The global searches: why the search itself stopped, whether or not the
  // polish replaced its point.
  SimplexConverged,
  SimplexStepLimit,
  SwarmGenerationsDone,
  AnnealingStepsDone,
  EvolutionBudgetSpent,
  HopsDone,
};

struct FitEndingInfo {
  FitEnding ending;
  std::optional<LmEnding> solver;  // the solver's ending it reports, for the Levenberg-Marquardt rows
  std::string_view name;           // lower snake case
  std::string_view message;
};

// Every ending once, in enum order.
std::span<const FitEndingInfo> fit_endings();

const FitEndingInfo& fit_ending_info(FitEnding ending);

// The row whose `solver` is `ending`.
FitEnding fit_ending(LmEnding ending);

}  // namespace kelvora
