// The three layer kinds of the network and its activation.
//
// Shapes (C = channels, L = grid points, K = kernel):
//   conv1d     weight [C, Cin, K], bias [C]; input and output Cin x L, C x L
//   group_norm weight [C], bias [C], in place over C x L
//   linear     weight [out, in], bias [out]
// A tensor whose element count disagrees with its layer is an NnError, never
// a read out of range.
#include <algorithm>
#include <cstddef>
#include <cmath>
#include <limits>
#include <string>

#include "nn/guesser.h"
#include "nn/layer_kernels.h"
#include "nn/limits.h"

namespace kelvora::nn {

namespace {

__extension__ typedef __int128 Wide;

struct LayerTensors {
  const Tensor* weight;
  const Tensor* bias;
};

Expected<LayerTensors, NnError> layer_tensors(const Guesser& g, std::string_view layer) {
  const std::string prefix = "w." + std::string(layer);
  auto weight = g.tensor(prefix + ".weight");
  if (!weight) return unexpected(weight.error());
  auto bias = g.tensor(prefix + ".bias");
  if (!bias) return unexpected(bias.error());
  return LayerTensors{*weight, *bias};
}

NnError count_error(std::string_view layer, std::string_view which, std::uint64_t found, std::uint64_t expected) {
  return NnError::element_count("w." + std::string(layer) + "." + std::string(which), found, expected);
}

}  // namespace

double gelu(double v) { return v * 0.5 * (1.0 + std::tanh(0.7978845608028654 * (v + v * (v * (v * 0.044715))))); }

void conv1d_terms(const double* in, std::size_t in_row, std::size_t cin, const double* w, const double* bias,
                  std::size_t cout, std::size_t len, std::size_t kernel, std::size_t dilation, double* out) {
  for (std::size_t o = 0; o < cout; ++o) std::fill_n(out + o * len, len, bias[o]);
  const Wide pad = static_cast<Wide>(dilation) * (kernel > 0 ? kernel - 1 : 0) / 2;
  const Wide wide_len = static_cast<Wide>(len);
  for (std::size_t o = 0; o < cout; ++o) {
    double* row = out + o * len;
    for (std::size_t c = 0; c < cin; ++c) {
      const double* src = in + c * in_row;
      for (std::size_t j = 0; j < kernel; ++j) {
        const double weight = w[(o * cin + c) * kernel + j];
        if (weight == 0.0) continue;
        // t + shift must lie in [0, L); a tap shifted by L or more reads only padding.
        const Wide wide_shift = static_cast<Wide>(dilation) * static_cast<Wide>(j) - pad;
        if (wide_shift >= wide_len || wide_shift <= -wide_len) continue;
        const auto shift = static_cast<std::ptrdiff_t>(wide_shift);
        const std::size_t begin = shift < 0 ? static_cast<std::size_t>(-shift) : 0;
        const std::size_t end = shift > 0 ? len - static_cast<std::size_t>(shift) : len;
        const double* shifted = src + shift;
        for (std::size_t t = begin; t < end; ++t) row[t] += weight * shifted[t];
      }
    }
  }
}

void normalize_groups(double* values, std::size_t channels, std::size_t len, std::size_t groups, const double* w,
                      const double* bias) {
  const std::size_t per_group = channels / groups;
  const std::size_t n = per_group * len;
  if (n == 0) return;
  for (std::size_t g = 0; g < groups; ++g) {
    double* v = values + g * n;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += v[i];
    const double mean = sum / static_cast<double>(n);
    double sq = 0.0;
    for (std::size_t i = 0; i < n; ++i) sq += (v[i] - mean) * (v[i] - mean);
    const double var = sq / static_cast<double>(n);
    const double s = 1.0 / std::sqrt(var + 1e-5);
    for (std::size_t r = 0; r < per_group; ++r) {
      const std::size_t c = g * per_group + r;
      double* row = v + r * len;
      for (std::size_t i = 0; i < len; ++i) row[i] = (s * (row[i] - mean)) * w[c] + bias[c];
    }
  }
}

// out[o][t] = bias[o] + sum_c sum_j w[o][c][j] * in[c][t + d*j - p],  p = floor(d (K-1) / 2),
// zero padding outside 0..L-1; zero weights are skipped, so they contribute
// nothing even against a non-finite input.
Expected<std::vector<double>, NnError> Guesser::conv1d(std::span<const double> input, std::size_t cin,
                                                       std::string_view layer, std::size_t dilation) const {
  auto lt = layer_tensors(*this, layer);
  if (!lt) return unexpected(lt.error());
  const std::size_t len = n_grid;
  const std::size_t cout = channels;
  const Wide expected = static_cast<Wide>(cout) * cin * kernel;
  const auto& w = lt->weight->values;
  const auto& b = lt->bias->values;
  if (static_cast<Wide>(w.size()) != expected) {
    const std::uint64_t shown = expected > std::numeric_limits<std::uint64_t>::max()
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : static_cast<std::uint64_t>(expected);
    return unexpected(count_error(layer, "weight", w.size(), shown));
  }
  if (b.size() != cout) return unexpected(count_error(layer, "bias", b.size(), cout));
  if (input.size() != cin * len) return unexpected(NnError::element_count(std::string(layer), input.size(), cin * len));

  std::vector<double> out(cout * len);
  conv1d_terms(input.data(), len, cin, w.data(), b.data(), cout, len, kernel, dilation, out.data());
  return out;
}

// Group normalisation (Wu & He, 2018): the C rows form G groups of C/G
// consecutive channels; each group is normalised by its own mean and
// population variance, v -> (v - mu) / sqrt(var + 1e-5), then scaled and
// shifted per channel.
std::optional<NnError> Guesser::group_norm(std::vector<double>& values, std::string_view layer) const {
  auto lt = layer_tensors(*this, layer);
  if (!lt) return lt.error();
  const std::size_t len = n_grid;
  const std::size_t c_count = channels;
  const auto& w = lt->weight->values;
  const auto& b = lt->bias->values;
  if (w.size() != c_count) return count_error(layer, "weight", w.size(), c_count);
  if (b.size() != c_count) return count_error(layer, "bias", b.size(), c_count);
  if (groups == 0) return NnError::unparsable("groups");
  if (values.size() != c_count * len) return NnError::element_count(std::string(layer), values.size(), c_count * len);

  normalize_groups(values.data(), c_count, len, groups, w.data(), b.data());
  return std::nullopt;
}

// out[o] = bias[o] + sum_i weight[o][i] * input[i]
Expected<std::vector<double>, NnError> Guesser::linear(std::span<const double> input, std::string_view layer) const {
  auto lt = layer_tensors(*this, layer);
  if (!lt) return unexpected(lt.error());
  const Tensor& weight = *lt->weight;
  if (weight.dims.size() != 2) return unexpected(NnError::unparsable("w." + std::string(layer) + ".weight"));
  const std::size_t out_n = weight.dims[0];
  const std::size_t in_n = weight.dims[1];
  if (input.size() != in_n) return unexpected(NnError::element_count(std::string(layer), input.size(), in_n));
  const auto& w = weight.values;
  const auto& b = lt->bias->values;
  const std::uint64_t expected = static_cast<std::uint64_t>(out_n) * in_n;
  if (w.size() != expected) return unexpected(count_error(layer, "weight", w.size(), expected));
  if (b.size() != out_n) return unexpected(count_error(layer, "bias", b.size(), out_n));

  std::vector<double> out(out_n);
  for (std::size_t o = 0; o < out_n; ++o) {
    double sum = 0.0;
    const double* row = w.data() + o * in_n;
    for (std::size_t i = 0; i < in_n; ++i) sum += row[i] * input[i];
    out[o] = b[o] + sum;
  }
  return out;
}

}  // namespace kelvora::nn
