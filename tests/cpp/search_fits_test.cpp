// The global searches as fitting methods: budgets seen through iterations
// and impedance_evals, seeded reproducibility and the refused settings.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "fit/fit_ending.h"
#include "fit/search/basin_hopping.h"
#include "fit/search/differential_evolution.h"
#include "fit/lm/levenberg_marquardt_fit.h"
#include "fit/search/nelder_mead.h"
#include "fit/search/particle_swarm.h"
#include "fit/search/simulated_annealing.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

struct Case {
  SeriesList start;  // catalog default values
  SeriesList truth;
  std::vector<double> f;
  std::vector<Complex> z;
};

static Case two_arcs() {
  Case c;
  c.start = parse(std::string_view("R0-p(R1,C1)-p(R2,C2)")).value();
  const std::vector<double> x{10.0, 100.0, 1e-6, 200.0, 1e-3};
  c.truth = rebuild(c.start, x);
  for (int i = 0; i < 30; ++i) {
    const double hz = std::pow(10.0, -2.0 + 8.0 * i / 29.0);
    Complex zi;
    series_impedance_with_params(c.truth, x, hz * 6.283185307179586, zi);
    c.f.push_back(hz);
    c.z.push_back(zi);
  }
  return c;
}

static std::string solver_text(const FitExpected& r) {
  if (r) return "(success)";
  if (const auto* e = std::get_if<FitError>(&r.error())) return e->kind == FitError::Kind::Solver ? e->text : e->message();
  return "(internal error)";
}

static void budgets() {
  const Case c = two_arcs();
  const std::uint64_t p = 5;
  const FitExpected lm_start = levenberg_marquardt_fit(c.start, c.f, c.z, Weighting::Modulus, LmSettings{});
  const FitExpected lm_truth = levenberg_marquardt_fit(c.truth, c.f, c.z, Weighting::Modulus, LmSettings{});
  CHECK(lm_start && lm_truth);

  // Simulated annealing with no steps polishes its start: one search
  // evaluation, the search outcome's statistics (1 + 2p) and the polishing fit.
  const FitExpected sa = simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {2.0, 0, 1});
  CHECK(sa && sa->impedance_evals == 1 + (1 + 2 * p) + lm_start->impedance_evals);
  CHECK(sa && sa->cost <= lm_start->cost);

  // Nelder-Mead with no steps from the true values: the initial simplex
  // (n + 1 evaluations) and vertex 0, the exact fit, is the best point.
  const FitExpected nm = nelder_mead_fit(c.truth, c.f, c.z, Weighting::Modulus, {0});
  CHECK(nm && nm->impedance_evals == (p + 1) + (1 + 2 * p) + lm_truth->impedance_evals);

  // Particle swarm with no generations: one evaluation per particle, then polish.
  const FitExpected pso = particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {7, 0, 3});
  CHECK(pso && pso->impedance_evals >= 7 + (1 + 2 * p) + (12 + 2 * p));
  CHECK(pso && (pso->success || pso->iterations == 0));

  // Differential evolution: 10 runs of max(evaluations, 1) plus one re-costing each.
  const FitExpected de = differential_evolution_fit(c.start, c.f, c.z, Weighting::Modulus, {0, 3});
  CHECK(de && de->impedance_evals >= 10 * 2 + (1 + 2 * p) + (12 + 2 * p));

  // Basin hopping with no hops is the first minimisation's result; only the
  // final statistics count as impedance evaluations.
  const FitExpected bh = basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {0, 1.0, 1.0, 5});
  CHECK(bh && bh->success && bh->iterations == lm_start->iterations && bh->impedance_evals == 1 + 2 * p);
  CHECK(bh && bh->params == lm_start->params);
}

static void seeded_runs_repeat() {
  const Case c = two_arcs();
  const auto a = particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {10, 5, 42});
  const auto b = particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {10, 5, 42});
  CHECK(a && b && a->params == b->params && a->impedance_evals == b->impedance_evals && a->iterations == b->iterations);
  const auto s1 = simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {2.0, 50, 9});
  const auto s2 = simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {2.0, 50, 9});
  CHECK(s1 && s2 && s1->params == s2->params && s1->impedance_evals == s2->impedance_evals);
  const auto h1 = basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {2, 1.0, 1.0, 9});
  const auto h2 = basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {2, 1.0, 1.0, 9});
  CHECK(h1 && h2 && h1->params == h2->params && h1->iterations == h2->iterations);
  const auto d1 = differential_evolution_fit(c.start, c.f, c.z, Weighting::Modulus, {300, 9});
  const auto d2 = differential_evolution_fit(c.start, c.f, c.z, Weighting::Modulus, {300, 9});
  CHECK(d1 && d2 && d1->params == d2->params && d1->impedance_evals == d2->impedance_evals);
}

