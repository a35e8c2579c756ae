// The Nelder–Mead loop on closed-form cost functions.
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "fit/search/nelder_mead.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static const double kNaN = std::numeric_limits<double>::quiet_NaN();

static void rosenbrock_minimum() {
  int evals = 0;
  const SearchCost rosen = [&](std::span<const double> z) {
    ++evals;
    const double a = 1.0 - z[0], b = z[1] - z[0] * z[0];
    return a * a + 100.0 * b * b;
  };
  const auto r = nelder_mead_search(rosen, {-1.2, 1.0}, 2000);
  CHECK(r.has_value());
  CHECK(std::fabs(r->best[0] - 1.0) < 1e-4 && std::fabs(r->best[1] - 1.0) < 1e-4);
  CHECK(r->iterations > 0 && r->iterations < 2000);  // stopped on the cost spread
}

static void zero_iterations_evaluates_the_simplex_only() {
  std::vector<std::vector<double>> seen;
  const SearchCost c = [&](std::span<const double> z) {
    seen.emplace_back(z.begin(), z.end());
    return (z[0] - 3.0) * (z[0] - 3.0) + (z[1] - 3.0) * (z[1] - 3.0) + z[2] * z[2];
  };
  const auto r = nelder_mead_search(c, {2.0, 1e-9, -4.0}, 0);
  CHECK(r.has_value());
  CHECK(seen.size() == 4);  // n + 1
  CHECK(r->iterations == 0);
  // Steps: 0.1 |z| when |z| > 1e-8, else 0.1; always added.
  CHECK(seen[1][0] == 2.0 + 0.2 && seen[1][1] == 1e-9);
  CHECK(seen[2][1] == 1e-9 + 0.1);
  CHECK(seen[3][2] == -4.0 + 0.4);
  // The best initial vertex is handed on: vertex 3 (z2 = -3.6) has the lowest cost.
  CHECK(r->best == seen[3]);
}

static void equal_costs_stop_before_the_first_step() {
  int evals = 0;
  const SearchCost flat = [&](std::span<const double>) {
    ++evals;
    return 5.0;
  };
  const auto r = nelder_mead_search(flat, {1.0, 2.0}, 100);
  CHECK(r.has_value() && r->iterations == 0 && evals == 3);
}

static void one_dimension_never_reflects_plainly() {
  // With one parameter the centroid is the best vertex; the search still
  // converges through expansions and contractions.  (A minimum at 7 would
  // stop early at 6.9 and 7.1: equal costs have zero spread.)
  const SearchCost c = [](std::span<const double> z) { return (z[0] - 7.3) * (z[0] - 7.3); };
  const auto r = nelder_mead_search(c, {0.0}, 500);
  CHECK(r.has_value() && std::fabs(r->best[0] - 7.3) < 1e-6);
}

static void nan_costs() {
  // A NaN reflected cost ends the search with an error.
  const SearchCost nan_away = [](std::span<const double> z) { return z[0] < 0.95 ? kNaN : z[0]; };
  const auto a = nelder_mead_search(nan_away, {1.0}, 100);
  CHECK(!a.has_value());
  // Nothing but NaN: no best point.
  const SearchCost all_nan = [](std::span<const double>) { return kNaN; };
  const auto b = nelder_mead_search(all_nan, {1.0, 1.0}, 0);
  CHECK(!b.has_value() && b.error().text == "nelder-mead found no best position");
}

static void infinite_costs_can_be_best() {
  const SearchCost inf = [](std::span<const double>) { return std::numeric_limits<double>::infinity(); };
  const auto r = nelder_mead_search(inf, {1.0}, 3);
  // Spread is NaN (inf - inf), so the iteration limit ends it; the infinite
  // start is recorded as best.
  CHECK(r.has_value() && r->iterations == 3);
}

static void deterministic() {
  const SearchCost c = [](std::span<const double> z) { return std::sin(3 * z[0]) + z[0] * z[0] + std::cos(z[1]) * z[1]; };
  const auto a = nelder_mead_search(c, {2.0, -1.0}, 50);
  const auto b = nelder_mead_search(c, {2.0, -1.0}, 50);
  CHECK(a.has_value() && b.has_value() && a->best == b->best && a->iterations == b->iterations);
}

int main() {
  rosenbrock_minimum();
  zero_iterations_evaluates_the_simplex_only();
  equal_costs_stop_before_the_first_step();
  one_dimension_never_reflects_plainly();
  nan_costs();
  infinite_costs_can_be_best();
  deterministic();
  return test::finish();
}
