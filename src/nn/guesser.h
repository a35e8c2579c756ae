#pragma once
// A loaded initial-guess network and its forward pass.
//
// The network maps a measured spectrum to one estimate per parameter of the
// circuit it was trained on:
//
//   1. features: an impedance scale R_s and a characteristic angular
//      frequency omega_c (the "reactive_centroid" estimator), and the
//      spectrum resampled onto n_grid log-spaced frequencies as three rows
//      (log10|Z| - log10 R_s, unwrapped phase / (pi/2), log-frequency
//      relative to omega_c);
//   2. a 1-D convolutional trunk: a stem convolution, then one residual
//      block per dilation (conv, group norm, GELU, conv, group norm, add,
//      GELU), global mean and max pooling, and a three-layer head;
//   3. decoding: undo the training normalisation of the outputs, clamp the
//      exponents and restore physical units from R_s and omega_c (Scaling).
//
// Everything runs in double precision on the calling thread.  The trunk
// runs as blocked matrix products over the grid in one workspace per call
// (trunk.cpp); the layer-by-layer form below computes the same sums in the
// same order and stays as the fallback for non-finite values and as the
// yardstick of the benchmarks.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nn/nn_error.h"
#include "nn/scaling.h"
#include "nn/tensor.h"
#include "support/complex.h"
#include "support/expected.h"

namespace kelvora::nn {

// The network input derived from one spectrum.
struct Features {
  double r_s = 0.0;          // impedance scale, ohm
  double omega_c = 0.0;      // characteristic angular frequency, rad/s
  std::vector<double> map;   // 3 rows of n_grid values, row-major
  double s0 = 0.0;           // (log10 f_max - log10 f_min) / 8
  double s1 = 0.0;           // log10(number of frequencies) / 2
};

// Piecewise-linear interpolation over ascending xs (clamped at both ends).
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// GELU, tanh form: v/2 * (1 + tanh(sqrt(2/pi) * (v + 0.044715 v^3))).
double gelu(double v);

// How the convolutional trunk is computed: blocked matrix products over the
// grid, or one layer call after another with a new list per layer.  Both
// add the same terms in the same order.
enum class TrunkKernel { blocked, layers };

struct Guesser {
  std::map<std::string, Tensor, std::less<>> tensors;
  std::string circuit;                  // expression the network was trained on
  std::vector<std::string> param_names; // output order, "R0.r", "CPE1.alpha", ...
  std::size_t n_grid = 0;               // L
  std::size_t channels = 0;             // C
  std::size_t kernel = 0;               // K
  std::size_t groups = 0;               // G
  std::vector<std::size_t> dilations;   // one residual block each
  double alpha_min = 0.0;
  double alpha_max = 0.0;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<Scaling> scaling;

  // Decodes and validates one weight blob.
  static Expected<Guesser, NnError> from_bytes(std::span<const std::uint8_t> bytes);

  Expected<const Tensor*, NnError> tensor(std::string_view name) const;

  // Requires at least two frequencies and two impedances (checked by the caller).
  Features features(std::span<const double> freqs, std::span<const Complex> z) const;

  // Layers; "w.<layer>.weight" and "w.<layer>.bias" are looked up by name.
  // conv1d: input holds cin rows of n_grid values.
  Expected<std::vector<double>, NnError> conv1d(std::span<const double> input, std::size_t cin,
                                                std::string_view layer, std::size_t dilation) const;
  // In place over channels rows of n_grid values; nothing on success.
  std::optional<NnError> group_norm(std::vector<double>& values, std::string_view layer) const;
  Expected<std::vector<double>, NnError> linear(std::span<const double> input, std::string_view layer) const;

  // The whole forward pass: one physical estimate per entry of param_names.
  Expected<std::vector<double>, NnError> predict(std::span<const double> freqs, std::span<const Complex> z) const;
  // The pass after feature extraction: trunk, pooling, head and decoding.
  Expected<std::vector<double>, NnError> forward(const Features& f, TrunkKernel trunk = TrunkKernel::blocked) const;
  // The head outputs before decoding, one layer call after another.
  Expected<std::vector<double>, NnError> layer_head_outputs(const Features& f) const;
  // Decoding of the head outputs into physical values (at least P outputs).
  Expected<std::vector<double>, NnError> decode(std::span<const double> y, const Features& f) const;
};

}  // namespace kelvora::nn
