#include "fit/minpack/matrix_inverse.h"

#include <cmath>
#include <utility>

namespace kelvora {
namespace {

double det2(double a, double b, double c, double d) { return a * d - b * c; }

// Determinant of the 3x3 matrix of rows r0, r1, r2 and columns c0, c1, c2 of
// a p x p row-major matrix, expanded along its first row.
double det3(const std::vector<double>& a, std::size_t p, const std::size_t r[3], const std::size_t c[3]) {
  auto at = [&](std::size_t i, std::size_t j) { return a[r[i] * p + c[j]]; };
  return at(0, 0) * det2(at(1, 1), at(1, 2), at(2, 1), at(2, 2)) -
         at(0, 1) * det2(at(1, 0), at(1, 2), at(2, 0), at(2, 2)) +
         at(0, 2) * det2(at(1, 0), at(1, 1), at(2, 0), at(2, 1));
}

// Cofactor C_ij = (-1)^(i+j) * det(minor_ij) for p = 2, 3, 4.
double cofactor(const std::vector<double>& a, std::size_t p, std::size_t i, std::size_t j) {
  std::size_t rows[3], cols[3];
  std::size_t nr = 0, nc = 0;
  for (std::size_t k = 0; k < p; ++k) {
    if (k != i) rows[nr++] = k;
    if (k != j) cols[nc++] = k;
  }
  double minor = 0.0;
  if (p == 2) {
    minor = a[rows[0] * p + cols[0]];
  } else if (p == 3) {
    minor = det2(a[rows[0] * p + cols[0]], a[rows[0] * p + cols[1]], a[rows[1] * p + cols[0]],
                 a[rows[1] * p + cols[1]]);
  } else {
    minor = det3(a, p, rows, cols);
  }
  return ((i + j) % 2 == 0) ? minor : -minor;
}

std::optional<std::vector<double>> invert_by_cofactors(const std::vector<double>& a, std::size_t p) {
  if (p == 1) {
    if (a[0] == 0.0) return std::nullopt;
    return std::vector<double>{1.0 / a[0]};
  }
  std::vector<double> c(p * p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) c[i * p + j] = cofactor(a, p, i, j);
  // Laplace expansion along the first row.
  double det = 0.0;
  for (std::size_t j = 0; j < p; ++j) det += a[j] * c[j];
  if (det == 0.0) return std::nullopt;
  // inverse = adj(A) / det, adj(A)_ij = C_ji
  std::vector<double> inv(p * p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) inv[i * p + j] = c[j * p + i] / det;
  return inv;
}

std::optional<std::vector<double>> invert_by_lu(std::vector<double> lu, std::size_t p) {
  // Doolittle LU with row pivoting: P A = L U, L unit lower, stored in place.
  std::vector<std::size_t> perm(p);
  for (std::size_t i = 0; i < p; ++i) perm[i] = i;
  for (std::size_t k = 0; k < p; ++k) {
    std::size_t pivot = k;
    double best = std::fabs(lu[k * p + k]);
    for (std::size_t i = k + 1; i < p; ++i) {
      const double v = std::fabs(lu[i * p + k]);
      if (v > best) {
        best = v;
        pivot = i;
      }
    }
    if (lu[pivot * p + k] == 0.0) return std::nullopt;
    if (pivot != k) {
      for (std::size_t j = 0; j < p; ++j) std::swap(lu[k * p + j], lu[pivot * p + j]);
      std::swap(perm[k], perm[pivot]);
    }
    const double d = lu[k * p + k];
    for (std::size_t i = k + 1; i < p; ++i) {
      const double f = lu[i * p + k] / d;
      lu[i * p + k] = f;
      for (std::size_t j = k + 1; j < p; ++j) lu[i * p + j] -= f * lu[k * p + j];
    }
  }
  // Column c of the inverse solves A x = e_c, i.e. L U x = P e_c.
  std::vector<double> inv(p * p), x(p);
  for (std::size_t c = 0; c < p; ++c) {
    for (std::size_t i = 0; i < p; ++i) {
      double s = (perm[i] == c) ? 1.0 : 0.0;
      for (std::size_t j = 0; j < i; ++j) s -= lu[i * p + j] * x[j];
      x[i] = s;
    }
    for (std::size_t i = p; i-- > 0;) {
      double s = x[i];
      for (std::size_t j = i + 1; j < p; ++j) s -= lu[i * p + j] * x[j];
      x[i] = s / lu[i * p + i];
    }
    for (std::size_t i = 0; i < p; ++i) inv[i * p + c] = x[i];
  }
  return inv;
}

}  // namespace

std::optional<std::vector<double>> invert_matrix(const std::vector<double>& a, std::size_t p) {
  if (p == 0) return std::vector<double>{};
  if (p <= 4) return invert_by_cofactors(a, p);
  return invert_by_lu(a, p);
}

}  // namespace kelvora
