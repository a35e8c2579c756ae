// The annealing loop: its two random streams, schedule and budget.
#include <cmath>
#include <cstdio>
#include <string>
#include <limits>
#include <span>
#include <vector>

#include "fit/random/range.h"
#include "fit/random/seed.h"
#include "fit/search/simulated_annealing.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static void replayed_steps() {
  // Replays the first steps from the two streams: the moves are uniform in
  // [-T, T) with T = T0 / k, and every step takes one acceptance draw.
  std::vector<std::vector<double>> seen;
  const SearchCost c = [&](std::span<const double> z) {
    seen.emplace_back(z.begin(), z.end());
    return z[0] * z[0] + z[1] * z[1];
  };
  ChaCha12 moves = make_chacha12(7), acceptance = make_chacha12(8);
  const double t0 = 2.0;
  const auto r = simulated_annealing_search(c, {3.0, -1.0}, t0, 5, moves, acceptance);
  CHECK(r.has_value() && r->iterations == 5);
  CHECK(seen.size() == 6);  // 1 + iterations
  CHECK(moves.words_used() == 2 * 2 * 5 && acceptance.words_used() == 2 * 5);

  ChaCha12 m = make_chacha12(7), a = make_chacha12(8);
  std::vector<double> x{3.0, -1.0};
  double cx = 10.0;
  for (int k = 1; k <= 5; ++k) {
    const double t = t0 / k;
    std::vector<double> y(2);
    for (int i = 0; i < 2; ++i) y[i] = x[i] + (2.0 * t * unit_from_bits52(m.next_u64()) - t);
    CHECK(seen[k] == y);
    const double cy = y[0] * y[0] + y[1] * y[1];
    const double p = unit_from_bits53(a.next_u64());
    if (cy < cx || 1.0 / (1.0 + std::exp((cy - cx) / t)) > p) {
      x = y;
      cx = cy;
    }
  }
}

static void zero_iterations_evaluates_the_start() {
  int evals = 0;
  const SearchCost c = [&](std::span<const double> z) {
    ++evals;
    return z[0];
  };
  ChaCha12 m = make_chacha12(1), a = make_chacha12(2);
  const auto r = simulated_annealing_search(c, {4.0}, 2.0, 0, m, a);
  CHECK(r.has_value() && r->iterations == 0 && r->best == std::vector<double>{4.0} && evals == 1);
  CHECK(m.words_used() == 0 && a.words_used() == 0);
}

static void cools_onto_the_minimum() {
  // The fast schedule shrinks the moves to T0 / k: after 2000 steps they are
  // a thousandth of the start, so from within reach of the minimum the best
  // point ends close to it.  (The moves shrink too fast to travel far: the
  // summed variance of the shifts is only T0^2 pi^2 / 18.)
  const SearchCost c = [](std::span<const double> z) { return (z[0] - 0.4) * (z[0] - 0.4) + (z[1] + 2.0) * (z[1] + 2.0); };
  ChaCha12 m = make_chacha12(11), a = make_chacha12(12);
  const auto r = simulated_annealing_search(c, {0.9, -1.5}, 2.0, 2000, m, a);
  CHECK(r.has_value() && std::fabs(r->best[0] - 0.4) < 1e-3 && std::fabs(r->best[1] + 2.0) < 1e-3);
}

static void nan_everywhere() {
  const SearchCost nan = [](std::span<const double>) { return std::numeric_limits<double>::quiet_NaN(); };
  ChaCha12 m = make_chacha12(1), a = make_chacha12(2);
  const auto r = simulated_annealing_search(nan, {1.0}, 1.0, 3, m, a);
  CHECK(!r.has_value() && r.error().text == "simulated annealing found no best position");
}

int main() {
  replayed_steps();
  zero_iterations_evaluates_the_start();
  cools_onto_the_minimum();
  nan_everywhere();
  return test::finish();
}
