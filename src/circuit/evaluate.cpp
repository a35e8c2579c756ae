#include "circuit/evaluate.h"

#include <cmath>

namespace kelvora {
namespace {

void compile(const SeriesList& nodes, std::vector<ImpedancePlan::Op>& ops, std::vector<double>& stored,
             std::size_t depth, std::size_t& max_depth, std::size_t& leaves) {
  if (depth > max_depth) max_depth = depth;
  for (const Node& node : nodes) {
    if (node.is_leaf()) {
      const Element& e = node.leaf().element;
      ops.push_back({ImpedancePlan::Op::Leaf, e.kind, stored.size()});
      for (std::size_t i = 0; i < e.count(); ++i) stored.push_back(e.values[i]);
      ++leaves;
    } else {
      ops.push_back({ImpedancePlan::Op::GroupBegin, Kind::R, 0});
      if (depth + 1 > max_depth) max_depth = depth + 1;  // also for a group without branches
      for (const SeriesList& branch : node.group().branches) {
        compile(branch, ops, stored, depth + 1, max_depth, leaves);
        ops.push_back({ImpedancePlan::Op::BranchEnd, Kind::R, 0});
      }
      ops.push_back({ImpedancePlan::Op::GroupEnd, Kind::R, 0});
    }
  }
}

}  // namespace

ImpedancePlan::ImpedancePlan(const SeriesList& nodes) {
  compile(nodes, ops_, stored_, 0, max_depth_, leaf_count_);
  param_count_ = stored_.size();
}

ImpedanceEvaluator::ImpedanceEvaluator(const ImpedancePlan& plan, std::span<const double> params)
    : plan_(plan), params_(params), prepared_(plan.ops().size()), series_(plan.max_depth() + 1),
      admittance_(plan.max_depth() + 1) {
  const double half_pi = std::atan2(1.0, 0.0);
  for (std::size_t i = 0; i < plan.ops().size(); ++i) {
    const auto& op = plan.ops()[i];
    if (op.code != ImpedancePlan::Op::Leaf) continue;
    const int k = exponent_index(op.kind);
    if (k < 0) continue;
    const double p = params_[op.offset + static_cast<std::size_t>(k)];
    prepared_[i] = {std::cos(p * half_pi), std::sin(p * half_pi)};
  }
}

Complex ImpedanceEvaluator::operator()(double omega) {
  // series_[d] is the running sum of the series list open at depth d;
  // admittance_[d] the running sum of 1/Z over the branches of the group
  // whose branches are at depth d.
  std::size_t d = 0;
  series_[0] = Complex{0.0, 0.0};
  const auto& ops = plan_.ops();
  const double* p = params_.data();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const auto& op = ops[i];
    switch (op.code) {
      case ImpedancePlan::Op::Leaf:
        series_[d] += element_impedance_prepared(op.kind, p + op.offset, omega, prepared_[i].cos_half_pi_p,
                                                 prepared_[i].sin_half_pi_p);
        break;
      case ImpedancePlan::Op::GroupBegin:
        ++d;
        admittance_[d] = Complex{0.0, 0.0};
        series_[d] = Complex{0.0, 0.0};
        break;
      case ImpedancePlan::Op::BranchEnd:
        admittance_[d] += reciprocal(series_[d]);
        series_[d] = Complex{0.0, 0.0};
        break;
      case ImpedancePlan::Op::GroupEnd: {
        const Complex z = reciprocal(admittance_[d]);
        --d;
        series_[d] += z;
        break;
      }
    }
  }
  return series_[0];
}

void ImpedanceEvaluator::evaluate(std::span<const double> omega, Complex* out) {
  for (std::size_t i = 0; i < omega.size(); ++i) out[i] = (*this)(omega[i]);
}

Complex impedance(const SeriesList& nodes, double omega) {
  const ImpedancePlan plan(nodes);
  ImpedanceEvaluator eval(plan, plan.stored_values());
  return eval(omega);
}

bool series_impedance_with_params(const SeriesList& nodes, std::span<const double> params, double omega,
                                  Complex& out) {
  const ImpedancePlan plan(nodes);
  if (params.size() < plan.param_count()) return false;
  ImpedanceEvaluator eval(plan, params);
  out = eval(omega);
  return true;
}

}  // namespace kelvora
