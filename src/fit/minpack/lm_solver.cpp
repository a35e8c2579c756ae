#include "fit/minpack/lm_solver.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "fit/minpack/enorm.h"
#include "fit/minpack/lm_evaluator.h"
#include "fit/minpack/lm_parameter.h"
#include "fit/minpack/qr_factorization.h"

namespace kelvora {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kTiny = std::numeric_limits<double>::min();

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

// The working state of one run, named as in lmder.
class LmRun {
 public:
  LmRun(LeastSquaresProblem& problem, std::vector<double> x0, const LmSolverSettings& settings)
      : eval_(problem), s_(settings), n_(x0.size()), m_(problem.residual_count()), mm_(std::max(m_, n_)),
        x_(std::move(x0)) {}

  LmSolverReport run() {
    fvec_.assign(m_, 0.0);
    fnorm_ = eval_.evaluate(x_, fvec_);
    if (n_ == 0) return finish(LmEnding::NoParameters);
    if (m_ == 0) return finish(LmEnding::NoResiduals);
    if (!std::isfinite(fnorm_)) return finish(LmEnding::NonFinite);
    if (fnorm_ <= kTiny) return finish(LmEnding::ResidualsZero);
    maxfev_ = saturating_product(std::max<std::uint64_t>(s_.patience, 1), n_ + 1);
    allocate();

    for (;;) {
      if (auto ending = factor_jacobian()) return finish(*ending);
      for (;;) {
        if (auto ending = trust_region_step()) return finish(*ending);
        if (accepted_) break;
      }
    }
  }

 private:
  void allocate() {
    fjac_.assign(mm_ * n_, 0.0);
    if (mm_ != m_) jac_m_.assign(m_ * n_, 0.0);
    diag_.assign(n_, 1.0);
    qtf_.assign(n_, 0.0);
    rdiag_.assign(n_, 0.0);
    acnorm_.assign(n_, 0.0);
    step_.assign(n_, 0.0);
    trial_.assign(n_, 0.0);
    wa3_.assign(n_, 0.0);
    sdiag_.assign(n_, 0.0);
    lw1_.assign(n_, 0.0);
    lw2_.assign(n_, 0.0);
    wa4_.assign(mm_, 0.0);
    fvec_trial_.assign(m_, 0.0);
    ipvt_.assign(n_, 0);
  }

  double& fjac(std::size_t i, std::size_t j) { return fjac_[i + j * mm_]; }

  // Scaled norm ||D v||.
  double scaled_norm(const std::vector<double>& v) {
    for (std::size_t j = 0; j < n_; ++j) wa3_[j] = diag_[j] * v[j];
    return enorm(n_, wa3_.data());
  }

