// The whole forward pass: features, convolutional trunk, pooling, head and
// decoding of the outputs into physical parameter values.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "nn/guesser.h"
#include "nn/layer_kernels.h"

namespace kelvora::nn {

namespace {

void apply_gelu(std::vector<double>& v) {
  for (double& x : v) x = gelu(x);
}

// f64 max semantics: a NaN operand is ignored.
double max_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

}  // namespace

Expected<std::vector<double>, NnError> Guesser::predict(std::span<const double> freqs,
                                                        std::span<const Complex> z) const {
  if (freqs.size() < 2 || z.size() < 2) return unexpected(NnError::too_few_points(std::min(freqs.size(), z.size())));
  return forward(features(freqs, z));
}

Expected<std::vector<double>, NnError> Guesser::forward(const Features& f, TrunkKernel trunk) const {
  std::optional<std::vector<double>> blocked;
  if (trunk == TrunkKernel::blocked) blocked = blocked_head_outputs(*this, f);
  auto y = blocked ? Expected<std::vector<double>, NnError>(std::move(*blocked)) : layer_head_outputs(f);
  if (!y) return unexpected(y.error());
  return decode(*y, f);
}

Expected<std::vector<double>, NnError> Guesser::layer_head_outputs(const Features& f) const {
  const std::size_t len = n_grid;
  const std::size_t c_count = channels;

  // Trunk: stem, then residual blocks h <- GELU(h + norm(conv(GELU(norm(conv(h)))))).
  auto stem = conv1d(f.map, 3, "stem", 1);
  if (!stem) return unexpected(stem.error());
  std::vector<double> h = std::move(*stem);
  for (std::size_t i = 0; i < dilations.size(); ++i) {
    const std::string block = "blocks." + std::to_string(i) + ".";
    auto t = conv1d(h, c_count, block + "conv1", dilations[i]);
    if (!t) return unexpected(t.error());
    if (auto e = group_norm(*t, block + "norm1")) return unexpected(*e);
    apply_gelu(*t);
    t = conv1d(*t, c_count, block + "conv2", dilations[i]);
    if (!t) return unexpected(t.error());
    if (auto e = group_norm(*t, block + "norm2")) return unexpected(*e);
    for (std::size_t k = 0; k < h.size(); ++k) h[k] += (*t)[k];
    apply_gelu(h);
  }

  // Global pooling: per-channel mean, per-channel max, then the two global features.
  std::vector<double> pooled(2 * c_count + 2);
  for (std::size_t c = 0; c < c_count; ++c) {
    double sum = 0.0;
    double max = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < len; ++t) {
      const double v = h[c * len + t];
      sum += v;
      max = max_ignoring_nan(max, v);
    }
    pooled[c] = sum / static_cast<double>(len);
    pooled[c_count + c] = max;
  }
  pooled[2 * c_count] = f.s0;
  pooled[2 * c_count + 1] = f.s1;

  auto z0 = linear(pooled, "head.0");
  if (!z0) return unexpected(z0.error());
  apply_gelu(*z0);
  auto z1 = linear(*z0, "head.2");
  if (!z1) return unexpected(z1.error());
  apply_gelu(*z1);
  return linear(*z1, "head.4");
}

Expected<std::vector<double>, NnError> Guesser::decode(std::span<const double> y, const Features& f) const {
  // Decoding.  v = mean + y * std, in log10 space where flagged; exponents
  // are clamped before any other output uses them:
  //   physical[i] = (value[i] * R_s^r_pow) * omega_c^(w_pow + alpha_coef * value[alpha_index]).
  const std::size_t p = param_names.size();
  if (y.size() < p) return unexpected(NnError::element_count("head.4", y.size(), p));
  std::vector<double> value(p);
  for (std::size_t i = 0; i < p; ++i) {
    const double v = target_mean[i] + y[i] * target_std[i];
    value[i] = log_params[i] ? std::pow(10.0, v) : v;
  }
  for (std::size_t i = 0; i < p; ++i) {
    if (log_params[i]) continue;
    if (value[i] < alpha_min) value[i] = alpha_min;
    if (value[i] > alpha_max) value[i] = alpha_max;
  }
  std::vector<double> physical(p);
  for (std::size_t i = 0; i < p; ++i) {
    const Scaling& s = scaling[i];
    const double c = s.alpha_index >= 0 ? s.alpha_coef * value[static_cast<std::size_t>(s.alpha_index)] : 0.0;
    physical[i] = (value[i] * std::pow(f.r_s, s.r_pow)) * std::pow(f.omega_c, s.w_pow + c);
  }
  return physical;
}

}  // namespace kelvora::nn
