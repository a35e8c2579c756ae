// The circuit structure multi-start reads from element kinds: parameter
// roles, arcs and which arcs can trade values; and the moves made from it.
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/evaluate.h"
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
  // No exponents, inductances or resistance off the scale; the series
  // resistance at the intercept and taken out, each arc placed six ways,
  // all placed at once; every point differs from x in at least one entry.
  const std::size_t expected = 1 + 2 + 2 * 6 + 1;
  CHECK(points.size() == expected);
  for (const auto& p : points) CHECK(p.size() == x.size() && p != x);
  // A later round: the same without the swap and the arcs placed at once.
  const auto later = structured_restarts(roles, x, scale, MoveSet::Later);
  CHECK(points.size() == expected &&
        later == std::vector<std::vector<double>>(points.begin() + 1, points.end() - 1));

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
  // The same two points alone, for the swaps of a finished search.
  const auto swaps = swapped_arc_restarts(roles, x);
  CHECK(swaps.size() == 2 && swaps[0] == points[0] && swaps[1] == points[1]);
  // A later round makes no swap.
  const auto later = structured_restarts(roles, x, SpectrumScale{}, MoveSet::Later);
  CHECK(std::none_of(later.begin(), later.end(), [&](const std::vector<double>& p) { return p == swaps[0]; }));
}

