// The circuit structure multi-start reads from element kinds: parameter
// roles, arcs and which arcs can trade values; and the moves made from it.
#include <string>
#include <string_view>
#include <vector>

#include "circuit/parser.h"
#include "circuit/tree.h"
#include "fit/random/seed.h"
#include "fit/search/restart_moves.h"

#include "check.h"

using namespace kelvora;

#define CHECK(cond) test::check((cond), std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #cond)

static std::vector<std::size_t> core_indices(const ArcCore& arc) {
  std::vector<std::size_t> out;
  for (const auto& e : arc.entries) out.push_back(e.index);
  return out;
}

static void roles_and_arcs() {
  // R0.r R1.r CPE1.q CPE1.alpha R2.r Wo2.z0 Wo2.tau CPE2.q CPE2.alpha
  const SeriesList c = parse(std::string_view("R0-p(R1,CPE1)-p(R2-Wo2,CPE2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  using R = ParamRole;
  CHECK((roles.roles == std::vector<R>{R::Resistance, R::Resistance, R::Capacitance, R::Exponent, R::Resistance,
                                       R::Diffusion, R::Time, R::Capacitance, R::Exponent}));
  CHECK(roles.arcs.size() == 2);
  CHECK(roles.arcs.size() == 2 && core_indices(roles.arcs[0]) == std::vector<std::size_t>({1, 2, 3}));
  // A capacitance sets an arc's timing before a diffusion time constant that
  // comes first in leaf order: the two arcs can trade values.
  CHECK(roles.arcs.size() == 2 && core_indices(roles.arcs[1]) == std::vector<std::size_t>({4, 7, 8}));
  CHECK(roles.arcs.size() == 2 && interchangeable(roles.arcs[0], roles.arcs[1]));

  // Two RC arcs, a Zarc (an arc by itself) and an inductance.
  const SeriesList d = parse(std::string_view("L0-R0-p(R1,C1)-p(R2,C2)-Zarc3")).value();
  const CircuitRoles r2 = circuit_roles(d);
  CHECK(r2.arcs.size() == 3);
  CHECK(r2.arcs.size() == 3 && interchangeable(r2.arcs[0], r2.arcs[1]) && !interchangeable(r2.arcs[0], r2.arcs[2]));
  CHECK(r2.arcs.size() == 3 && core_indices(r2.arcs[2]) == std::vector<std::size_t>({6, 7, 8}));
}

static void moves() {
  const SeriesList c = parse(std::string_view("R0-p(R1,C1)-p(R2,C2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  const std::vector<double> x{2.0, 10.0, 1e-6, 100.0, 1e-3};
  SpectrumScale scale;
  scale.z_max = 111.0;
  scale.re_spread = 110.0;
  scale.re_min = 1.0;
  scale.omega_min = 1e-2;
  scale.omega_max = 1e6;
  const auto points = structured_restarts(roles, x, scale);
  // First the swap of the two arcs, the series resistance untouched.
  CHECK(!points.empty() && points[0] == std::vector<double>({2.0, 100.0, 1e-3, 10.0, 1e-6}));
  // No exponents; capacitances and arc resistances by decades; 9 (two
  // points), 10 and 12 as documented; every point differs from x in at
  // least one entry.
  std::size_t expected = 1 + 2 * 2 + 2 * 2 + 2 + 2 * 6 + 1;
  CHECK(points.size() == expected);
  for (const auto& p : points) CHECK(p.size() == x.size() && p != x);

  // Random starts: reproducible for a seed, inside the spectrum's ranges.
  ChaCha12 a = make_chacha12(7), b = make_chacha12(7);
  for (int k = 0; k < 20; ++k) {
    const auto p = random_start(roles, x, scale, a);
    CHECK(p == random_start(roles, x, scale, b));
    for (const std::size_t i : {0u, 1u, 3u}) CHECK(p[i] >= 1e-4 * 111.0 * (1 - 1e-12) && p[i] <= 3 * 111.0 * (1 + 1e-12));
    CHECK(p[2] > 0.0 && p[4] > 0.0);
  }
}

static void swap_keeps_diffusion_in_proportion() {
  // R0.r R1.r CPE1.q CPE1.alpha R2.r Wo2.z0 Wo2.tau CPE2.q CPE2.alpha
  const SeriesList c = parse(std::string_view("R0-p(R1,CPE1)-p(R2-Wo2,CPE2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  CHECK(roles.arcs.size() == 2 && roles.arcs[0].first == 1 && roles.arcs[0].end == 4);
  CHECK(roles.arcs.size() == 2 && roles.arcs[1].first == 4 && roles.arcs[1].end == 9);
  const std::vector<double> x{1.0, 10.0, 1e-6, 0.9, 100.0, 50.0, 1.0, 1e-3, 0.8};
  const auto points = structured_restarts(roles, x, SpectrumScale{});
  // The plain swap, then the swap with the Warburg amplitude beside R2
  // scaled as R2 (100 -> 10); its time constant stays.
  CHECK(points.size() >= 2 && points[0] == std::vector<double>({1.0, 100.0, 1e-3, 0.8, 10.0, 50.0, 1.0, 1e-6, 0.9}));
  CHECK(points.size() >= 2 && points[1] == std::vector<double>({1.0, 100.0, 1e-3, 0.8, 10.0, 5.0, 1.0, 1e-6, 0.9}));
}

int main() {
  roles_and_arcs();
  moves();
  swap_keeps_diffusion_in_proportion();
  return test::finish();
}
