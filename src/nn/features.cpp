// Feature extraction: impedance scale, characteristic frequency and the
// spectrum resampled onto a log-frequency grid.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "nn/guesser.h"

namespace kelvora::nn {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfPi = 1.5707963267948966;

// IEEE 754 totalOrder key: -NaN < -inf < ... < -0 < +0 < ... < inf < +NaN.
std::int64_t total_order_key(double v) {
  auto bits = std::bit_cast<std::int64_t>(v);
  bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  return bits;
}

bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

}  // namespace

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
  const std::size_t n = xs.size();
  if (x <= xs[0]) return ys[0];
  if (x >= xs[n - 1]) return ys[n - 1];
  // a = number of leading elements <= x (binary search)
  std::size_t lo = 0, hi = n;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (xs[mid] <= x) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const std::size_t a = lo;
  const std::size_t i0 = a > 0 ? a - 1 : 0;
  const std::size_t i1 = std::min(std::max<std::size_t>(a, 1), n - 1);
  if (xs[i0] == xs[i1]) return ys[i0];
  return ys[i0] + (x - xs[i0]) * (ys[i1] - ys[i0]) / (xs[i1] - xs[i0]);
}

Features Guesser::features(std::span<const double> freqs, std::span<const Complex> z) const {
  const std::size_t nf = freqs.size();
  const std::size_t nz = z.size();
  Features out;

  // 1. "reactive_centroid": the centroid of log(omega) and log|Z| weighted by
  //    each point's capacitive share -Im Z / |Z|.
  double a_sum = 0.0, w_sum = 0.0, b_sum = 0.0;
  for (std::size_t i = 0; i < std::min(nf, nz); ++i) {
    const double mag = std::hypot(z[i].re, z[i].im);
    if (freqs[i] <= 0.0 || mag <= 0.0) continue;
    double w = -z[i].im / mag;
    if (std::isnan(w) || w < 0.0) w = 0.0;
    a_sum += std::log(kTwoPi * freqs[i]) * w;
    w_sum += w;
    b_sum += std::log(mag) * w;
  }
  if (w_sum < 1e-9) {
    // No capacitive point: geometric mean frequency, upper median magnitude.
    double log_sum = 0.0;
    for (std::size_t i = 0; i < nf; ++i) log_sum += std::log(kTwoPi * freqs[i]);
    out.omega_c = std::exp(log_sum / static_cast<double>(nf));
    std::vector<double> mags(nz);
    for (std::size_t i = 0; i < nz; ++i) mags[i] = std::hypot(z[i].re, z[i].im);
    std::sort(mags.begin(), mags.end(), total_less);
    out.r_s = mags[nz / 2];
  } else {
    out.omega_c = std::exp(a_sum / w_sum);
    out.r_s = std::exp(b_sum / w_sum);
  }

  // 2. Sort by frequency (stable, total order) and unwrap the phase.
  std::vector<std::size_t> order(nf);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return total_less(freqs[a], freqs[b]); });
  // Frequencies beyond the impedance list (only when the caller passes lists
  // of different lengths) have no impedance: NaN.
  const Complex missing{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
  std::vector<double> x(nf), y(nf), phase(nf);
  for (std::size_t k = 0; k < nf; ++k) {
    const std::size_t i = order[k];
    const Complex zi = i < nz ? z[i] : missing;
    x[k] = std::log10(freqs[i]);
    y[k] = std::log10(std::hypot(zi.re, zi.im));
    const double raw = std::atan2(zi.im, zi.re);
    if (k == 0) {
      phase[k] = raw;
    } else {
      // Wrap the step into [-pi, pi), keeping a step of exactly +pi as +pi.
      const double d = raw - phase[k - 1];
      double wrapped = d - std::floor((d + kPi) / kTwoPi) * kTwoPi;
      if (wrapped == -kPi && d > 0.0) wrapped = kPi;
      phase[k] = phase[k - 1] + wrapped;
    }
  }

  const std::size_t grid = n_grid;
  const double x0 = x[0];
  const double x1 = x[nf - 1];
  const double step = grid < 2 ? 0.0 : (x1 - x0) / static_cast<double>(grid - 1);
  const double log_rs = std::log10(out.r_s);
  const double log_fc = std::log10(out.omega_c / kTwoPi);
  out.map.assign(3 * grid, 0.0);
  for (std::size_t k = 0; k < grid; ++k) {
    const double g = x0 + static_cast<double>(k) * step;
    out.map[k] = interpolate(x, y, g) - log_rs;
    out.map[grid + k] = interpolate(x, phase, g) / kHalfPi;
    out.map[2 * grid + k] = (g - log_fc) * 0.25;
  }
  out.s0 = (x1 - x0) * 0.125;
  out.s1 = std::log10(static_cast<double>(nf)) * 0.5;
  return out;
}

}  // namespace kelvora::nn
