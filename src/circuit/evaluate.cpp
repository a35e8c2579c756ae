#include "circuit/evaluate.h"

#include <algorithm>
#include <cmath>

#include "elements/element_formulas.h"

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

// The argument w of the element's complex power w^p, written exactly as in
// the element's formula.
template <Kind K>
Complex power_argument(const double* p, double omega) {
  const Complex s{0.0, omega};
  if constexpr (K == Kind::La) return s * Complex{p[0], 0.0};
  else if constexpr (K == Kind::Zarc) return s * Complex{p[1], 0.0};
  else return s;  // Cpe, Tlmq
}

// One element's impedance over a block of frequencies, the kind fixed at
// compile time so that its formula is inlined (and vectorised where it is
// plain arithmetic).  For kinds with a complex power the power is taken in a
// first pass, one library call per lane, and the rest of the formula runs in
// a second pass that only reads it back.
// Built twice, for the x86-64 baseline and for AVX2, and chosen at load time.
// Fused multiply-adds stay off either way, so both give the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define KELVORA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELVORA_VECTOR_CLONES
#endif

template <Kind K>
KELVORA_VECTOR_CLONES void leaf_block(const double* p, const double* omega, std::size_t m, double c, double s, double* re, double* im) {
  constexpr int exponent = exponent_index(K);
  if constexpr (exponent >= 0) {
    const double e = p[exponent];
    Complex powers[ImpedanceEvaluator::kBlock];
    const bool fast = e != 1.0 && e != 0.5 && e != 0.0;
    for (std::size_t j = 0; j < m; ++j) {
      const Complex w = power_argument<K>(p, omega[j]);
      // On the positive imaginary axis only the magnitude of w^e depends on
      // the frequency; its direction is the prepared one (complex_pow).
      if (fast && w.re == 0.0 && w.im > 0.0) {
        const double mag = std::pow(w.im, e);
        powers[j] = Complex{mag * c, mag * s};
      } else {
        powers[j] = complex_pow(w, e);
      }
    }
    for (std::size_t j = 0; j < m; ++j) {
      const Complex z = detail::impedance_impl(K, p, omega[j], [&](Complex, double) { return powers[j]; });
      re[j] = z.re;
      im[j] = z.im;
    }
  } else {
    for (std::size_t j = 0; j < m; ++j) {
      const Complex z = detail::impedance_impl(K, p, omega[j], [](Complex w, double e) { return complex_pow(w, e); });
      re[j] = z.re;
      im[j] = z.im;
    }
  }
}

using LeafBlockFn = void (*)(const double*, const double*, std::size_t, double, double, double*, double*);
constexpr LeafBlockFn kLeafBlock[kKindCount] = {
#define KELVORA_ELEMENT(kind, listed_code, names, units, defaults) leaf_block<Kind::kind>,
#include "elements/elements.def"
#undef KELVORA_ELEMENT
};

}  // namespace

ImpedancePlan::ImpedancePlan(const SeriesList& nodes) {
  compile(nodes, ops_, stored_, 0, max_depth_, leaf_count_);
  param_count_ = stored_.size();
}

ImpedanceEvaluator::ImpedanceEvaluator(const ImpedancePlan& plan, std::span<const double> params)
    : plan_(plan), params_(params), prepared_(plan.ops().size()) {
  const std::size_t slots = (plan.max_depth() + 1) * kBlock;
  block_series_re_.resize(slots);
  block_series_im_.resize(slots);
  block_adm_re_.resize(slots);
  block_adm_im_.resize(slots);
  leaf_re_.resize(kBlock);
  leaf_im_.resize(kBlock);
  for (std::size_t i = 0; i < plan.ops().size(); ++i) {
    const auto& op = plan.ops()[i];
    if (op.code != ImpedancePlan::Op::Leaf) continue;
    const int k = exponent_index(op.kind);
    if (k < 0) continue;
    const double p = params_[op.offset + static_cast<std::size_t>(k)];
    half_pi_cos_sin(p, prepared_[i].cos_half_pi_p, prepared_[i].sin_half_pi_p);
  }
}

Complex ImpedanceEvaluator::operator()(double omega) {
  Complex out;
  evaluate_block(&omega, 1, &out);
  return out;
}

void ImpedanceEvaluator::evaluate(std::span<const double> omega, Complex* out) {
  for (std::size_t b = 0; b < omega.size(); b += kBlock)
    evaluate_block(omega.data() + b, std::min(kBlock, omega.size() - b), out + b);
}

KELVORA_VECTOR_CLONES void ImpedanceEvaluator::evaluate_block(const double* omega, std::size_t m, Complex* out) {
  // series(d) is the running sum of the series list open at depth d;
  // admittance(d) the running sum of 1/Z over the branches of the group whose
  // branches are at depth d.  Each is widened to a block of frequencies.
  //   series(d)      += Z_leaf                  (Leaf)
  //   admittance(d)  += 1 / series(d)           (BranchEnd)
  //   series(d - 1)  += 1 / admittance(d)       (GroupEnd)
  std::size_t d = 0;
  double* sre = block_series_re_.data();
  double* sim = block_series_im_.data();
  double* are = block_adm_re_.data();
  double* aim = block_adm_im_.data();
  double* lre = leaf_re_.data();
  double* lim = leaf_im_.data();
  for (std::size_t j = 0; j < m; ++j) sre[j] = sim[j] = 0.0;
  const auto& ops = plan_.ops();
  const double* p = params_.data();
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const auto& op = ops[i];
    double* cur_re = sre + d * kBlock;
    double* cur_im = sim + d * kBlock;
    switch (op.code) {
      case ImpedancePlan::Op::Leaf:
        kLeafBlock[static_cast<std::size_t>(op.kind)](p + op.offset, omega, m, prepared_[i].cos_half_pi_p,
                                                      prepared_[i].sin_half_pi_p, lre, lim);
        for (std::size_t j = 0; j < m; ++j) {
          cur_re[j] += lre[j];
          cur_im[j] += lim[j];
        }
        break;
      case ImpedancePlan::Op::GroupBegin: {
        ++d;
        double* nre = sre + d * kBlock;
        double* nim = sim + d * kBlock;
        double* ar = are + d * kBlock;
        double* ai = aim + d * kBlock;
        for (std::size_t j = 0; j < m; ++j) nre[j] = nim[j] = ar[j] = ai[j] = 0.0;
        break;
      }
      case ImpedancePlan::Op::BranchEnd: {
        double* ar = are + d * kBlock;
        double* ai = aim + d * kBlock;
        for (std::size_t j = 0; j < m; ++j) {
          const Complex y = reciprocal(Complex{cur_re[j], cur_im[j]});
          ar[j] += y.re;
          ai[j] += y.im;
          cur_re[j] = 0.0;
          cur_im[j] = 0.0;
        }
        break;
      }
      case ImpedancePlan::Op::GroupEnd: {
        const double* ar = are + d * kBlock;
        const double* ai = aim + d * kBlock;
        --d;
        double* up_re = sre + d * kBlock;
        double* up_im = sim + d * kBlock;
        for (std::size_t j = 0; j < m; ++j) {
          const Complex z = reciprocal(Complex{ar[j], ai[j]});
          up_re[j] += z.re;
          up_im[j] += z.im;
        }
        break;
      }
    }
  }
  for (std::size_t j = 0; j < m; ++j) out[j] = Complex{sre[j], sim[j]};
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
