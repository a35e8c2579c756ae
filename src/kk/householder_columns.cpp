#include "kk/householder_columns.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace kelvora::kk {
namespace {

// The two loops that carry the work, written over four lanes with the
// compiler's vector extension so that they run as SIMD on any x86-64 and
// as AVX2 where the processor has it (chosen at load time).  The lanes add
// in a fixed order and multiply-adds stay unfused, so both builds give the
// same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define KELVORA_KK_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELVORA_KK_CLONES
#endif

#if defined(__GNUC__)
// Four doubles; loaded and stored with memcpy (no alignment assumed) and
// never passed by value, which would tie the calling convention to AVX.
using Lanes = double __attribute__((vector_size(32)));

// sum of x[i] * y[i], i < n
KELVORA_KK_CLONES double dot(const double* x, const double* y, std::size_t n) {
  Lanes acc = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Lanes a, b;
    std::memcpy(&a, x + i, sizeof a);
    std::memcpy(&b, y + i, sizeof b);
    acc += a * b;
  }
  double s = (acc[0] + acc[2]) + (acc[1] + acc[3]);
  for (; i < n; ++i) s += x[i] * y[i];
  return s;
}

// y[i] -= a * x[i], i < n
KELVORA_KK_CLONES void subtract_scaled(double a, const double* x, double* y, std::size_t n) {
  const Lanes av = {a, a, a, a};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Lanes a, b;
    std::memcpy(&a, x + i, sizeof a);
    std::memcpy(&b, y + i, sizeof b);
    b -= av * a;
    std::memcpy(y + i, &b, sizeof b);
  }
  for (; i < n; ++i) y[i] -= a * x[i];
}
#else
double dot(const double* x, const double* y, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += x[i] * y[i];
  return s;
}
void subtract_scaled(double a, const double* x, double* y, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] -= a * x[i];
}
#endif

// Euclidean norm, safe from overflow and underflow for any finite entries.
double norm2(const double* x, std::size_t n) {
  double big = 0.0;
  for (std::size_t i = 0; i < n; ++i) big = std::max(big, std::fabs(x[i]));
  if (big == 0.0 || !std::isfinite(big)) return big;
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = x[i] / big;
    s += t * t;
  }
  return big * std::sqrt(s);
}

}  // namespace

HouseholderColumns::HouseholderColumns(std::size_t rows, std::size_t expected_columns)
    : rows_(rows),
      factor_(rows * expected_columns),
      tau_(expected_columns),
      diagonal_(expected_columns),
      scale_(expected_columns),
      slot_(expected_columns),
      qtb_(rows),
      mark_qtb_(rows) {}

void HouseholderColumns::reset(std::span<const double> b) {
  std::copy(b.begin(), b.end(), qtb_.begin());
  kept_ = 0;
  slot_count_ = 0;
  mark_kept_ = 0;
  mark_slots_ = 0;
  mark_qtb_ = qtb_;
}

bool HouseholderColumns::append(std::span<const double> a) {
  const std::size_t k = kept_;
  const std::size_t m = rows_;
  if (slot_count_ >= slot_.size()) slot_.resize(2 * slot_count_ + 1);
  if (k >= tau_.size()) {
    const std::size_t grown = 2 * k + 1;
    factor_.resize(grown * m);
    tau_.resize(grown);
    diagonal_.resize(grown);
    scale_.resize(grown);
  }
  double* x = factor_.data() + k * m;
  const double a_norm = norm2(a.data(), m);
  slot_[slot_count_] = -1;
  ++slot_count_;
  if (!(a_norm > 0.0) || !std::isfinite(a_norm) || k >= m) return false;
  const double inv = 1.0 / a_norm;
  for (std::size_t i = 0; i < m; ++i) x[i] = a[i] * inv;

  // x <- H_{k-1} ... H_0 x
  for (std::size_t j = 0; j < k; ++j) {
    const double* v = factor_.data() + j * m;
    const double s = tau_[j] * (x[j] + dot(v + j + 1, x + j + 1, m - j - 1));
    x[j] -= s;
    subtract_scaled(s, v + j + 1, x + j + 1, m - j - 1);
  }

  // The reflection that maps x[k:] onto beta e_k (dlarfg).  The column had
  // unit norm, so the length of its new part is its distance from the span
  // of the columns before it.
  const double alpha = x[k];
  const double tail = norm2(x + k + 1, m - k - 1);
  const double length = std::hypot(alpha, tail);
  if (!(length > static_cast<double>(m) * std::numeric_limits<double>::epsilon())) return false;
  double tau = 0.0;
  double beta = alpha;
  if (tail > 0.0) {
    beta = -std::copysign(length, alpha);
    tau = (beta - alpha) / beta;
    const double s = 1.0 / (alpha - beta);
    for (std::size_t i = k + 1; i < m; ++i) x[i] *= s;
  }
  x[k] = beta;
  tau_[k] = tau;
  diagonal_[k] = beta;
  scale_[k] = inv;
  slot_[slot_count_ - 1] = static_cast<long>(k);

  double* y = qtb_.data();
  const double s = tau * (y[k] + dot(x + k + 1, y + k + 1, m - k - 1));
  y[k] -= s;
  subtract_scaled(s, x + k + 1, y + k + 1, m - k - 1);
  ++kept_;
  return true;
}

void HouseholderColumns::mark() {
  mark_kept_ = kept_;
  mark_slots_ = slot_count_;
  std::copy(qtb_.begin(), qtb_.end(), mark_qtb_.begin());
}

void HouseholderColumns::rewind() {
  kept_ = mark_kept_;
  slot_count_ = mark_slots_;
  std::copy(mark_qtb_.begin(), mark_qtb_.end(), qtb_.begin());
}

void HouseholderColumns::solve(std::span<double> x) const {
  const std::size_t m = rows_;
  // R y = (Q' b)[0:kept], by back substitution.
  std::vector<double> y(qtb_.begin(), qtb_.begin() + static_cast<std::ptrdiff_t>(kept_));
  for (std::size_t jj = kept_; jj-- > 0;) {
    y[jj] /= diagonal_[jj];
    const double* column = factor_.data() + jj * m;
    for (std::size_t i = 0; i < jj; ++i) y[i] -= column[i] * y[jj];
  }
  for (std::size_t s = 0; s < slot_count_; ++s) {
    const long k = slot_[s];
    x[s] = k < 0 ? 0.0 : y[static_cast<std::size_t>(k)] * scale_[static_cast<std::size_t>(k)];
  }
}

double HouseholderColumns::residual_norm() const { return norm2(qtb_.data() + kept_, rows_ - kept_); }

}  // namespace kelvora::kk
