#include "fit/fit_ending.h"

#include <stdexcept>

namespace kelvora {
namespace {

// ---- Ending table -------------------------------------------------------
// One row per ending, in enum order; lmder's info code in the comment.
constexpr FitEndingInfo kEndings[] = {
    {FitEnding::ResidualsZero, LmEnding::ResidualsZero, "residuals_zero", "the residuals are zero"},
    {FitEnding::Orthogonal, LmEnding::Orthogonal, "orthogonal",  // info 4
     "the residuals are orthogonal to every Jacobian column to within gtol"},
    {FitEnding::ConvergedF, LmEnding::ConvergedF, "converged_f",  // info 1
     "the actual and predicted relative reductions of the sum of squares are at most ftol"},
    {FitEnding::ConvergedX, LmEnding::ConvergedX, "converged_x",  // info 2
     "the relative change of the scaled parameters is at most xtol"},
    {FitEnding::ConvergedFX, LmEnding::ConvergedFX, "converged_fx",  // info 3
     "the ftol and the xtol tests both hold"},
    {FitEnding::EvaluationLimit, LmEnding::EvaluationLimit, "evaluation_limit",  // info 5
     "the residual evaluations reached their limit, patience times (parameters + 1)"},
    {FitEnding::NoImprovementF, LmEnding::NoImprovementF, "no_improvement_f",  // info 6
     "ftol is too small: no further reduction of the sum of squares is possible"},
    {FitEnding::NoImprovementX, LmEnding::NoImprovementX, "no_improvement_x",  // info 7
     "xtol is too small: no further improvement of the parameters is possible"},
    {FitEnding::NoImprovementG, LmEnding::NoImprovementG, "no_improvement_g",  // info 8
     "gtol is too small: the residuals are orthogonal to the Jacobian columns to machine precision"},
    {FitEnding::NonFinite, LmEnding::NonFinite, "non_finite", "a residual, the Jacobian or a step was not finite"},
    {FitEnding::NoParameters, LmEnding::NoParameters, "no_parameters", "there are no parameters to fit"},
    {FitEnding::NoResiduals, LmEnding::NoResiduals, "no_residuals", "there are no residuals"},
    {FitEnding::SimplexConverged, std::nullopt, "simplex_converged",
     "the spread of the simplex costs fell below 2^-52"},
    {FitEnding::SimplexStepLimit, std::nullopt, "simplex_step_limit",
     "the simplex took nelder_mead_iterations steps"},
    {FitEnding::SwarmGenerationsDone, std::nullopt, "swarm_generations_done", "the swarm ran all its generations"},
    {FitEnding::AnnealingStepsDone, std::nullopt, "annealing_steps_done", "the annealing took all sa_iterations steps"},
    {FitEnding::EvolutionBudgetSpent, std::nullopt, "evolution_budget_spent",
     "every evolution run spent its de_evaluations"},
    {FitEnding::HopsDone, std::nullopt, "hops_done", "basin hopping made all basin_hopping_hops hops"},
};
// -------------------------------------------------------------------------

}  // namespace

std::span<const FitEndingInfo> fit_endings() { return kEndings; }

const FitEndingInfo& fit_ending_info(FitEnding ending) {
  const auto index = static_cast<std::size_t>(ending);
  if (index >= std::size(kEndings) || kEndings[index].ending != ending)
    throw std::logic_error("the ending table is out of step with FitEnding");
  return kEndings[index];
}

FitEnding fit_ending(LmEnding ending) {
  for (const FitEndingInfo& row : kEndings)
    if (row.solver == ending) return row.ending;
  throw std::logic_error("the ending table has no row for a solver ending");
}

}  // namespace kelvora
