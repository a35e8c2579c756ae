// The search box, the search cost and the
// best-point rule shared by the global searches.
#include <cmath>
#include <cstdio>
#include <string>
#include <limits>
#include <stdexcept>
#include <vector>

#include "circuit/parser.h"
#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/residuals.h"
#include "fit/search/search_problem.h"
#include "fit/weighting.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

static const double kInf = std::numeric_limits<double>::infinity();
static const double kNaN = std::numeric_limits<double>::quiet_NaN();

static void box_edges() {
  const ParamBounds bounds{{1e-12, kInf}, {1e-12, kInf}, {0.0, 1.0}, {0.0, kInf}, {1e-12, kInf}};
  const std::vector<double> start{0.0, 100.0, 0.3, -5.0, kNaN};
  const SearchBox box = pso_search_box(bounds, start);
  CHECK(box.lower.size() == 5);
  // Start 0: a = 1e-6, [log10(1e-10 - 1e-12), log10(1e-2 - 1e-12)].
  CHECK(near(box.lower[0], -10.004364805402449, 1e-12));
  CHECK(near(box.upper[0], -2.0, 1e-9));
  CHECK(near(box.lower[1], -2.0, 1e-9));
  CHECK(near(box.upper[1], 6.0, 1e-12));
  CHECK(box.lower[2] == 0.0 && box.upper[2] == 1.0);
  // |x| is used for negative starts: four decades either side of 5.
  CHECK(near(box.lower[3], std::log10(5e-4), 1e-12) && near(box.upper[3], std::log10(5e4), 1e-12));
  CHECK(box.lower[4] == box.lower[0] && box.upper[4] == box.upper[0]);  // NaN counts as 1e-6
  CHECK(!unusable_box_coordinate(box, true));

  // A lower bound far above the start squeezes the box to a point.
  const SearchBox squeezed = pso_search_box({{1.0, kInf}}, std::vector<double>{1e-5});
  CHECK(squeezed.lower[0] == -300.0 && squeezed.upper[0] == -300.0);
  CHECK(!unusable_box_coordinate(squeezed, false));
  CHECK(unusable_box_coordinate(squeezed, true) == 0u);
  // A linear coordinate with an infinite lower bound cannot be sampled.
  const SearchBox open = pso_search_box({{0.0, 1.0}, {-kInf, 5.0}}, std::vector<double>{0.5, 0.0});
  CHECK(unusable_box_coordinate(open, false) == 1u);
  // Finite ends whose width overflows cannot either.
  const SearchBox wide{{-1.7e308}, {1.7e308}};
  CHECK(unusable_box_coordinate(wide, false) == 0u);
}

static void best_point_rule() {
  CHECK(replaces_best(1.0, kInf));
  CHECK(replaces_best(kInf, kInf));
  CHECK(!replaces_best(kNaN, kInf));
  CHECK(!replaces_best(2.0, 2.0));
  CHECK(replaces_best(-kInf, kInf));  // -inf < +inf
  CHECK(!replaces_best(kInf, 1.0));
  CHECK(cost_less(1.0, kNaN) && !cost_less(kNaN, 1.0) && !cost_less(kNaN, kNaN));
  CHECK(cost_less(1.0, kInf) && !cost_less(kInf, kInf));
}

static void cost_matches_residuals() {
  const SeriesList circuit = parse(std::string_view("R0-(R1,C1)-(R2,Cpe1)")).value();
  const auto bounds = param_bounds(circuit);
  std::vector<double> f;
  std::vector<Complex> z;
  for (int i = 0; i < 30; ++i) {
    const double hz = std::pow(10.0, -1.0 + 0.2 * i);
    f.push_back(hz);
    z.push_back({10.0 + 3.0 / (1.0 + hz * 0.01), -5.0 * hz / (1.0 + hz * hz * 1e-4)});
  }
  const auto omega = angular_frequencies(f);
  const auto weights = compute_weights(z, Weighting::Modulus);
  SearchProblem problem(FitInputs{circuit, f, z, Weighting::Modulus});
  CHECK(problem.bounds() == bounds && problem.start() == param_values(circuit));
  const std::vector<double> x{12.0, 40.0, 1e-5, 300.0, 2e-4, 0.8};
  const auto zs = to_search_coordinates(x, bounds);
  const double c = problem.cost(zs);
  CHECK(problem.counter().load() == 1);
  // Same arithmetic as the residual vector of the fit: bit for bit.
  EvaluationCounter other{0};
  const auto r = residuals(circuit, to_physical(zs, bounds), omega, z, weights, other).value();
  CHECK(c == half_sum_of_squares(r));
  // A non-finite value gives a non-finite cost, not a failure.
  std::vector<double> bad = zs;
  bad[0] = kNaN;
  CHECK(std::isnan(problem.cost(bad)));
  CHECK(problem.counter().load() == 2);
  // Too short a vector is a broken invariant.
  bool threw = false;
  try {
    problem.cost(std::vector<double>{1.0});
  } catch (const std::logic_error&) {
    threw = true;
  }
  CHECK(threw);
}

int main() {
  box_edges();
  best_point_rule();
  cost_matches_residuals();
  return test::finish();
}
