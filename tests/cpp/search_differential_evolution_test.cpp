// One differential evolution run: initial draws, evaluation order, budget.
#include <cmath>
#include <cstdio>
#include <string>
#include <limits>
#include <span>
#include <vector>

#include "fit/search/differential_evolution.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static float sphere(std::span<const float> z) {
  double s = 0.0;
  for (float v : z) s += (double(v) - 1.5) * (double(v) - 1.5);
  return static_cast<float>(s);
}

static void first_pass_evaluates_the_initial_trials() {
  const std::vector<float> lower{-10.0f, 0.0f}, upper{-2.0f, 4.0f};
  const XorShift128 start({0x12345678u, 0x9abcdef0u, 0x0fedcba9u, 0x87654321u});
  // Replay the initial draws: per trial CR, F, then the coordinates.
  XorShift128 replay = start;
  std::vector<std::vector<float>> initial(100);
  for (auto& p : initial) {
    replay.range_f32(0.0f, 1.0f);
    replay.range_f32(0.1f, 1.0f);
    for (int d = 0; d < 2; ++d) p.push_back(replay.range_f32(lower[d], upper[d]));
  }
  std::vector<std::vector<float>> seen;
  const SearchCostF32 c = [&](std::span<const float> z) {
    seen.emplace_back(z.begin(), z.end());
    return sphere(z);
  };
  XorShift128 rng = start;
  const DeRunResult r = differential_evolution_run(c, {lower, upper, {}}, 100, rng);
  CHECK(r.evaluations == 100 && seen.size() == 100);
  // Slots from 99 down to 0, no selection or mutation yet.
  for (int k = 0; k < 100; ++k) CHECK(seen[k] == initial[99 - k]);
  CHECK(rng.state() == replay.state());
  std::size_t best = 0;
  for (std::size_t j = 1; j < 100; ++j)
    if (sphere(initial[j]) < sphere(initial[best])) best = j;
  CHECK(r.position && *r.position == initial[best]);
}

static void zero_budget_behaves_as_one() {
  int evals = 0;
  std::vector<float> last;
  const SearchCostF32 c = [&](std::span<const float> z) {
    ++evals;
    last.assign(z.begin(), z.end());
    return sphere(z);
  };
  XorShift128 rng({1, 2, 3, 4});
  const DeRunResult r = differential_evolution_run(c, {{0.0f}, {1.0f}, {}}, 0, rng);
  CHECK(evals == 1 && r.evaluations == 1 && r.position && *r.position == last);
}

static void converges_in_single_precision() {
  XorShift128 rng({11, 22, 33, 44});
  const DeRunResult r = differential_evolution_run(sphere, {{-10.0f, -10.0f, -10.0f}, {10.0f, 10.0f, 10.0f}, {}}, 20000, rng);
  CHECK(r.evaluations == 20000);
  CHECK(r.position && sphere(*r.position) < 1e-8f);
}

static void nan_never_becomes_best() {
  const SearchCostF32 nan = [](std::span<const float>) { return std::numeric_limits<float>::quiet_NaN(); };
  XorShift128 rng({1, 2, 3, 4});
  const DeRunResult r = differential_evolution_run(nan, {{0.0f}, {1.0f}, {}}, 250, rng);
  CHECK(!r.position && r.evaluations == 250);
  // One finite point among NaNs is the result.
  int k = 0;
  const SearchCostF32 one = [&](std::span<const float>) {
    return ++k == 7 ? 3.0f : std::numeric_limits<float>::quiet_NaN();
  };
  XorShift128 rng2({5, 6, 7, 8});
  const DeRunResult s = differential_evolution_run(one, {{0.0f}, {1.0f}, {}}, 300, rng2);
  CHECK(s.position.has_value());
}

// The optimum (1.5, 1.5) lies outside the box [0, 1] x [0, 1].  The bounded
// coordinate never leaves the box and ends on its upper end; the open one
// roams out to the optimum.
static void bounded_coordinates_stay_in_the_box() {
  bool left_box = false;
  const SearchCostF32 c = [&](std::span<const float> z) {
    left_box = left_box || !(z[0] >= 0.0f && z[0] <= 1.0f);
    return sphere(z);
  };
  XorShift128 rng({9, 8, 7, 6});
  const DeRunResult r = differential_evolution_run(c, {{0.0f, 0.0f}, {1.0f, 1.0f}, {true, false}}, 5000, rng);
  CHECK(!left_box);
  CHECK(r.position && (*r.position)[0] >= 0.999f);
  CHECK(r.position && std::fabs((*r.position)[1] - 1.5f) < 1e-3f);
}

// A seed keys ten different streams, and the same ten every time; without
// one the generators differ from call to call.
static void run_generators_follow_the_seed() {
  const auto a = de_run_generators(42), b = de_run_generators(42), c = de_run_generators(43);
  CHECK(a.size() == static_cast<std::size_t>(kDeRuns) && c.size() == a.size());
  for (std::size_t r = 0; r < a.size(); ++r) {
    CHECK(a[r].state() == b[r].state());
    CHECK(a[r].state() != c[r].state());
    for (std::size_t q = 0; q < r; ++q) CHECK(a[q].state() != a[r].state());
  }
  CHECK(de_run_generators(std::nullopt)[0].state() != de_run_generators(std::nullopt)[0].state());
}

int main() {
  first_pass_evaluates_the_initial_trials();
  zero_budget_behaves_as_one();
  converges_in_single_precision();
  nan_never_becomes_best();
  bounded_coordinates_stay_in_the_box();
  run_generators_follow_the_seed();
  return test::finish();
}
