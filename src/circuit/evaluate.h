#pragma once
// Impedance of a whole circuit.
//
// A tree is compiled once into a flat program (ImpedancePlan) that an
// evaluator runs with an explicit stack, so evaluation neither recurses nor
// allocates per frequency.  The arithmetic is exactly that of the recursive
// definition: a series list is 0 + 0i plus each node's impedance in order; a
// parallel group is 1 / sum(1 / Z_branch), reciprocals taken plainly.
#include <cstddef>
#include <span>
#include <vector>

#include "circuit/node.h"
#include "support/complex.h"

namespace kelvora {

class ImpedancePlan {
 public:
  explicit ImpedancePlan(const SeriesList& nodes);

  std::size_t param_count() const { return param_count_; }
  // The values stored in the tree's elements, in parameter order.
  const std::vector<double>& stored_values() const { return stored_; }

  struct Op {
    enum Code : unsigned char { Leaf, GroupBegin, BranchEnd, GroupEnd } code;
    Kind kind;            // Leaf only
    std::size_t offset;   // Leaf only: first parameter in the flat vector
  };
  const std::vector<Op>& ops() const { return ops_; }
  std::size_t max_depth() const { return max_depth_; }
  std::size_t leaf_count() const { return leaf_count_; }

 private:
  std::vector<Op> ops_;
  std::vector<double> stored_;
  std::size_t param_count_ = 0;
  std::size_t max_depth_ = 0;
  std::size_t leaf_count_ = 0;
};

// Evaluates a plan for one parameter vector at any number of frequencies.
// Construction precomputes the per-element constants that do not depend on
// the frequency; the results are bit-identical to evaluating each element's
// formula from scratch.  One evaluator per thread.
class ImpedanceEvaluator {
 public:
  // `params` must hold at least plan.param_count() values (checked by callers:
  // see params_sufficient) and outlive the evaluator.
  ImpedanceEvaluator(const ImpedancePlan& plan, std::span<const double> params);

  // Z(omega): a block of one frequency.
  Complex operator()(double omega);
  // out[i] = Z(omega[i]).  Frequencies are evaluated in blocks, each
  // instruction of the plan running over a whole block, so that independent
  // divisions overlap and the simple formulas vectorise; every lane performs
  // exactly the scalar operations of the element formulas.
  void evaluate(std::span<const double> omega, Complex* out);

  static constexpr std::size_t kBlock = 64;

 private:
  struct Prepared {
    double cos_half_pi_p;  // cos(p * pi/2) for the element's complex power
    double sin_half_pi_p;
  };
  void evaluate_block(const double* omega, std::size_t m, Complex* out);

  const ImpedancePlan& plan_;
  std::span<const double> params_;
  std::vector<Prepared> prepared_;  // one per op
  // Block work space, structure of arrays: [depth][lane].
  std::vector<double> block_series_re_, block_series_im_, block_adm_re_, block_adm_im_, leaf_re_, leaf_im_;
};

// The message of the internal error raised when a parameter vector is too short.
inline constexpr const char* kNotEnoughValues = "impedance_from_iter: not enough values supplied";

// Convenience forms of the two evaluators.
Complex impedance(const SeriesList& nodes, double omega);
// Fails (returns false) when params is too short for the circuit.
bool series_impedance_with_params(const SeriesList& nodes, std::span<const double> params, double omega, Complex& out);

}  // namespace kelvora
