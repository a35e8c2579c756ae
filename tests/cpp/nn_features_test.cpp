// Feature extraction: reactive-centroid scales, fallback scales, phase
// unwrapping and the resampling grid.
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "check.h"
#include "nn/guesser.h"

using namespace kelvora;

namespace {

using test::check;

constexpr double kTwoPi = 6.283185307179586;

nn::Guesser grid(std::size_t n) {
  nn::Guesser g;
  g.n_grid = n;
  return g;
}

}  // namespace

int main() {
  {
    // Only the last point enters the centroid: the first has f <= 0, the
    // second Z = 0, the third no capacitive part (weight clipped to 0).
    const std::vector<double> f = {-1.0, 5.0, 2.0, 100.0};
    const std::vector<Complex> z = {{1.0, -1.0}, {0.0, 0.0}, {3.0, 4.0}, {3.0, -4.0}};
    const auto feat = grid(4).features(f, z);
    check(std::fabs(feat.omega_c - kTwoPi * 100.0) <= 1e-12 * kTwoPi * 100.0, "centroid omega_c");
    check(std::fabs(feat.r_s - 5.0) <= 1e-12 * 5.0, "centroid R_s");
    check(std::isnan(feat.map[0]), "a non-positive frequency stays in the sorted arrays");
  }
  {
    // No capacitive point: geometric mean of 2 pi f, upper median of |Z|.
    const std::vector<double> f = {1.0, 100.0};
    const std::vector<Complex> z = {{3.0, 4.0}, {1.0, 0.0}};
    const auto feat = grid(3).features(f, z);
    check(std::fabs(feat.omega_c - kTwoPi * 10.0) <= 1e-12 * kTwoPi * 10.0, "fallback omega_c");
    check(feat.r_s == 5.0, "fallback R_s is the upper median");
    // grid: log10 f = 0, 1, 2; row 0 = log10|Z| - log10 R_s, row 2 = (g - log10(omega_c / 2pi)) / 4
    check(std::fabs(feat.map[0] - 0.0) < 1e-15 && std::fabs(feat.map[2] - (0.0 - std::log10(5.0))) < 1e-15, "row 0");
    check(std::fabs(feat.map[6] + 0.25) < 1e-12 && std::fabs(feat.map[8] - 0.25) < 1e-12, "row 2");
    check(feat.s0 == 2.0 * 0.125 && feat.s1 == std::log10(2.0) * 0.5, "global features");
  }
  {
    // Exact half-turn jumps keep their sign: +pi stays +pi, -pi stays -pi.
    const std::vector<double> f = {1.0, 10.0};
    const auto up = grid(2).features(f, std::vector<Complex>{{1.0, 0.0}, {-1.0, 0.0}});
    const auto down = grid(2).features(f, std::vector<Complex>{{1.0, 0.0}, {-1.0, -0.0}});
    check(up.map[3] == 2.0, "jump of +pi");
    check(down.map[3] == -2.0, "jump of -pi");
    // Crossing the branch cut is unwrapped: 170 degrees then -170 degrees is +190 degrees.
    const double a = 170.0 * std::numbers::pi / 180.0;
    const auto cross = grid(2).features(
        f, std::vector<Complex>{{std::cos(a), std::sin(a)}, {std::cos(-a), std::sin(-a)}});
    check(std::fabs(cross.map[3] * 90.0 - 190.0) < 1e-9, "unwrapped across the branch cut");
  }
  {
    // Unsorted input is sorted by frequency; a single-point grid sits at the lowest frequency.
    const std::vector<double> f = {100.0, 1.0, 10.0};
    const std::vector<Complex> z = {{1.0, -1.0}, {8.0, -1.0}, {2.0, -1.0}};
    const auto feat = grid(1).features(f, z);
    check(std::fabs(feat.map[0] - (std::log10(std::hypot(8.0, -1.0)) - std::log10(feat.r_s))) < 1e-15,
          "single grid point at the lowest frequency");
  }
  return test::finish();
}
