// The blocked trunk against the layer-by-layer one: the same bits on random
// networks of many shapes, with zero, infinite and NaN weights and
// non-finite feature maps, and the same error for a broken network.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "nn/guesser.h"

using namespace kelvora;

namespace {

using test::check;

struct Shape {
  std::size_t channels, grid, kernel, groups;
  std::vector<std::size_t> dilations;
  std::size_t params;
};

nn::Tensor tensor(std::vector<std::uint32_t> dims, std::mt19937_64& rng, double scale, double zero_share) {
  std::size_t n = 1;
  for (auto d : dims) n *= d;
  nn::Tensor t{std::move(dims), std::vector<double>(n)};
  std::normal_distribution<double> normal(0.0, scale);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (double& v : t.values) v = u(rng) < zero_share ? 0.0 : normal(rng);
  return t;
}

nn::Guesser network(const Shape& s, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  nn::Guesser g;
  g.n_grid = s.grid;
  g.channels = s.channels;
  g.kernel = s.kernel;
  g.groups = s.groups;
  g.dilations = s.dilations;
  g.alpha_min = 0.05;
  g.alpha_max = 1.0;
  const auto c = static_cast<std::uint32_t>(s.channels);
  const auto k = static_cast<std::uint32_t>(s.kernel);
  const double conv_scale = 1.0 / std::sqrt(static_cast<double>(s.channels * s.kernel));
  auto add = [&](const std::string& name, std::vector<std::uint32_t> dims, double scale, double zeros = 0.0) {
    g.tensors["w." + name] = tensor(std::move(dims), rng, scale, zeros);
  };
  add("stem.weight", {c, 3, k}, 0.5, 0.2);
  add("stem.bias", {c}, 0.1);
  for (std::size_t i = 0; i < s.dilations.size(); ++i) {
    const std::string b = "blocks." + std::to_string(i) + ".";
    for (const char* conv : {"conv1", "conv2"}) {
      add(b + conv + ".weight", {c, c, k}, conv_scale, 0.1);
      add(b + conv + ".bias", {c}, 0.1);
    }
    for (const char* norm : {"norm1", "norm2"}) {
      add(b + norm + ".weight", {c}, 1.0);
      add(b + norm + ".bias", {c}, 0.1);
    }
  }
  const auto hidden = 4 * c;
  add("head.0.weight", {hidden, 2 * c + 2}, 0.2);
  add("head.0.bias", {hidden}, 0.1);
  add("head.2.weight", {hidden, hidden}, 0.1);
  add("head.2.bias", {hidden}, 0.1);
  add("head.4.weight", {static_cast<std::uint32_t>(2 * s.params), hidden}, 0.1);
  add("head.4.bias", {static_cast<std::uint32_t>(2 * s.params)}, 0.1);
  for (std::size_t i = 0; i < s.params; ++i) {
    g.param_names.push_back(std::string("p").append(std::to_string(i)));
    g.target_mean.push_back(0.1 * static_cast<double>(i));
    g.target_std.push_back(0.5);
    g.log_params.push_back(i % 3 != 2);
    g.scaling.push_back(nn::Scaling{1.0, -1.0, 0.0, -1});
  }
  return g;
}

nn::Features features(std::size_t grid, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  nn::Features f;
  f.r_s = 20.0;
  f.omega_c = 300.0;
  f.map.resize(3 * grid);
  for (double& v : f.map) v = normal(rng);
  f.s0 = 0.8;
  f.s1 = 0.9;
  return f;
}

// Equal bits, every NaN counting as equal to every NaN and +0 to -0.
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (a[i] == 0.0 && b[i] == 0.0) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
  }
  return true;
}

void compare(const nn::Guesser& g, const nn::Features& f, const std::string& what) {
  const auto layers = g.forward(f, nn::TrunkKernel::layers);
  const auto blocked = g.forward(f, nn::TrunkKernel::blocked);
  check(layers.has_value() && blocked.has_value(), what + ": both passes run");
  if (layers && blocked) check(same(*layers, *blocked), what + ": same bits");
}

}  // namespace