static void shorted_arc_with_its_diffusion_placed() {
  // R0.r R1.r CPE1.q CPE1.alpha R2.r Wo2.z0 Wo2.tau CPE2.q CPE2.alpha
  const SeriesList c = parse(std::string_view("R0-p(R1,CPE1)-p(R2-Wo2,CPE2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  const std::vector<double> x{1.0, 10.0, 1e-6, 0.9, 100.0, 50.0, 1.0, 1e-3, 0.8};
  SpectrumScale scale;
  scale.z_max = 200.0;
  scale.re_spread = 100.0;
  scale.re_min = 2.0;
  scale.omega_min = 1e-2;
  scale.omega_max = 1e6;  // 8 decades: 50% at 1e2 rad/s, 80% at 10^4.4, 20% at 10^-0.4
  const auto points = shorted_diffusion_restarts(roles, x, scale);
  // Only the second arc holds a diffusion: two placements, the other arc
  // kept, placed or opened.
  CHECK(points.size() == 6);
  if (points.size() != 6) return;
  auto near = [](double a, double b) { return std::abs(a - b) <= 1e-12 * std::abs(b); };
  for (std::size_t k = 0; k < 6; ++k) {
    const auto& p = points[k];
    const double w = k < 3 ? 1e2 : std::pow(10.0, 4.4);
    CHECK(near(p[4], 1e-8 * 200.0) && p[8] == 0.05 && near(p[7], 1.0 / 50.0));
    CHECK(p[5] == 50.0 && near(p[6], 1.0 / w));
    if (k % 3 == 0) {
      CHECK(std::vector<double>(p.begin(), p.begin() + 4) == std::vector<double>(x.begin(), x.begin() + 4));
    } else if (k % 3 == 1) {
      const double tau = 1.0 / std::pow(10.0, -2.0 + 0.2 * 8.0);
      CHECK(p[0] == 2.0 && p[1] == 50.0 && p[3] == 0.8 && near(p[2], std::pow(tau, 0.8) / 50.0));
    } else {  // a CPE tail of exponent 0.9, |Z| about 200 at 1e-2 rad/s
      CHECK(p[0] == 1.0 && near(p[1], 1e6 * 200.0) && p[3] == 0.9 && near(p[2], 1.0 / (200.0 * std::pow(1e-2, 0.9))));
    }
  }
  // Without a diffusion beside an arc's resistance there is none.
  const SeriesList plain = parse(std::string_view("R0-p(R1,CPE1)-p(R2,CPE2)")).value();
  CHECK(shorted_diffusion_restarts(circuit_roles(plain), std::vector<double>(7, 1.0), scale).empty());
}

static void opened_arc_with_the_others_placed() {
  // R0.r R1.r CPE1.q CPE1.alpha R2.r CPE2.q CPE2.alpha
  const SeriesList c = parse(std::string_view("R0-p(R1,CPE1)-p(R2,CPE2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  const std::vector<double> x{1.0, 10.0, 1e-6, 0.9, 100.0, 1e-3, 0.7};
  SpectrumScale scale;
  scale.z_max = 200.0;
  scale.re_spread = 100.0;
  scale.re_min = 2.0;
  scale.omega_min = 1e-2;
  scale.omega_max = 1e6;  // 8 decades: the middle at 1e2 rad/s
  const auto points = opened_arc_restarts(roles, x, scale);
  CHECK(points.size() == 2);
  if (points.size() != 2) return;
  auto near = [](double a, double b) { return std::abs(a - b) <= 1e-12 * std::abs(b); };
  const double tail_q = 1.0 / (200.0 * std::pow(1e-2, 0.35));
  const double placed_q = std::pow(1e-2, 0.8) / 50.0;
  // First arc opened, second placed; then the other way round; R0 kept.
  CHECK(points[0][0] == 1.0 && near(points[0][1], 1e6 * 200.0) && near(points[0][2], tail_q) && points[0][3] == 0.35);
  CHECK(points[0][4] == 50.0 && near(points[0][5], placed_q) && points[0][6] == 0.8);
  CHECK(points[1][0] == 1.0 && points[1][1] == 50.0 && near(points[1][2], placed_q) && points[1][3] == 0.8);
  CHECK(near(points[1][4], 1e6 * 200.0) && near(points[1][5], tail_q) && points[1][6] == 0.35);
  // One arc: nothing to place beside it.
  const SeriesList one = parse(std::string_view("R0-p(R1,CPE1)")).value();
  CHECK(opened_arc_restarts(circuit_roles(one), std::vector<double>(4, 1.0), scale).empty());
}

void ideal_traded_and_inductance_restarts() {
  auto near = [](double a, double b) { return std::abs(a - b) <= 1e-12 * std::abs(b); };
  const SeriesList c = parse(std::string_view("L0-R0-p(R1,CPE1)-p(R2,CPE2)")).value();
  const CircuitRoles roles = circuit_roles(c);
  // L0, R0, R1, Q1, a1, R2, Q2, a2: arc time constants (R Q)^(1/a) 0.01 and 2.
  const std::vector<double> x{1e-6, 1.0, 10.0, std::pow(0.01, 0.7) / 10.0, 0.7, 4.0, std::pow(2.0, 0.6) / 4.0, 0.6};
  const auto ideal = ideal_arc_restarts(roles, x);
  CHECK(ideal.size() == 2);
  if (ideal.size() == 2) {
    for (const auto& p : ideal) {
      CHECK(near(std::pow(p[2] * p[3], 1.0 / p[4]), 0.01) && near(std::pow(p[5] * p[6], 1.0 / p[7]), 2.0));
      CHECK(p[0] == x[0] && p[1] == x[1] && p[2] == x[2] && p[5] == x[5]);
    }
    CHECK(ideal[0][4] == 1.0 && ideal[0][7] == 0.4 && ideal[1][4] == 0.4 && ideal[1][7] == 1.0);
  }
  // An arc that holds a diffusion element is not plain: no ideal restarts.
  const SeriesList wo = parse(std::string_view("R0-p(R1,CPE1)-p(R2-Wo2,CPE2)")).value();
  CHECK(ideal_arc_restarts(circuit_roles(wo), std::vector<double>(9, 1.0)).empty());

  const auto traded = traded_capacitance_restarts(roles, x);
  CHECK(traded.size() == 1);
  if (traded.size() == 1)
    CHECK(traded[0][3] == x[6] && traded[0][4] == x[7] && traded[0][6] == x[3] && traded[0][7] == x[4] &&
          traded[0][2] == x[2] && traded[0][5] == x[5]);

  SpectrumScale scale;
  scale.z_max = 5.0;
  scale.omega_max = 1e5;
  const auto placed = placed_inductance_restarts(roles, x, scale);
  CHECK(placed.size() == 2);
  if (placed.size() == 2) CHECK(near(placed[0][0], 1e-3 * 5.0 / 1e5) && near(placed[1][0], 1e-2 * 5.0 / 1e5));
  const SeriesList no_l = parse(std::string_view("R0-p(R1,CPE1)")).value();
  CHECK(placed_inductance_restarts(circuit_roles(no_l), std::vector<double>(4, 1.0), scale).empty());
}

void stretched_diffusion_and_ideal_exponent_restarts() {
  // R0.r, Wo1.z0, Wo1.tau, G2.rg, G2.tg, CPE3.q, CPE3.alpha
  const SeriesList c = parse(std::string_view("R0-Wo1-G2-CPE3")).value();
  const std::vector<double> x{1e-3, 2e3, 30.0, 3e3, 0.1, 1e-3, 0.95};
  const auto stretched = stretched_diffusion_restarts(circuit_roles(c), x);
  CHECK(stretched.size() == 6);
  // Well above both bends (w tau >= 1e4) the stretched circuits have the
  // impedance of the fitted one, to the Gerischer's 1 / (2 w tg).
  for (const auto& p : stretched) {
    CHECK(p[0] == x[0] && p[5] == x[5] && p[6] == x[6]);
    CHECK((p[2] > x[2]) != (p[4] > x[4]));  // one element at a time
    for (const double w : {1e5, 1e7}) {
      const Complex a = impedance(rebuild(c, x), w), b = impedance(rebuild(c, p), w);
      const Complex d = a - b;
      CHECK(std::hypot(d.re, d.im) <= 1e-4 * std::hypot(a.re, a.im));
    }
  }
  const SeriesList w = parse(std::string_view("R0-p(R1,C1)-W1")).value();
  CHECK(stretched_diffusion_restarts(circuit_roles(w), std::vector<double>(4, 1.0)).empty());

  // Only the exponents just short of 1 are made ideal.
  const SeriesList two = parse(std::string_view("p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)")).value();
  const std::vector<double> y{1.0, 1e-3, 0.95, 1.0, 1e-2, 0.8, 1.0, 1e-1, 1.0};
  const auto ideal = ideal_exponent_restarts(circuit_roles(two), y);
  CHECK(ideal.size() == 1);
  if (ideal.size() == 1) {
    std::vector<double> expected = y;
    expected[2] = 1.0;
    CHECK(ideal[0] == expected);
  }
  // Only an arc opened into a tail (resistance at or above the threshold)
  // has its tail made an ideal capacitor, whatever its exponent.
  std::vector<double> opened = y;
  opened[3] = 1e6;
  const auto tails = ideal_tail_restarts(circuit_roles(two), opened, 1e5);
  CHECK(tails.size() == 1);
  if (tails.size() == 1) {
    std::vector<double> expected = opened;
    expected[5] = 1.0;
    CHECK(tails[0] == expected);
  }
  CHECK(ideal_tail_restarts(circuit_roles(two), y, 1e5).empty());
}

int main() {
  roles_and_arcs();
  moves();
  swap_keeps_diffusion_in_proportion();
  shorted_arc_with_its_diffusion_placed();
  opened_arc_with_the_others_placed();
  ideal_traded_and_inductance_restarts();
  stretched_diffusion_and_ideal_exponent_restarts();
  return test::finish();
}
