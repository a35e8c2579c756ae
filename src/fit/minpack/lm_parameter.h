#pragma once
// The Levenberg-Marquardt parameter of one trust-region step (MINPACK lmpar).
//
// Given A P = Q R, a positive diagonal D and a radius delta > 0, find
// par >= 0 such that the solution x of
//
//   (A^T A + par D D) x = A^T b          (least squares: [A; sqrt(par) D] x ~ [b; 0])
//
// is either the Gauss-Newton step with ||D x|| <= 1.1 delta (par = 0), or
// satisfies | ||D x|| - delta | <= 0.1 delta.  The search for the zero of
// phi(par) = ||D x(par)|| - delta uses Newton steps safeguarded by the
// bounds parl <= par <= paru, at most ten of them (More 1978).
#include <cstddef>

namespace kelvora {

struct LmParameterWork {
  // n doubles each
  double* sdiag;  // the diagonal of S (see qr_solve)
  double* work;   // the Gauss-Newton and Newton vectors (lmpar's wa1)
  double* dx;     // D x, and qr_solve's workspace (lmpar's wa2)
};

// r: n x n column-major (leading dimension ldr) with R in its upper triangle;
// its strict lower triangle is overwritten (see qr_solve).  qtb = (Q^T b)[0..n).
// par: on entry an initial estimate, on return the final value.
// x: receives the step solving the damped system.
void lm_parameter(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt, const double* diag,
                  const double* qtb, double delta, double& par, double* x, LmParameterWork work);

}  // namespace kelvora
