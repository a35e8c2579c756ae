#pragma once
// QR factorisation with column pivoting by Householder reflections
// (MINPACK qrfac with pivot = true).
//
//   A P = Q R
//
// A is m x n, column-major with leading dimension lda >= m.  On return the
// strict upper triangle of A holds the strict upper triangle of R, and the
// lower trapezoid column j holds the Householder vector u_j (scaled so that
// Q_j = I - u_j u_j^T / u_j[j]).  rdiag holds the diagonal of R, acnorm the
// Euclidean norms of the columns of the original A, ipvt the permutation
// (column j of A P is column ipvt[j] of A).  wa is n doubles of workspace.
// The pivot is the remaining column of largest updated norm, the first on
// ties, so a zero column goes last and R's zero diagonal entries trail.
#include <cstddef>

namespace kelvora {

void qr_factorize(std::size_t m, std::size_t n, double* a, std::size_t lda, std::size_t* ipvt, double* rdiag,
                  double* acnorm, double* wa);

}  // namespace kelvora
