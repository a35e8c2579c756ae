// The particle swarm loop: its draws, budget and box, on closed-form costs.
#include <cmath>
#include <cstdio>
#include <string>
#include <limits>
#include <span>
#include <vector>

#include "fit/search/particle_swarm.h"
#include "fit/random/range.h"
#include "fit/random/seed.h"

#include "check.h"

using namespace kelvora;

// CHECK names the failing condition and its line.
#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static double sphere(std::span<const double> z) {
  double s = 0.0;
  for (double v : z) s += (v - 0.25) * (v - 0.25);
  return s;
}

static void initial_swarm_draws() {
  const SearchBox box{{-1.0, 0.0, 5.0}, {1.0, 10.0, 6.0}};
  std::vector<std::vector<double>> seen;
  const SearchCost c = [&](std::span<const double> z) {
    seen.emplace_back(z.begin(), z.end());
    return sphere(z);
  };
  ChaCha12 rng = make_chacha12(99);
  const auto r = particle_swarm_search(c, box, 7, 0, rng);
  CHECK(r.has_value() && r->iterations == 0);
  CHECK(seen.size() == 7);  // num_particles * (1 + 0)
  // Positions are drawn particle by particle, coordinate by coordinate; then
  // the velocities (3 draws each), which the search consumed too.
  ChaCha12 replay = make_chacha12(99);
  std::size_t best = 0;
  for (std::size_t p = 0; p < 7; ++p) {
    for (std::size_t i = 0; i < 3; ++i) CHECK(seen[p][i] == rand_from_range(replay, box.lower[i], box.upper[i]));
    if (sphere(seen[p]) < sphere(seen[best])) best = p;
  }
  CHECK(rng.words_used() == 2 * (21 + 21));
  CHECK(r->best == seen[best]);
}

static void fixed_coordinates_consume_no_draws() {
  // The second coordinate has an empty range: it stays put and draws nothing,
  // so the first coordinate follows exactly the one-dimensional run.
  const SearchCost c1 = [](std::span<const double> z) { return std::cos(5 * z[0]) + z[0] * z[0]; };
  ChaCha12 a = make_chacha12(5);
  ChaCha12 b = make_chacha12(5);
  const auto one = particle_swarm_search(c1, SearchBox{{-3.0}, {3.0}}, 10, 20, a);
  std::size_t evals = 0;
  const auto two = particle_swarm_search(
      [&](std::span<const double> z) {
        ++evals;
        CHECK(z[1] == 2.0);
        return c1(z);
      },
      SearchBox{{-3.0, 2.0}, {3.0, 2.0}}, 10, 20, b);
  CHECK(one.has_value() && two.has_value());
  CHECK(one->best[0] == two->best[0] && two->best[1] == 2.0);
  CHECK(a.words_used() == b.words_used());
  CHECK(evals == 10 * 21);
  CHECK(two->iterations == 20);
}

static void stays_in_box_and_converges() {
  const SearchBox box{{-2.0, -2.0, -1.0}, {2.0, 2.0, 3.0}};
  bool inside = true;
  const SearchCost c = [&](std::span<const double> z) {
    for (std::size_t i = 0; i < 3; ++i) inside = inside && z[i] >= box.lower[i] && z[i] <= box.upper[i];
    return sphere(z);
  };
  ChaCha12 rng = make_chacha12(1);
  const auto r = particle_swarm_search(c, box, 20, 200, rng);
  CHECK(inside);
  CHECK(r.has_value() && sphere(r->best) < 1e-10);
}

static void reproducible_with_a_seed() {
  const SearchBox box{{-5.0, -5.0}, {5.0, 5.0}};
  const SearchCost rastrigin = [](std::span<const double> z) {
    double s = 20.0;
    for (double v : z) s += v * v - 10.0 * std::cos(6.283185307179586 * v);
    return s;
  };
  ChaCha12 a = make_chacha12(2024), b = make_chacha12(2024), c = make_chacha12(2025);
  const auto ra = particle_swarm_search(rastrigin, box, 15, 30, a);
  const auto rb = particle_swarm_search(rastrigin, box, 15, 30, b);
  const auto rc = particle_swarm_search(rastrigin, box, 15, 30, c);
  CHECK(ra->best == rb->best);
  CHECK(ra->best != rc->best);
}

static void failures_are_reported() {
  ChaCha12 rng = make_chacha12(0);
  const SearchCost nan = [](std::span<const double>) { return std::numeric_limits<double>::quiet_NaN(); };
  const auto none = particle_swarm_search(nan, SearchBox{{0.0}, {1.0}}, 3, 2, rng);
  CHECK(!none.has_value() && none.error().text == "particle swarm found no best position");
  const auto empty = particle_swarm_search(sphere, SearchBox{{0.0}, {1.0}}, 0, 2, rng);
  CHECK(!empty.has_value());
}

int main() {
  initial_swarm_draws();
  fixed_coordinates_consume_no_draws();
  stays_in_box_and_converges();
  reproducible_with_a_seed();
  failures_are_reported();
  return test::finish();
}