  // Outer iteration: Jacobian, QR, Q^T f, the gradient test and the scaling.
  std::optional<LmEnding> factor_jacobian() {
    if (mm_ == m_) {
      eval_.jacobian(x_, fjac_);
    } else {
      eval_.jacobian(x_, jac_m_);
      std::fill(fjac_.begin(), fjac_.end(), 0.0);
      for (std::size_t j = 0; j < n_; ++j)
        std::copy(jac_m_.begin() + static_cast<std::ptrdiff_t>(j * m_),
                  jac_m_.begin() + static_cast<std::ptrdiff_t>((j + 1) * m_), fjac_.begin() + static_cast<std::ptrdiff_t>(j * mm_));
    }
    qr_factorize(mm_, n_, fjac_.data(), mm_, ipvt_.data(), rdiag_.data(), acnorm_.data(), wa3_.data());

    if (iter_ == 1) {
      // Scale by the column norms of the initial Jacobian; bound the first
      // step by step_bound times the scaled length of x.
      for (std::size_t j = 0; j < n_; ++j) diag_[j] = acnorm_[j] == 0.0 ? 1.0 : acnorm_[j];
      xnorm_ = scaled_norm(x_);
      if (!std::isfinite(xnorm_)) return LmEnding::NonFinite;
      delta_ = s_.step_bound * xnorm_;
      if (delta_ == 0.0) delta_ = s_.step_bound;
    }

    // qtf = the first n components of Q^T f.
    std::fill(wa4_.begin(), wa4_.end(), 0.0);
    std::copy(fvec_.begin(), fvec_.end(), wa4_.begin());
    for (std::size_t j = 0; j < n_; ++j) {
      if (fjac(j, j) != 0.0) {
        double sum = 0.0;
        for (std::size_t i = j; i < mm_; ++i) sum += fjac(i, j) * wa4_[i];
        const double temp = -sum / fjac(j, j);
        for (std::size_t i = j; i < mm_; ++i) wa4_[i] += fjac(i, j) * temp;
      }
      fjac(j, j) = rdiag_[j];
      qtf_[j] = wa4_[j];
    }

    // gnorm = max_j |J_j^T f| / (||J_j|| ||f||), the largest cosine between
    // f and a Jacobian column; zero columns are skipped.
    gnorm_ = 0.0;
    for (std::size_t j = 0; j < n_; ++j) {
      const std::size_t l = ipvt_[j];
      if (acnorm_[l] == 0.0) continue;
      double sum = 0.0;
      for (std::size_t i = 0; i <= j; ++i) sum += fjac(i, j) * (qtf_[i] / fnorm_);
      const double g = std::fabs(sum / acnorm_[l]);
      if (std::isnan(g)) return LmEnding::NonFinite;
      gnorm_ = std::max(gnorm_, g);
    }
    if (gnorm_ <= s_.gtol) return LmEnding::Orthogonal;

    if (iter_ != 1)
      for (std::size_t j = 0; j < n_; ++j) diag_[j] = std::max(diag_[j], acnorm_[j]);
    return std::nullopt;
  }

  // Inner iteration: one trial step and the trust-region update.  Sets
  // accepted_ when x moved.
  std::optional<LmEnding> trust_region_step() {
    constexpr double p1 = 0.1, p5 = 0.5, p25 = 0.25, p75 = 0.75, p0001 = 1.0e-4;
    accepted_ = false;

    lm_parameter(n_, fjac_.data(), mm_, ipvt_.data(), diag_.data(), qtf_.data(), delta_, par_, step_.data(),
                 {sdiag_.data(), lw1_.data(), lw2_.data()});

    // The direction p = -step, the trial point x + p and ||D p||.
    for (std::size_t j = 0; j < n_; ++j) {
      step_[j] = -step_[j];
      trial_[j] = x_[j] + step_[j];
    }
    const double pnorm = scaled_norm(step_);
    if (!std::isfinite(pnorm)) return LmEnding::NonFinite;
    if (iter_ == 1) delta_ = std::min(delta_, pnorm);

    // Scaled predicted reduction and directional derivative:
    //   prered = ||J p||^2 / ||f||^2 + 2 par ||D p||^2 / ||f||^2
    //   dirder = -(||J p||^2 + par ||D p||^2) / ||f||^2
    for (std::size_t j = 0; j < n_; ++j) {
      wa3_[j] = 0.0;
      const double temp = step_[ipvt_[j]];
      for (std::size_t i = 0; i <= j; ++i) wa3_[i] += fjac(i, j) * temp;
    }
    const double temp1 = enorm(n_, wa3_.data()) / fnorm_;
    const double temp2 = (std::sqrt(par_) * pnorm) / fnorm_;
    const double t1 = temp1 * temp1, t2 = temp2 * temp2;
    if (!std::isfinite(t1) || !std::isfinite(t2)) return LmEnding::NonFinite;
    const double prered = t1 + t2 / p5;
    const double dirder = -(t1 + t2);

    const double fnorm1 = eval_.evaluate(trial_, fvec_trial_);

    // Scaled actual reduction; a non-finite or tenfold larger norm counts as -1.
    double actred = -1.0;
    if (p1 * fnorm1 < fnorm_) {
      const double q = fnorm1 / fnorm_;
      actred = 1.0 - q * q;
    }
    const double ratio = prered != 0.0 ? actred / prered : 0.0;

    // Update the step bound.
    if (ratio <= p25) {
      double temp = actred >= 0.0 ? p5 : p5 * dirder / (dirder + p5 * actred);
      if (p1 * fnorm1 >= fnorm_ || temp < p1) temp = p1;
      delta_ = temp * std::min(delta_, pnorm / p1);
      par_ /= temp;
    } else if (par_ == 0.0 || ratio >= p75) {
      delta_ = pnorm / p5;
      par_ = p5 * par_;
    }

    // A successful step: move x and f.
    if (ratio >= p0001) {
      x_.swap(trial_);
      fvec_.swap(fvec_trial_);
      xnorm_ = scaled_norm(x_);
      if (!std::isfinite(xnorm_)) return LmEnding::NonFinite;
      fnorm_ = fnorm1;
      ++iter_;
      accepted_ = true;
    }

    // Convergence.
    if (fnorm_ <= kTiny) return LmEnding::ResidualsZero;
    const bool f_converged = std::fabs(actred) <= s_.ftol && prered <= s_.ftol && p5 * ratio <= 1.0;
    const bool x_converged = delta_ <= s_.xtol * xnorm_;
    if (f_converged && x_converged) return LmEnding::ConvergedFX;
    if (f_converged) return LmEnding::ConvergedF;
    if (x_converged) return LmEnding::ConvergedX;

    // The evaluation limit, and the tolerances too small for machine
    // precision.  When several hold, lmder reports the last of them.
    if (gnorm_ <= kEpsilon) return LmEnding::NoImprovementG;
    if (delta_ <= kEpsilon * xnorm_) return LmEnding::NoImprovementX;
    if (std::fabs(actred) <= kEpsilon && prered <= kEpsilon && p5 * ratio <= 1.0) return LmEnding::NoImprovementF;
    if (eval_.evaluations() >= maxfev_) return LmEnding::EvaluationLimit;
    return std::nullopt;
  }

