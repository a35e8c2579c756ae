#pragma once
// Euclidean norm without destructive overflow or underflow (MINPACK enorm).
#include <cstddef>

namespace kelvora {

// MINPACK's constants: squares of components in (rdwarf, rgiant / n) are
// summed directly; larger and smaller ones are accumulated scaled by the
// largest magnitude seen in their range.
inline constexpr double kEnormDwarf = 3.834e-20;
inline constexpr double kEnormGiant = 1.304e19;

// ||x||_2 of x[0], x[stride], ..., x[(n - 1) * stride].
double enorm(std::size_t n, const double* x, std::size_t stride = 1);

}  // namespace kelvora
