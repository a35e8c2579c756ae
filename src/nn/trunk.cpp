// The blocked forward pass: the convolutional trunk as matrix products over
// the grid, then pooling and the head, in one workspace per call.
//
// A convolution is, per output row o and grid point t, the sum over the
// input rows c and taps j of w[o][c][j] * x[c][t + d*j - p].  Each input
// row is copied once into a zero-padded row, so that every tap reads a
// plain shifted slice of it; the outputs are then computed in tiles of
// up to six rows by eight grid points, held in vector registers while the
// (c, j) terms are added.  Every output value starts from its bias and
// takes its terms with c, then j, ascending -- the order of the
// layer-by-layer form -- so both give the same bits.  What the tiles add
// beyond that form, padding times weight and input times zero weight, is a
// signed zero as long as all values are finite; a tile that meets a
// non-finite value leaves a non-finite output, and the layer is then
// recomputed term by term, where zero weights and padding are skipped.
//
// The tile loops are built twice, for the x86-64 baseline and for AVX2,
// and chosen at load time; multiply and add stay separate in both (no
// fused multiply-add), so both clones give the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "nn/guesser.h"
#include "nn/layer_kernels.h"

namespace kelvora::nn {

namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define KELVORA_NN_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELVORA_NN_CLONES
#endif

typedef double Lanes __attribute__((vector_size(32)));  // four doubles

constexpr std::size_t kTileRows = 6;
constexpr std::size_t kTilePoints = 8;  // two Lanes

struct Conv {
  const double* w;  // [C, cin, K]
  const double* bias;
  std::size_t cin;
  std::size_t dilation;
};

struct Norm {
  const double* w;
  const double* bias;
};

struct Block {
  Conv conv1;
  Norm norm1;
  Conv conv2;
  Norm norm2;
};

struct Linear {
  const double* w;  // [out, in]
  const double* bias;
  std::size_t in;
  std::size_t out;
};

// The tensors of "w.<layer>.weight" and "w.<layer>.bias", or nullopt when
// either is absent.
std::optional<std::pair<const Tensor*, const Tensor*>> find_layer(const Guesser& g, const std::string& layer) {
  auto w = g.tensor("w." + layer + ".weight");
  auto b = g.tensor("w." + layer + ".bias");
  if (!w || !b) return std::nullopt;
  return std::make_pair(*w, *b);
}

std::optional<Conv> find_conv(const Guesser& g, const std::string& layer, std::size_t cin, std::size_t dilation) {
  const auto t = find_layer(g, layer);
  if (!t) return std::nullopt;
  const std::size_t c = g.channels;
  // The counts are bounded by the blob, so an overflowing product cannot match.
  if (cin != 0 && g.kernel != 0 && c > std::numeric_limits<std::size_t>::max() / cin / g.kernel) return std::nullopt;
  if (t->first->values.size() != c * cin * g.kernel || t->second->values.size() != c) return std::nullopt;
  return Conv{t->first->values.data(), t->second->values.data(), cin, dilation};
}

std::optional<Norm> find_norm(const Guesser& g, const std::string& layer) {
  const auto t = find_layer(g, layer);
  if (!t || t->first->values.size() != g.channels || t->second->values.size() != g.channels) return std::nullopt;
  return Norm{t->first->values.data(), t->second->values.data()};
}

std::optional<Linear> find_linear(const Guesser& g, const std::string& layer, std::size_t in) {
  const auto t = find_layer(g, layer);
  if (!t) return std::nullopt;
  const Tensor& w = *t->first;
  if (w.dims.size() != 2 || w.dims[1] != in) return std::nullopt;
  const std::size_t out = w.dims[0];
  if (w.values.size() != static_cast<std::uint64_t>(out) * in || t->second->values.size() != out) return std::nullopt;
  return Linear{w.values.data(), t->second->values.data(), in, out};
}

// Rows [o0, o0 + R) of a convolution over grid points [0, len).  x points
// at the first value the first tap reads for t = 0, in rows of x_row
// values, zero beyond the data and readable up to a whole tile past len.
// False when any value computed is not finite.
template <std::size_t R>
[[gnu::always_inline]] inline bool conv_rows(const Conv& conv, std::size_t kernel, std::size_t o0,
                                             const double* x, std::size_t x_row, std::size_t len, double* out) {
  const std::size_t w_row = conv.cin * kernel;
  const double* w = conv.w + o0 * w_row;
  const std::size_t d = conv.dilation;
  Lanes check = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t t0 = 0; t0 < len; t0 += kTilePoints) {
    Lanes acc[R][2] = {};
    for (std::size_t r = 0; r < R; ++r) {
      const double b = conv.bias[o0 + r];
      acc[r][0] = Lanes{b, b, b, b};
      acc[r][1] = acc[r][0];
    }
    for (std::size_t c = 0; c < conv.cin; ++c) {
      const double* xc = x + c * x_row + t0;
      const double* wc = w + c * kernel;
      for (std::size_t j = 0; j < kernel; ++j) {
        Lanes lo, hi;
        std::memcpy(&lo, xc + j * d, sizeof lo);
        std::memcpy(&hi, xc + j * d + 4, sizeof hi);
        for (std::size_t r = 0; r < R; ++r) {
          const double wr = wc[r * w_row + j];
          acc[r][0] = acc[r][0] + lo * wr;
          acc[r][1] = acc[r][1] + hi * wr;
        }
      }
    }
    const std::size_t n = std::min(kTilePoints, len - t0);
    for (std::size_t r = 0; r < R; ++r) {
      check = check + acc[r][0] * 0.0 + acc[r][1] * 0.0;  // NaN once any lane is not finite
      double* dst = out + (o0 + r) * len + t0;
      if (n == kTilePoints) {
        std::memcpy(dst, &acc[r][0], sizeof(Lanes));
        std::memcpy(dst + 4, &acc[r][1], sizeof(Lanes));
      } else {
        double tile[kTilePoints];
        std::memcpy(tile, &acc[r][0], sizeof(Lanes));
        std::memcpy(tile + 4, &acc[r][1], sizeof(Lanes));
        std::copy_n(tile, n, dst);
      }
    }
  }
  return check[0] == check[0] && check[1] == check[1] && check[2] == check[2] && check[3] == check[3];
}

