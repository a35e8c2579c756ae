#include "fit/minpack/qr_solve.h"

#include <cmath>

namespace kelvora {

// Port of MINPACK qrsolv (Argonne National Laboratory, 1980).
void qr_solve(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt, const double* diag,
              const double* qtb, double* x, double* sdiag, double* wa) {
  auto R = [&](std::size_t i, std::size_t j) -> double& { return r[i + j * ldr]; };

  // Copy R and Q^T b to preserve the input and initialise S; the diagonal
  // of R is saved in x.
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j; i < n; ++i) R(i, j) = R(j, i);
    x[j] = R(j, j);
    wa[j] = qtb[j];
  }

  // Eliminate the diagonal matrix D with Givens rotations.
  for (std::size_t j = 0; j < n; ++j) {
    // The row of D to eliminate, its diagonal element placed by the pivoting.
    const std::size_t l = ipvt[j];
    if (diag[l] != 0.0) {
      for (std::size_t k = j; k < n; ++k) sdiag[k] = 0.0;
      sdiag[j] = diag[l];
      // The rotations change a single element of (Q^T b, 0) beyond the
      // first n, which starts at zero.
      double qtbpj = 0.0;
      for (std::size_t k = j; k < n; ++k) {
        if (sdiag[k] == 0.0) continue;
        double sin, cos;
        if (std::fabs(R(k, k)) < std::fabs(sdiag[k])) {
          const double cotan = R(k, k) / sdiag[k];
          sin = 0.5 / std::sqrt(0.25 + 0.25 * (cotan * cotan));
          cos = sin * cotan;
        } else {
          const double tan = sdiag[k] / R(k, k);
          cos = 0.5 / std::sqrt(0.25 + 0.25 * (tan * tan));
          sin = cos * tan;
        }
        // The modified diagonal element of R and element of (Q^T b, 0).
        R(k, k) = cos * R(k, k) + sin * sdiag[k];
        const double temp = cos * wa[k] + sin * qtbpj;
        qtbpj = -sin * wa[k] + cos * qtbpj;
        wa[k] = temp;
        // Accumulate the transformation in the row of S.
        for (std::size_t i = k + 1; i < n; ++i) {
          const double t = cos * R(i, k) + sin * sdiag[i];
          sdiag[i] = -sin * R(i, k) + cos * sdiag[i];
          R(i, k) = t;
        }
      }
    }
    // Store the diagonal element of S and restore that of R.
    sdiag[j] = R(j, j);
    R(j, j) = x[j];
  }

  // Solve S z = Q^T b; a singular S gives a least-squares solution.
  std::size_t nsing = n;
  for (std::size_t j = 0; j < n; ++j) {
    if (sdiag[j] == 0.0 && nsing == n) nsing = j;
    if (nsing < n) wa[j] = 0.0;
  }
  for (std::size_t k = 0; k < nsing; ++k) {
    const std::size_t j = nsing - 1 - k;
    double sum = 0.0;
    for (std::size_t i = j + 1; i < nsing; ++i) sum += R(i, j) * wa[i];
    wa[j] = (wa[j] - sum) / sdiag[j];
  }

  // Permute z back to x.
  for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa[j];
}

}  // namespace kelvora