  LmSolverReport finish(LmEnding ending) {
    LmSolverReport report;
    report.x = std::move(x_);
    report.ending = ending;
    report.evaluations = eval_.evaluations();
    report.jacobian_evaluations = eval_.jacobians();
    report.residual_norm = fnorm_;
    return report;
  }

  LmEvaluator eval_;
  const LmSolverSettings& s_;
  const std::size_t n_, m_, mm_;  // mm_ = max(m, n): rows after padding
  std::vector<double> x_;
  std::vector<double> fvec_, fvec_trial_;
  std::vector<double> fjac_, jac_m_;
  std::vector<double> diag_, qtf_, rdiag_, acnorm_, step_, trial_, wa3_, sdiag_, lw1_, lw2_, wa4_;
  std::vector<std::size_t> ipvt_;
  std::uint64_t maxfev_ = 0;
  std::uint64_t iter_ = 1;  // lmder's iter: 1 until the first successful step
  double fnorm_ = 0.0, xnorm_ = 0.0, gnorm_ = 0.0, delta_ = 0.0, par_ = 0.0;
  bool accepted_ = false;
};

}  // namespace

bool is_success(LmEnding ending) {
  switch (ending) {
    case LmEnding::ResidualsZero:
    case LmEnding::Orthogonal:
    case LmEnding::ConvergedF:
    case LmEnding::ConvergedX:
    case LmEnding::ConvergedFX:
      return true;
    default:
      return false;
  }
}

int minpack_info(LmEnding ending) {
  switch (ending) {
    case LmEnding::ConvergedF: return 1;
    case LmEnding::ConvergedX: return 2;
    case LmEnding::ConvergedFX: return 3;
    case LmEnding::ResidualsZero:
    case LmEnding::Orthogonal: return 4;
    case LmEnding::EvaluationLimit: return 5;
    case LmEnding::NoImprovementF: return 6;
    case LmEnding::NoImprovementX: return 7;
    case LmEnding::NoImprovementG: return 8;
    default: return 0;
  }
}

LmSolverReport lm_minimize(LeastSquaresProblem& problem, std::vector<double> x0, const LmSolverSettings& settings) {
  return LmRun(problem, std::move(x0), settings).run();
}

}  // namespace kelvora