KELVORA_NN_CLONES bool conv_tiles(const Conv& conv, std::size_t channels, std::size_t kernel, const double* x,
                                  std::size_t x_row, std::size_t len, double* out) {
  bool finite = true;
  std::size_t o = 0;
  for (; o + kTileRows <= channels; o += kTileRows) finite &= conv_rows<kTileRows>(conv, kernel, o, x, x_row, len, out);
  switch (channels - o) {
    case 5: finite &= conv_rows<5>(conv, kernel, o, x, x_row, len, out); break;
    case 4: finite &= conv_rows<4>(conv, kernel, o, x, x_row, len, out); break;
    case 3: finite &= conv_rows<3>(conv, kernel, o, x, x_row, len, out); break;
    case 2: finite &= conv_rows<2>(conv, kernel, o, x, x_row, len, out); break;
    case 1: finite &= conv_rows<1>(conv, kernel, o, x, x_row, len, out); break;
    default: break;
  }
  return finite;
}

// out[o] = bias[o] + sum_i w[o][i] * in[i], each sum with i ascending; eight
// rows at a time, so that their sums advance side by side.
KELVORA_NN_CLONES void linear_rows(const Linear& layer, const double* in, double* out) {
  constexpr std::size_t kRows = 8;
  const std::size_t n = layer.in;
  std::size_t o = 0;
  for (; o + kRows <= layer.out; o += kRows) {
    double sum[kRows] = {};
    const double* w = layer.w + o * n;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t r = 0; r < kRows; ++r) sum[r] += w[r * n + i] * in[i];
    for (std::size_t r = 0; r < kRows; ++r) out[o + r] = layer.bias[o + r] + sum[r];
  }
  for (; o < layer.out; ++o) {
    double sum = 0.0;
    const double* w = layer.w + o * n;
    for (std::size_t i = 0; i < n; ++i) sum += w[i] * in[i];
    out[o] = layer.bias[o] + sum;
  }
}

void apply_gelu(double* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) v[i] = gelu(v[i]);
}

// f64 max semantics: a NaN operand is ignored.
double max_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

// The padded input rows of every convolution: row c of the activations at
// offset `lead`, zeros around it.
struct PaddedRows {
  double* data;
  std::size_t row;   // values per padded row
  std::size_t lead;  // zeros before the data

  void fill(const double* values, std::size_t rows, std::size_t len) const {
    for (std::size_t c = 0; c < rows; ++c) std::copy_n(values + c * len, len, data + c * row + lead);
  }
};

// One convolution of the rows held in `padded` into out (C rows of len):
// tiles, or term by term when a tile met a non-finite value.
void convolve(const Guesser& g, const Conv& conv, const PaddedRows& padded, double* out) {
  const std::size_t len = g.n_grid;
  const std::size_t left = conv.dilation * (g.kernel - 1) / 2;
  if (!conv_tiles(conv, g.channels, g.kernel, padded.data + (padded.lead - left), padded.row, len, out)) {
    conv1d_terms(padded.data + padded.lead, padded.row, conv.cin, conv.w, conv.bias, g.channels, len, g.kernel,
                 conv.dilation, out);
  }
}

}  // namespace