int main() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Shape> shapes = {
      {64, 64, 5, 8, {1, 2, 4, 8}, 9},  // the shipped shapes
      {32, 64, 5, 8, {1, 2, 4, 8}, 5},
      {16, 64, 5, 8, {1, 2, 4, 8}, 3},
      {7, 13, 3, 3, {1, 5}, 4},         // rows and points that fill no whole tile; C not a multiple of G
      {1, 1, 1, 1, {1}, 1},
      {2, 9, 4, 4, {3, 0}, 2},          // even kernel, dilation 0, more groups than channels
      {11, 30, 5, 1, {16}, 2},          // a reach close to the grid length
      {5, 6, 5, 1, {40}, 2},            // a reach far past it: left to the layer pass
  };
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    const Shape& s = shapes[i];
    const std::string name = "shape " + std::to_string(i);
    const nn::Guesser g = network(s, 100 + i);
    for (std::uint64_t seed = 0; seed < 3; ++seed) compare(g, features(s.grid, seed), name);

    // A non-finite feature value: padding and zero weights must not turn it
    // into NaN where the layer pass skips them.
    for (double bad : {inf, -inf, nan}) {
      nn::Features f = features(s.grid, 7);
      f.map[s.grid / 2] = bad;
      compare(g, f, name + " non-finite feature");
      f.map[0] = bad;
      compare(g, f, name + " non-finite first feature");
    }
    // Non-finite weights, reaching only some grid points through the padding.
    for (double bad : {inf, nan}) {
      nn::Guesser h = g;
      h.tensors["w.stem.weight"].values[0] = bad;
      compare(h, features(s.grid, 3), name + " non-finite stem weight");
      nn::Guesser k = g;
      auto& w = k.tensors["w.blocks.0.conv2.weight"].values;
      w[w.size() - 1] = bad;
      compare(k, features(s.grid, 4), name + " non-finite block weight");
    }
    // Large inputs overflow in some sums.
    nn::Features big = features(s.grid, 5);
    for (double& v : big.map) v *= 1e306;
    compare(g, big, name + " overflow");
  }

  // Any non-finite value that enters the trunk spreads to every output, so
  // the cases above compare NaN with NaN.  Two that the layer pass keeps
  // finite: a NaN feature row that meets only zero weights, and a NaN
  // weight whose tap reads only padding (K = 5 over 2 grid points).
  {
    const Shape s{4, 16, 5, 2, {1, 2}, 3};
    nn::Guesser g = network(s, 11);
    auto& stem = g.tensors["w.stem.weight"].values;
    for (std::size_t o = 0; o < s.channels; ++o)
      for (std::size_t j = 0; j < s.kernel; ++j) stem[(o * 3 + 1) * s.kernel + j] = 0.0;
    nn::Features f = features(s.grid, 2);
    f.map[s.grid + 3] = nan;
    const auto out = g.forward(f, nn::TrunkKernel::layers);
    check(out && std::isfinite((*out)[0]), "a NaN met only by zero weights leaves the outputs finite");
    compare(g, f, "NaN feature behind zero weights");
  }
  {
    const Shape s{3, 2, 5, 3, {1}, 2};
    nn::Guesser g = network(s, 12);
    g.tensors["w.stem.weight"].values[0] = nan;  // o = 0, c = 0, j = 0: shift -2
    const auto f = features(s.grid, 3);
    const auto out = g.forward(f, nn::TrunkKernel::layers);
    check(out && std::isfinite((*out)[0]), "a NaN weight on padding only leaves the outputs finite");
    compare(g, f, "NaN weight on padding");
  }

  // A broken network gives the layer pass's error in either mode.
  {
    nn::Guesser g = network(shapes[3], 1);
    g.tensors.erase("w.blocks.1.norm1.bias");
    const auto f = features(shapes[3].grid, 0);
    const auto a = g.forward(f, nn::TrunkKernel::layers);
    const auto b = g.forward(f, nn::TrunkKernel::blocked);
    check(!a && !b && a.error().message() == b.error().message(), "missing tensor: same error");
    g = network(shapes[3], 1);
    g.tensors["w.blocks.0.conv1.weight"].values.pop_back();
    const auto c = g.forward(f, nn::TrunkKernel::layers);
    const auto d = g.forward(f, nn::TrunkKernel::blocked);
    check(!c && !d && c.error().message() == d.error().message(), "short weight: same error");
  }
  return test::finish();
}
