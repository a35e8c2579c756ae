#include "fit/minpack/lm_parameter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/minpack/enorm.h"
#include "fit/minpack/qr_solve.h"

namespace kelvora {

// Port of MINPACK lmpar (Argonne National Laboratory, 1980).
void lm_parameter(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt, const double* diag,
                  const double* qtb, double delta, double& par, double* x, LmParameterWork work) {
  constexpr double p1 = 0.1;
  constexpr double p001 = 0.001;
  constexpr double dwarf = std::numeric_limits<double>::min();  // smallest positive normal
  auto R = [&](std::size_t i, std::size_t j) -> double& { return r[i + j * ldr]; };
  double* sdiag = work.sdiag;
  double* wa1 = work.wa1;
  double* wa2 = work.wa2;

  // The Gauss-Newton direction; for a rank-deficient Jacobian a
  // least-squares solution with the trailing components zero.
  std::size_t nsing = n;
  for (std::size_t j = 0; j < n; ++j) {
    wa1[j] = qtb[j];
    if (R(j, j) == 0.0 && nsing == n) nsing = j;
    if (nsing < n) wa1[j] = 0.0;
  }
  for (std::size_t k = 0; k < nsing; ++k) {
    const std::size_t j = nsing - 1 - k;
    wa1[j] /= R(j, j);
    const double temp = wa1[j];
    for (std::size_t i = 0; i < j; ++i) wa1[i] -= R(i, j) * temp;
  }
  for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa1[j];

  // Evaluate phi at the origin and accept the Gauss-Newton step if it is
  // short enough.
  int iter = 0;
  for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
  double dxnorm = enorm(n, wa2);
  double fp = dxnorm - delta;
  if (fp <= p1 * delta) {
    par = 0.0;
    return;
  }

  // With a full-rank Jacobian the Newton step gives a lower bound parl for
  // the zero of phi; otherwise the bound is zero.
  double parl = 0.0;
  if (nsing >= n) {
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t l = ipvt[j];
      wa1[j] = diag[l] * (wa2[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i < j; ++i) sum += R(i, j) * wa1[i];
      wa1[j] = (wa1[j] - sum) / R(j, j);
    }
    const double temp = enorm(n, wa1);
    parl = ((fp / delta) / temp) / temp;
  }

  // An upper bound paru for the zero of phi.
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) sum += R(i, j) * qtb[i];
    wa1[j] = sum / diag[ipvt[j]];
  }
  const double gnorm = enorm(n, wa1);
  double paru = gnorm / delta;
  if (paru == 0.0) paru = dwarf / std::min(delta, p1);

  // Bring par into (parl, paru).
  par = std::max(par, parl);
  par = std::min(par, paru);
  if (par == 0.0) par = gnorm / dxnorm;

  for (;;) {
    ++iter;
    // Evaluate phi at the current par.
    if (par == 0.0) par = std::max(dwarf, p001 * paru);
    const double sqrt_par = std::sqrt(par);
    for (std::size_t j = 0; j < n; ++j) wa1[j] = sqrt_par * diag[j];
    qr_solve(n, r, ldr, ipvt, wa1, qtb, x, sdiag, wa2);
    for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
    dxnorm = enorm(n, wa2);
    const double previous_fp = fp;
    fp = dxnorm - delta;

    // Accept par when phi is small enough, in the exceptional case where
    // parl is zero and phi stopped decreasing while negative, or after ten
    // iterations.
    if (std::fabs(fp) <= p1 * delta || (parl == 0.0 && fp <= previous_fp && previous_fp < 0.0) || iter == 10)
      break;

    // Newton correction.
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t l = ipvt[j];
      wa1[j] = diag[l] * (wa2[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      wa1[j] /= sdiag[j];
      const double temp = wa1[j];
      for (std::size_t i = j + 1; i < n; ++i) wa1[i] -= R(i, j) * temp;
    }
    const double temp = enorm(n, wa1);
    const double parc = ((fp / delta) / temp) / temp;

    // Tighten the bracket by the sign of phi, then step.
    if (fp > 0.0) parl = std::max(parl, par);
    if (fp < 0.0) paru = std::min(paru, par);
    par = std::max(parl, par + parc);
  }
}

}  // namespace kelvora
