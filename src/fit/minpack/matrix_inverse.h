#pragma once
// Inverse of the small dense matrices of the fit statistics (A = J^T J).
#include <cstddef>
#include <optional>
#include <vector>

namespace kelvora {

// `a` is p x p, row-major.  For p <= 4 the inverse is the adjugate divided
// by the determinant (explicit cofactors), failing when the determinant is
// exactly 0.  For p > 4 it comes from an LU decomposition with partial
// pivoting (largest |a_ik| in the column, the first on ties), failing when a
// pivot is exactly 0.  Returns the inverse, row-major, or nothing.
std::optional<std::vector<double>> invert_matrix(const std::vector<double>& a, std::size_t p);

}  // namespace kelvora
