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
  constexpr double p1 = 0.1;     // phi is accepted within p1 delta of zero
  constexpr double p001 = 0.001;  // a zero par restarts at p001 paru
  constexpr double dwarf = std::numeric_limits<double>::min();  // smallest positive normal
  auto R = [&](std::size_t i, std::size_t j) -> double& { return r[i + j * ldr]; };
  double* sdiag = work.sdiag;
  double* v = work.work;  // lmpar's wa1
  double* dx = work.dx;   // lmpar's wa2: D x

  // The Gauss-Newton direction; for a rank-deficient Jacobian a
  // least-squares solution with the trailing components zero.
  std::size_t nsing = n;
  for (std::size_t j = 0; j < n; ++j) {
    v[j] = qtb[j];
    if (R(j, j) == 0.0 && nsing == n) nsing = j;
    if (nsing < n) v[j] = 0.0;
  }
  for (std::size_t k = 0; k < nsing; ++k) {
    const std::size_t j = nsing - 1 - k;
    v[j] /= R(j, j);
    const double temp = v[j];
    for (std::size_t i = 0; i < j; ++i) v[i] -= R(i, j) * temp;
  }
  for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = v[j];

  // Evaluate phi at the origin and accept the Gauss-Newton step if it is
  // short enough.
  int iter = 0;
  for (std::size_t j = 0; j < n; ++j) dx[j] = diag[j] * x[j];
  double dxnorm = enorm(n, dx);
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
      v[j] = diag[l] * (dx[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i < j; ++i) sum += R(i, j) * v[i];
      v[j] = (v[j] - sum) / R(j, j);
    }
    const double temp = enorm(n, v);
    parl = ((fp / delta) / temp) / temp;
  }

  // An upper bound paru for the zero of phi.
  for (std::size_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) sum += R(i, j) * qtb[i];
    v[j] = sum / diag[ipvt[j]];
  }
  const double gnorm = enorm(n, v);
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
    for (std::size_t j = 0; j < n; ++j) v[j] = sqrt_par * diag[j];
    qr_solve(n, r, ldr, ipvt, v, qtb, x, sdiag, dx);
    for (std::size_t j = 0; j < n; ++j) dx[j] = diag[j] * x[j];
    dxnorm = enorm(n, dx);
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
      v[j] = diag[l] * (dx[l] / dxnorm);
    }
    for (std::size_t j = 0; j < n; ++j) {
      v[j] /= sdiag[j];
      const double temp = v[j];
      for (std::size_t i = j + 1; i < n; ++i) v[i] -= R(i, j) * temp;
    }
    const double temp = enorm(n, v);
    const double parc = ((fp / delta) / temp) / temp;

    // Tighten the bracket by the sign of phi, then step.
    if (fp > 0.0) parl = std::max(parl, par);
    if (fp < 0.0) paru = std::min(paru, par);
    par = std::max(parl, par + parc);
  }
}

}  // namespace kelvora
