#pragma once
// Least-squares solution of the damped system (MINPACK qrsolv):
//
//   minimise || [A; D] x - [b; 0] ||   given  A P = Q R,  qtb = (Q^T b)[0..n)
//
// by eliminating the diagonal rows D with Givens rotations into R, which
// gives the upper triangular S of  P^T (A^T A + D D) P = S^T S.
//
// r is n x n column-major (leading dimension ldr) holding R in its full
// upper triangle; on return its strict lower triangle holds S^T's strict
// lower triangle and the upper triangle is unchanged.  sdiag receives the
// diagonal of S, x the solution.  wa is n doubles of workspace.  A singular
// S gives the least-squares solution with trailing components zero.
#include <cstddef>

namespace kelvora {

void qr_solve(std::size_t n, double* r, std::size_t ldr, const std::size_t* ipvt, const double* diag,
              const double* qtb, double* x, double* sdiag, double* wa);

}  // namespace kelvora
