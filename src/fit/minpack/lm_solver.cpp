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
  LmRun(LeastSquaresProblem& problem, std::vector<double> x0, const LmSettings& settings)
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
    scratch_.assign(n_, 0.0);
    sdiag_.assign(n_, 0.0);
    lmpar_work_.assign(n_, 0.0);
    lmpar_dx_.assign(n_, 0.0);
    qtf_full_.assign(mm_, 0.0);
    fvec_trial_.assign(m_, 0.0);
    ipvt_.assign(n_, 0);
  }

  double& fjac(std::size_t i, std::size_t j) { return fjac_[i + j * mm_]; }

  // Scaled norm ||D v||.
  double scaled_norm(const std::vector<double>& v) {
    for (std::size_t j = 0; j < n_; ++j) scratch_[j] = diag_[j] * v[j];
    return enorm(n_, scratch_.data());
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
    qr_factorize(mm_, n_, fjac_.data(), mm_, ipvt_.data(), rdiag_.data(), acnorm_.data(), scratch_.data());

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
    std::fill(qtf_full_.begin(), qtf_full_.end(), 0.0);
    std::copy(fvec_.begin(), fvec_.end(), qtf_full_.begin());
    for (std::size_t j = 0; j < n_; ++j) {
      if (fjac(j, j) != 0.0) {
        double sum = 0.0;
        for (std::size_t i = j; i < mm_; ++i) sum += fjac(i, j) * qtf_full_[i];
        const double temp = -sum / fjac(j, j);
        for (std::size_t i = j; i < mm_; ++i) qtf_full_[i] += fjac(i, j) * temp;
      }
      fjac(j, j) = rdiag_[j];
      qtf_[j] = qtf_full_[j];
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
    // lmder's p1, p5, p25, p75 and p0001.
    constexpr double kTenth = 0.1, kHalf = 0.5;
    constexpr double kShrinkBelow = 0.25;   // ratio at or below which the trust region shrinks
    constexpr double kExpandFrom = 0.75;    // ratio from which it grows
    constexpr double kAcceptFrom = 1.0e-4;  // ratio from which the step is taken
    accepted_ = false;

    lm_parameter(n_, fjac_.data(), mm_, ipvt_.data(), diag_.data(), qtf_.data(), delta_, par_, step_.data(),
                 {sdiag_.data(), lmpar_work_.data(), lmpar_dx_.data()});

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
      scratch_[j] = 0.0;
      const double temp = step_[ipvt_[j]];
      for (std::size_t i = 0; i <= j; ++i) scratch_[i] += fjac(i, j) * temp;
    }
    const double temp1 = enorm(n_, scratch_.data()) / fnorm_;
    const double temp2 = (std::sqrt(par_) * pnorm) / fnorm_;
    const double t1 = temp1 * temp1, t2 = temp2 * temp2;
    if (!std::isfinite(t1) || !std::isfinite(t2)) return LmEnding::NonFinite;
    const double prered = t1 + t2 / kHalf;
    const double dirder = -(t1 + t2);

    const double fnorm1 = eval_.evaluate(trial_, fvec_trial_);

    // Scaled actual reduction; a non-finite or tenfold larger norm counts as -1.
    double actred = -1.0;
    if (kTenth * fnorm1 < fnorm_) {
      const double q = fnorm1 / fnorm_;
      actred = 1.0 - q * q;
    }
    const double ratio = prered != 0.0 ? actred / prered : 0.0;

    // Update the step bound.
    if (ratio <= kShrinkBelow) {
      double temp = actred >= 0.0 ? kHalf : kHalf * dirder / (dirder + kHalf * actred);
      if (kTenth * fnorm1 >= fnorm_ || temp < kTenth) temp = kTenth;
      delta_ = temp * std::min(delta_, pnorm / kTenth);
      par_ /= temp;
    } else if (par_ == 0.0 || ratio >= kExpandFrom) {
      delta_ = pnorm / kHalf;
      par_ = kHalf * par_;
    }

    // A successful step: move x and f.
    if (ratio >= kAcceptFrom) {
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
    const bool f_converged = std::fabs(actred) <= s_.ftol && prered <= s_.ftol && kHalf * ratio <= 1.0;
    const bool x_converged = delta_ <= s_.xtol * xnorm_;
    if (f_converged && x_converged) return LmEnding::ConvergedFX;
    if (f_converged) return LmEnding::ConvergedF;
    if (x_converged) return LmEnding::ConvergedX;

    // The evaluation limit, and the tolerances too small for machine
    // precision.  When several hold, lmder reports the last of them.
    if (gnorm_ <= kEpsilon) return LmEnding::NoImprovementG;
    if (delta_ <= kEpsilon * xnorm_) return LmEnding::NoImprovementX;
    if (std::fabs(actred) <= kEpsilon && prered <= kEpsilon && kHalf * ratio <= 1.0) return LmEnding::NoImprovementF;
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
  const LmSettings& s_;
  const std::size_t n_, m_, mm_;  // mm_ = max(m, n): rows after padding
  std::vector<double> x_;
  std::vector<double> fvec_, fvec_trial_;  // f(x) and f(x + p) (lmder's fvec and wa4)
  std::vector<double> fjac_;               // mm x n: J, then R and the Householder vectors of its QR
  std::vector<double> jac_m_;              // m x n: J before padding to mm rows (when m < n)
  std::vector<double> diag_;      // D, the scaling of the variables
  std::vector<double> qtf_;       // the first n components of Q^T f
  std::vector<double> rdiag_;     // the diagonal of R
  std::vector<double> acnorm_;    // the column norms of J
  std::vector<double> step_;      // lmpar's x, then the step p (lmder's wa1)
  std::vector<double> trial_;     // x + p (lmder's wa2)
  std::vector<double> scratch_;   // n doubles: D v, QR workspace, J p (lmder's wa3)
  std::vector<double> qtf_full_;  // mm doubles: f, turned into Q^T f (lmder's wa4)
  std::vector<double> sdiag_, lmpar_work_, lmpar_dx_;  // lmpar's workspace (see lm_parameter.h)
  std::vector<std::size_t> ipvt_;  // the column permutation P of the QR
  std::uint64_t maxfev_ = 0;       // the evaluation limit, patience (n + 1)
  std::uint64_t iter_ = 1;         // lmder's iter: 1 until the first successful step
  double fnorm_ = 0.0;  // ||f(x)||
  double xnorm_ = 0.0;  // ||D x||
  double gnorm_ = 0.0;  // the largest cosine between f and a Jacobian column
  double delta_ = 0.0;  // the trust-region radius
  double par_ = 0.0;    // the Levenberg-Marquardt parameter
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

LmSolverReport lm_minimize(LeastSquaresProblem& problem, std::vector<double> x0, const LmSettings& settings) {
  return LmRun(problem, std::move(x0), settings).run();
}

}  // namespace kelvora
