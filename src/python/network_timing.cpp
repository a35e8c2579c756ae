// _forward(model, frequencies, impedances=None, kernel="blocked", repeat=1):
// the network outputs of one spectrum and how long the two stages take.
// Private to the benchmarks and tests: it times feature extraction and the
// rest of the pass (trunk, pooling, head, decoding) apart, on the calling
// thread with the interpreter lock held, and lets the layer-by-layer trunk
// be run beside the blocked one.
#include <algorithm>
#include <chrono>
#include <utility>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/registry.h"
#include "nn/guesser.h"
#include "python/errors.h"
#include "python/network_timing.h"
#include "python/py_lists.h"
#include "python/pyref.h"
#include "python/spectrum.h"

namespace kelvora::py {
namespace {

using Clock = std::chrono::steady_clock;

double median_seconds(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 == 1 ? samples[n / 2] : 0.5 * (samples[n / 2 - 1] + samples[n / 2]);
}

// A registry model name, else a weight-file path.  Either network lives as
// long as the process.
Expected<const nn::Guesser*, std::string> find_guesser(std::string_view model) {
  for (const models::Model& m : models::MODELS) {
    if (m.name != model) continue;
    return m.guesser();
  }
  return models::load_external(std::string(model));
}

}  // namespace

PyObject* forward_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"model", "frequencies", "impedances", "kernel", "repeat", nullptr};
  const char* model = nullptr;
  PyObject* frequencies = nullptr;
  PyObject* impedances = Py_None;
  const char* kernel_name = "blocked";
  Py_ssize_t repeat = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|Osn:_forward", const_cast<char**>(kwlist), &model,
                                   &frequencies, &impedances, &kernel_name, &repeat))
    return nullptr;
  const std::string_view kernel_text = kernel_name;
  if (kernel_text != "blocked" && kernel_text != "layers")
    return raise_value_error("kernel must be 'blocked' or 'layers'");
  const nn::TrunkKernel kernel = kernel_text == "layers" ? nn::TrunkKernel::layers : nn::TrunkKernel::blocked;
  if (repeat < 1) return raise_value_error("repeat must be >= 1");

  Spectrum spectrum;
  if (!read_spectrum(frequencies, impedances == Py_None ? nullptr : impedances, spectrum)) return nullptr;
  if (spectrum.frequencies.size() < 2) return raise_value_error("at least two points are needed");
  auto guesser = find_guesser(model);
  if (!guesser) return raise_value_error(guesser.error());
  const nn::Guesser& g = **guesser;

  std::vector<double> feature_times;
  std::vector<double> network_times;
  std::optional<nn::Features> features;
  std::vector<double> values;
  for (Py_ssize_t r = 0; r < repeat; ++r) {
    const auto t0 = Clock::now();
    features = g.features(spectrum.frequencies, spectrum.impedances);
    const auto t1 = Clock::now();
    auto out = g.forward(*features, kernel);
    const auto t2 = Clock::now();
    if (!out) return raise_value_error(out.error().message());
    values = std::move(*out);
    feature_times.push_back(std::chrono::duration<double>(t1 - t0).count());
    network_times.push_back(std::chrono::duration<double>(t2 - t1).count());
  }
  PyRef list(float_list(values));
  if (!list) return nullptr;
  return Py_BuildValue("(Odd)", list.get(), median_seconds(feature_times), median_seconds(network_times));
}

}  // namespace kelvora::py
