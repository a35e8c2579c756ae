// Circuit.impedance(frequencies): the circuit's stored values evaluated over
// a list of frequencies, returned as a complex128 NumPy array.
#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "circuit/evaluate.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy_bridge.h"
#include "python/pyref.h"
#include "python/spectrum.h"
#include "support/worker_pool.h"

namespace kelvora::py {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kParallelFrom = 1000;

void evaluate_range(const ImpedancePlan& plan, std::span<const double> f, Complex* out, std::size_t begin,
                    std::size_t end) {
  ImpedanceEvaluator eval(plan, plan.stored_values());
  double omega[ImpedanceEvaluator::kBlock];
  for (std::size_t i = begin; i < end; i += ImpedanceEvaluator::kBlock) {
    const std::size_t m = std::min(ImpedanceEvaluator::kBlock, end - i);
    for (std::size_t j = 0; j < m; ++j) omega[j] = kTwoPi * f[i + j];
    eval.evaluate(std::span<const double>(omega, m), out + i);
  }
}

}  // namespace

PyObject* circuit_impedance(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frequencies", nullptr};
  PyObject* obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:impedance", const_cast<char**>(kwlist), &obj)) return nullptr;

  // The frequencies are copied (a float64 array by one memcpy) while the
  // lock is held: another thread may write to the caller's array while the
  // evaluation runs without it.
  std::vector<double> list;
  std::span<const double> freqs;
  if (to_double_list(obj, list)) {
    freqs = list;
  } else {
    // Not a sequence of numbers: perhaps a dataframe.  An interrupt, exit or
    // MemoryError met while reading it as a sequence propagates.
    if (!clear_ordinary_error()) return nullptr;
    std::optional<std::vector<double>> column;
    if (!read_column(obj, "Frequency / Hz", "frequency_hertz", column)) return nullptr;
    if (!column)
      return raise_value_error(
          "expected a sequence of frequencies, or a dataframe with a \"Frequency / Hz\" or \"frequency_hertz\" column");
    list = std::move(*column);
    freqs = list;
  }

  const ImpedancePlan plan(circuit_nodes(self));
  Complex* out = nullptr;
  PyRef result(new_complex_array(freqs.size(), &out));
  if (!result) return nullptr;
  {
    ReleaseGil nogil;
    const std::size_t n = freqs.size();
    if (n < kParallelFrom) {
      evaluate_range(plan, freqs, out, 0, n);
    } else {
      const std::size_t grain = std::max<std::size_t>(256, n / 64);
      parallel_for(n, grain, [&](std::size_t b, std::size_t e) { evaluate_range(plan, freqs, out, b, e); });
    }
  }
  return result.release();
}

}  // namespace kelvora::py
