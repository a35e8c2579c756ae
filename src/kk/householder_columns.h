#pragma once
// A tall least-squares problem min ||A x - b|| built one column at a time,
// factored by Householder reflections as the columns arrive.
//
// Each appended column is scaled to unit norm, then the reflections of the
// columns before it are applied to it and its own reflection is formed
// (the same steps as LAPACK's dgeqr2 / dlarfg, one column at a time), and
// that reflection is applied to the right-hand side at once.  Appending k
// columns to an m-row problem costs about 2 m k^2 operations in all; the
// factorisation is never formed twice for a shared leading block of
// columns: `mark()` records the state and `rewind()` returns to it, so
// problems that differ only in their trailing columns reuse the leading ones.
//
// A column whose part orthogonal to the columns before it is below
// `rows * machine epsilon` (of its own norm) is numerically dependent on
// them: it is not added, and its coefficient in the solution is 0.
//
// Storage for the expected number of columns is allocated in the
// constructor and grows when more are appended.
#include <cstddef>
#include <span>
#include <vector>

namespace kelvora::kk {

class HouseholderColumns {
 public:
  HouseholderColumns(std::size_t rows, std::size_t expected_columns);

  // Starts a new problem with right-hand side b (rows entries) and no columns.
  void reset(std::span<const double> b);

  // Appends the column a (rows entries); false when it is numerically
  // dependent on the columns before it (it then takes part with coefficient
  // 0).
  bool append(std::span<const double> a);

  // Columns appended so far, dependent ones included.
  std::size_t columns() const { return slot_count_; }

  // Remembers the current columns; rewind() drops every column appended since.
  void mark();
  void rewind();

  // The least-squares coefficients of the appended columns, in append order
  // (x.size() == columns()).
  void solve(std::span<double> x) const;

  // ||A x - b|| at the least-squares solution: the norm of the part of Q' b
  // below the kept columns.
  double residual_norm() const;

 private:
  std::size_t rows_;
  std::vector<double> factor_;     // rows_ x kept columns, column-major: R above the diagonal, v below
  std::vector<double> tau_;        // tau_[j]: the j-th reflection is I - tau_[j] v_j v_j'
  std::vector<double> diagonal_;   // diagonal_[j] = R[j][j]
  std::vector<double> scale_;      // scale_[j] = 1 / ||a_j|| of the j-th kept column
  std::vector<long> slot_;         // slot_[s]: the kept column of append s, or -1 when dependent
  std::vector<double> qtb_;        // Q' b after the kept columns' reflections
  std::size_t kept_ = 0;           // columns in the factorisation
  std::size_t slot_count_ = 0;     // appends since reset
  std::size_t mark_kept_ = 0;
  std::size_t mark_slots_ = 0;
  std::vector<double> mark_qtb_;
};

}  // namespace kelvora::kk
