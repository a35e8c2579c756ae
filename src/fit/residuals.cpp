#include "fit/residuals.h"

#include "fit/cancellation.h"

namespace kelvora {

ResidualModel::ResidualModel(const SeriesList& circuit, std::vector<double> omega, std::vector<Complex> impedances,
                             std::vector<double> weights)
    : plan_(circuit), omega_(std::move(omega)), impedances_(std::move(impedances)), weights_(std::move(weights)) {}

std::optional<InternalError> ResidualModel::evaluate(std::span<const double> params, std::span<double> r,
                                                     EvaluationCounter& counter) const {
  counter.fetch_add(1, std::memory_order_relaxed);
  throw_if_cancelled(work_per_evaluation());  // a fit asked to stop (Ctrl-C) unwinds from here
  // The parameters are read per point, so without points nothing runs short.
  if (omega_.empty()) return std::nullopt;
  if (params.size() < plan_.param_count()) return InternalError{kNotEnoughValues};
  // One pass of the circuit's impedance program over all frequencies.
  // Scratch for the model impedances: kept per thread for the usual small
  // spectra (evaluate never nests), allocated per call for large ones so
  // that no thread holds on to a large buffer.
  constexpr std::size_t kKeptScratch = 4096;
  thread_local std::vector<Complex> kept;
  std::vector<Complex> own;
  std::vector<Complex>& model = omega_.size() <= kKeptScratch ? kept : own;
  model.resize(omega_.size());
  ImpedanceEvaluator(plan_, params).evaluate(omega_, model.data());
  for (std::size_t i = 0; i < omega_.size(); ++i) {
    const Complex zm = model[i];
    r[2 * i] = (zm.re - impedances_[i].re) / weights_[i];
    r[2 * i + 1] = (zm.im - impedances_[i].im) / weights_[i];
  }
  return std::nullopt;
}

Expected<std::vector<double>, InternalError> residuals(const SeriesList& circuit, std::span<const double> params,
                                                       std::span<const double> omega,
                                                       std::span<const Complex> impedances,
                                                       std::span<const double> weights, EvaluationCounter& counter) {
  const ResidualModel model(circuit, {omega.begin(), omega.end()},
                            {impedances.begin(), impedances.begin() + static_cast<std::ptrdiff_t>(omega.size())},
                            {weights.begin(), weights.begin() + static_cast<std::ptrdiff_t>(omega.size())});
  std::vector<double> r(model.residual_count());
  if (auto error = model.evaluate(params, r, counter)) return unexpected(std::move(*error));
  return r;
}

double half_sum_of_squares(std::span<const double> r) {
  double s = 0.0;
  for (double v : r) s += v * v;
  return 0.5 * s;
}

}  // namespace kelvora
