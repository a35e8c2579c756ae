#include "fit/minpack/qr_factorization.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/minpack/enorm.h"

namespace kelvora {

// Port of MINPACK qrfac (Argonne National Laboratory, 1980).
void qr_factorize(std::size_t m, std::size_t n, double* a, std::size_t lda, std::size_t* ipvt, double* rdiag,
                  double* acnorm, double* wa) {
  constexpr double p05 = 0.05;  // a downdated norm below sqrt(eps / p05) of its last recomputed value is recomputed
  constexpr double epsmch = std::numeric_limits<double>::epsilon();
  auto col = [&](std::size_t j) { return a + j * lda; };

  for (std::size_t j = 0; j < n; ++j) {
    acnorm[j] = enorm(m, col(j));
    rdiag[j] = acnorm[j];
    wa[j] = rdiag[j];
    ipvt[j] = j;
  }

  const std::size_t minmn = std::min(m, n);
  for (std::size_t j = 0; j < minmn; ++j) {
    // Bring the column of largest remaining norm into the pivot position.
    std::size_t kmax = j;
    for (std::size_t k = j; k < n; ++k)
      if (rdiag[k] > rdiag[kmax]) kmax = k;
    if (kmax != j) {
      std::swap_ranges(col(j), col(j) + m, col(kmax));
      rdiag[kmax] = rdiag[j];
      wa[kmax] = wa[j];
      std::swap(ipvt[j], ipvt[kmax]);
    }

    // Householder transformation reducing column j to a multiple of e_j.
    double* aj = col(j);
    double ajnorm = enorm(m - j, aj + j);
    if (ajnorm != 0.0) {
      if (aj[j] < 0.0) ajnorm = -ajnorm;
      for (std::size_t i = j; i < m; ++i) aj[i] /= ajnorm;
      aj[j] += 1.0;

      // Apply it to the remaining columns and update their norms.
      for (std::size_t k = j + 1; k < n; ++k) {
        double* ak = col(k);
        double sum = 0.0;
        for (std::size_t i = j; i < m; ++i) sum += aj[i] * ak[i];
        const double temp = sum / aj[j];
        for (std::size_t i = j; i < m; ++i) ak[i] -= temp * aj[i];
        if (rdiag[k] == 0.0) continue;
        const double t = ak[j] / rdiag[k];
        rdiag[k] *= std::sqrt(std::max(0.0, 1.0 - t * t));
        const double q = rdiag[k] / wa[k];
        // The downdated norm has lost too many digits: recompute it.
        if (p05 * (q * q) <= epsmch) {
          rdiag[k] = enorm(m - j - 1, ak + j + 1);
          wa[k] = rdiag[k];
        }
      }
    }
    rdiag[j] = -ajnorm;
  }
}

}  // namespace kelvora