static void global_searches_reach_the_true_minimum() {
  // From the catalog defaults LM alone stops far from the two arcs; the
  // searches reach the exact fit.
  const Case c = two_arcs();
  const auto pso = particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {40, 100, 1});
  CHECK(pso && pso->cost < 1e-20);
  const auto de = differential_evolution_fit(c.start, c.f, c.z, Weighting::Modulus, {2000, 1});
  CHECK(de && de->cost < 1e-20);
}

static void refused_settings() {
  const Case c = two_arcs();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  CHECK(solver_text(particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {0, 10, 1})) ==
        "particle swarm needs num_particles >= 1, got 0");
  CHECK(solver_text(simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {0.0, 10, 1})) ==
        "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
  CHECK(solver_text(simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {-1.0, 10, 1})) ==
        "Invalid parameter: \"`SimulatedAnnealing`: Initial temperature must be > 0.\"");
  for (double t : {nan, inf, 1e308})
    CHECK(solver_text(simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {t, 10, 1}))
              .starts_with("sa_initial_temperature must be"));
  for (double s : {-1.0, nan, inf, 1e308})
    CHECK(solver_text(basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {1, s, 1.0, 1}))
              .starts_with("basin_hopping_step_size must be"));
  // Step size 0 is allowed.
  CHECK(basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {1, 0.0, 1.0, 1}).has_value());
  // The usual input validation comes first.
  const auto empty = nelder_mead_fit(c.start, {}, {}, Weighting::Modulus, {0});
  CHECK(!empty && std::get<FitError>(empty.error()).kind == FitError::Kind::Empty);
  const auto bad_box_first = particle_swarm_fit(c.start, c.f, std::vector<Complex>(3), Weighting::Modulus, {0, 1, 1});
  CHECK(!bad_box_first && std::get<FitError>(bad_box_first.error()).kind == FitError::Kind::LengthMismatch);
}

static void endings() {
  // One row per ending, in enum order, and one row per solver ending.
  const auto rows = fit_endings();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    CHECK(static_cast<std::size_t>(rows[i].ending) == i);
    CHECK(!rows[i].name.empty() && !rows[i].message.empty());
    if (rows[i].solver) CHECK(fit_ending(*rows[i].solver) == rows[i].ending);
  }
  const Case c = two_arcs();
  // The reported ending agrees with the success flag of the reported run.
  const auto lm = levenberg_marquardt_fit(c.start, c.f, c.z, Weighting::Modulus, LmSettings{});
  CHECK(lm && fit_ending_info(lm->ending).solver && is_success(*fit_ending_info(lm->ending).solver) == lm->success);
  LmSettings starved;
  starved.ftol = starved.xtol = starved.gtol = 0.0;
  starved.patience = 1;
  const auto short_run = levenberg_marquardt_fit(c.start, c.f, c.z, Weighting::Modulus, starved);
  CHECK(short_run && !short_run->success && short_run->ending == FitEnding::EvaluationLimit);
  // The searches report their own ending, whichever point the polish keeps.
  const auto nm = nelder_mead_fit(c.start, c.f, c.z, Weighting::Modulus, {3});
  CHECK(nm && nm->ending == FitEnding::SimplexStepLimit);
  const auto pso = particle_swarm_fit(c.start, c.f, c.z, Weighting::Modulus, {5, 2, 1});
  CHECK(pso && pso->ending == FitEnding::SwarmGenerationsDone);
  const auto sa = simulated_annealing_fit(c.start, c.f, c.z, Weighting::Modulus, {2.0, 5, 1});
  CHECK(sa && sa->ending == FitEnding::AnnealingStepsDone);
  const auto de = differential_evolution_fit(c.start, c.f, c.z, Weighting::Modulus, {50, 1});
  CHECK(de && de->ending == FitEnding::EvolutionBudgetSpent);
  const auto bh = basin_hopping_fit(c.start, c.f, c.z, Weighting::Modulus, {1, 1.0, 1.0, 1});
  CHECK(bh && bh->ending == FitEnding::HopsDone);
}

int main() {
  budgets();
  endings();
  seeded_runs_repeat();
  global_searches_reach_the_true_minimum();
  refused_settings();
  return test::finish();
}