std::optional<std::vector<double>> blocked_head_outputs(const Guesser& g, const Features& f) {
  const std::size_t len = g.n_grid;
  const std::size_t channels = g.channels;
  const std::size_t kernel = g.kernel;
  if (len == 0 || channels == 0 || kernel == 0 || g.groups == 0 || f.map.size() != 3 * len) return std::nullopt;

  // Resolve every layer first: the workspace is then allocated once.
  const auto stem = find_conv(g, "stem", 3, 1);
  if (!stem) return std::nullopt;
  std::vector<Block> blocks;
  blocks.reserve(g.dilations.size());
  std::size_t span = kernel - 1;  // largest d * (K - 1)
  for (std::size_t i = 0; i < g.dilations.size(); ++i) {
    const std::size_t d = g.dilations[i];
    // A reach beyond the grid only reads padding; such geometries are left
    // to the layer-by-layer pass rather than padded without bound.
    if (d != 0 && kernel - 1 > 2 * len / d) return std::nullopt;
    span = std::max(span, d * (kernel - 1));
    const std::string block = "blocks." + std::to_string(i) + ".";
    const auto conv1 = find_conv(g, block + "conv1", channels, d);
    const auto norm1 = find_norm(g, block + "norm1");
    const auto conv2 = find_conv(g, block + "conv2", channels, d);
    const auto norm2 = find_norm(g, block + "norm2");
    if (!conv1 || !norm1 || !conv2 || !norm2) return std::nullopt;
    blocks.push_back({*conv1, *norm1, *conv2, *norm2});
  }
  const auto head0 = find_linear(g, "head.0", 2 * channels + 2);
  if (!head0) return std::nullopt;
  const auto head2 = find_linear(g, "head.2", head0->out);
  if (!head2) return std::nullopt;
  const auto head4 = find_linear(g, "head.4", head2->out);
  if (!head4) return std::nullopt;

  // Workspace: h and t (C x L each), the padded rows, pooled values and the
  // two hidden head layers.  A padded row holds the data, span / 2 + 1
  // zeros before it and enough zeros after it for the last tile.
  const std::size_t rows = std::max<std::size_t>(3, channels);
  const std::size_t lead = span / 2 + 1;
  const std::size_t tiles_len = (len + kTilePoints - 1) / kTilePoints * kTilePoints;
  const std::size_t row = lead + tiles_len + span + 1;
  const std::size_t activations = channels * len;
  std::vector<double> work(2 * activations + rows * row + (2 * channels + 2) + head0->out + head2->out, 0.0);
  double* h = work.data();
  double* t = h + activations;
  const PaddedRows padded{t + activations, row, lead};
  double* pooled = padded.data + rows * row;
  double* z0 = pooled + 2 * channels + 2;
  double* z1 = z0 + head0->out;

  // Trunk: stem, then residual blocks h <- GELU(h + norm(conv(GELU(norm(conv(h)))))).
  padded.fill(f.map.data(), 3, len);
  convolve(g, *stem, padded, h);
  for (const Block& b : blocks) {
    padded.fill(h, channels, len);
    convolve(g, b.conv1, padded, t);
    normalize_groups(t, channels, len, g.groups, b.norm1.w, b.norm1.bias);
    apply_gelu(t, activations);
    padded.fill(t, channels, len);
    convolve(g, b.conv2, padded, t);
    normalize_groups(t, channels, len, g.groups, b.norm2.w, b.norm2.bias);
    for (std::size_t k = 0; k < activations; ++k) h[k] += t[k];
    apply_gelu(h, activations);
  }

  // Global pooling: per-channel mean, per-channel max, then the two global features.
  for (std::size_t c = 0; c < channels; ++c) {
    double sum = 0.0;
    double max = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < len; ++k) {
      const double v = h[c * len + k];
      sum += v;
      max = max_ignoring_nan(max, v);
    }
    pooled[c] = sum / static_cast<double>(len);
    pooled[channels + c] = max;
  }
  pooled[2 * channels] = f.s0;
  pooled[2 * channels + 1] = f.s1;

  linear_rows(*head0, pooled, z0);
  apply_gelu(z0, head0->out);
  linear_rows(*head2, z0, z1);
  apply_gelu(z1, head2->out);
  std::vector<double> y(head4->out);
  linear_rows(*head4, z1, y.data());
  return y;
}

}  // namespace kelvora::nn
