// Circuit.residuals and Circuit.jacobian: the weighted residual vector and
// its central-difference Jacobian for any parameter vector, so an outside
// optimiser can drive the circuit's mathematics directly.
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.h"
#include "fit/angular_frequency.h"
#include "fit/evaluation_counter.h"
#include "fit/jacobian.h"
#include "fit/residuals.h"
#include "fit/weighting.h"
#include "python/fit_arguments.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/py_lists.h"
#include "python/pyref.h"
#include "python/spectrum.h"

namespace kelvora::py {
namespace {

// The arguments both methods share, converted and checked in their order:
// params, weight, the spectrum, then the weight scheme.
struct ResidualInputs {
  std::vector<double> params;
  std::vector<double> omega;
  std::vector<Complex> impedances;
  std::vector<double> weights;
};

bool read_inputs(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, bool empty_params_allowed,
                 ResidualInputs& in) {
  static const char* kwlist[] = {"params", "frequencies", "impedances", "weight", nullptr};
  PyObject* params = nullptr;
  PyObject* frequencies = nullptr;
  PyObject* impedances = Py_None;
  PyObject* weight_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &params, &frequencies,
                                   &impedances, &weight_obj))
    return false;
  if (!convert_double_list(params, "params", in.params)) return false;
  std::string weight = "modulus";
  if (weight_obj && !convert_str(weight_obj, "weight", weight)) return false;

  Spectrum spectrum;
  if (!read_spectrum(frequencies, impedances == Py_None ? nullptr : impedances, spectrum)) return false;
  const auto weighting = parse_weighting(weight);
  if (!weighting) {
    raise_value_error(weighting.error().message());
    return false;
  }
  // Too few values is the caller's mistake, not a broken invariant: a
  // ValueError.  Entries past the parameter count are ignored; an empty
  // vector gives an empty Jacobian, and an empty spectrum an empty list.
  const std::size_t n = kelvora::param_count(circuit_nodes(self));
  if (!spectrum.frequencies.empty() && in.params.size() < n && !(empty_params_allowed && in.params.empty())) {
    raise_value_error("expected " + std::to_string(n) + " parameter values, got " + std::to_string(in.params.size()));
    return false;
  }
  in.omega = angular_frequencies(spectrum.frequencies);
  in.weights = compute_weights(spectrum.impedances, *weighting);
  in.impedances = std::move(spectrum.impedances);
  return true;
}


}  // namespace

PyObject* circuit_residuals(PyObject* self, PyObject* args, PyObject* kwargs) {
  ResidualInputs in;
  if (!read_inputs(self, args, kwargs, "OO|OO:residuals", false, in)) return nullptr;
  std::optional<Expected<std::vector<double>, InternalError>> r;
  {
    ReleaseGil unlocked;
    EvaluationCounter counter{0};
    r.emplace(residuals(circuit_nodes(self), in.params, in.omega, in.impedances, in.weights, counter));
  }
  if (!*r) return raise_internal_error(r->error().message);
  return float_list(r->value());
}

PyObject* circuit_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
  ResidualInputs in;
  if (!read_inputs(self, args, kwargs, "OO|OO:jacobian", true, in)) return nullptr;
  std::optional<Expected<std::vector<std::vector<double>>, InternalError>> columns;
  {
    ReleaseGil unlocked;
    EvaluationCounter counter{0};
    columns.emplace(jacobian_columns(circuit_nodes(self), in.params, in.omega, in.impedances, in.weights, counter));
  }
  if (!*columns) return raise_internal_error(columns->error().message);
  const auto& cols = columns->value();
  if (cols.empty()) return PyList_New(0);

  // Rows first: row j is [column_0[j], ..., column_{p-1}[j]].
  const std::size_t rows = cols.front().size();
  PyRef out(PyList_New(static_cast<Py_ssize_t>(rows)));
  if (!out) return nullptr;
  for (std::size_t j = 0; j < rows; ++j) {
    PyRef row(PyList_New(static_cast<Py_ssize_t>(cols.size())));
    if (!row) return nullptr;
    for (std::size_t k = 0; k < cols.size(); ++k) {
      PyObject* item = PyFloat_FromDouble(cols[k][j]);
      if (!item) return nullptr;
      PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), item);
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(j), row.release());
  }
  return out.release();
}

}  // namespace kelvora::py
