#include "fit/minpack/enorm.h"

#include <cmath>

namespace kelvora {

// Port of MINPACK enorm (Argonne National Laboratory, 1980; More, Garbow,
// Hillstrom).  Three sums: s1 of large components scaled by x1max, s2 of
// intermediate ones unscaled, s3 of small ones scaled by x3max.
double enorm(std::size_t n, const double* x, std::size_t stride) {
  double s1 = 0.0, s2 = 0.0, s3 = 0.0, x1max = 0.0, x3max = 0.0;
  const double agiant = kEnormGiant / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double xabs = std::fabs(x[i * stride]);
    if (xabs > kEnormDwarf && xabs < agiant) {
      s2 += xabs * xabs;
    } else if (xabs <= kEnormDwarf) {
      if (xabs > x3max) {
        const double q = x3max / xabs;
        s3 = 1.0 + s3 * (q * q);
        x3max = xabs;
      } else if (xabs != 0.0) {
        const double q = xabs / x3max;
        s3 += q * q;
      }
    } else {
      // Large components; a NaN lands here too and poisons the result.
      if (xabs <= x1max) {
        const double q = xabs / x1max;
        s1 += q * q;
      } else {
        const double q = x1max / xabs;
        s1 = 1.0 + s1 * (q * q);
        x1max = xabs;
      }
    }
  }
  if (s1 != 0.0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
  if (s2 != 0.0) {
    if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s2)));
    return std::sqrt(x3max * ((s2 / x3max) + (x3max * s2)));
  }
  return x3max * std::sqrt(s3);
}

}  // namespace kelvora
