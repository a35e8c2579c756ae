// Circuit.fit(): bind and convert the nineteen arguments, read the spectrum
// and the weight scheme, decide on a machine-learning starting point, then
// run the chosen method with the interpreter lock released and return a
// FitResult.
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/tree.h"
#include "fit/cancellation.h"
#include "fit/fit_method.h"
#include "fit/fit_settings.h"
#include "fit/weighting.h"
#include "models/guess_params.h"
#include "models/registry.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
#include "python/fit_result.h"
#include "python/gil.h"
#include "python/pyref.h"
#include "python/spectrum.h"

namespace kelvora::py {
namespace {

// The arguments of fit() after conversion, defaults filled in.
struct FitArguments {
  std::optional<bool> guess_init;
  std::optional<std::string> weights_path;
  std::string weight = "modulus";
  std::string method = "levenberg_marquardt";
  FitSettings settings;
};

// Converts in the documented order: guess_init, weights, weight, method,
// then the numeric settings in parameter order.  An absent (null) object
// keeps its default.
bool convert_arguments(PyObject* const* obj, FitArguments& a) {
  // obj[i] is the object bound to parameter i + 2 (frequencies and
  // impedances are taken as they come).
  enum { kGuessInit, kWeights, kWeight, kMethod, kMaxIterations, kFtol, kXtol, kNumParticles, kGenerations,
         kNelderMead, kDeEvaluations, kSaIterations, kSaTemperature, kHops, kStepSize, kHopTemperature, kSeed };
  FitSettings& s = a.settings;
  if (obj[kGuessInit] && !convert_optional_bool(obj[kGuessInit], "guess_init", a.guess_init)) return false;
  if (obj[kWeights] && obj[kWeights] != Py_None) {
    std::string path;
    if (!convert_str(obj[kWeights], "weights", path)) return false;
    a.weights_path = std::move(path);
  }
  if (obj[kWeight] && !convert_str(obj[kWeight], "weight", a.weight)) return false;
  if (obj[kMethod] && !convert_str(obj[kMethod], "method", a.method)) return false;
  if (obj[kMaxIterations] && !convert_u32(obj[kMaxIterations], "max_iterations", s.max_iterations)) return false;
  if (obj[kFtol] && !convert_double(obj[kFtol], "ftol", s.ftol)) return false;
  if (obj[kXtol] && !convert_double(obj[kXtol], "xtol", s.xtol)) return false;
  if (obj[kNumParticles] && !convert_u32(obj[kNumParticles], "num_particles", s.num_particles)) return false;
  if (obj[kGenerations] && !convert_u64(obj[kGenerations], "generations", s.generations)) return false;
  if (obj[kNelderMead] && !convert_u64(obj[kNelderMead], "nelder_mead_iterations", s.nelder_mead_iterations))
    return false;
  if (obj[kDeEvaluations] && !convert_u32(obj[kDeEvaluations], "de_evaluations", s.de_evaluations)) return false;
  if (obj[kSaIterations] && !convert_u64(obj[kSaIterations], "sa_iterations", s.sa_iterations)) return false;
  if (obj[kSaTemperature] && !convert_double(obj[kSaTemperature], "sa_initial_temperature", s.sa_initial_temperature))
    return false;
  if (obj[kHops] && !convert_u32(obj[kHops], "basin_hopping_hops", s.basin_hopping_hops)) return false;
  if (obj[kStepSize] && !convert_double(obj[kStepSize], "basin_hopping_step_size", s.basin_hopping_step_size))
    return false;
  if (obj[kHopTemperature] &&
      !convert_double(obj[kHopTemperature], "basin_hopping_temperature", s.basin_hopping_temperature))
    return false;
  if (obj[kSeed] && obj[kSeed] != Py_None) {
    std::uint64_t seed = 0;
    if (!convert_u64(obj[kSeed], "seed", seed)) return false;
    s.seed = seed;
  }
  return true;
}

constexpr const char* kNoModelWarning =
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence this. "
    "Models available for ";

// The start circuit: a copy of the circuit, with guessed values written in
// when the guess decision says so.  false with an exception set.
bool choose_start(const SeriesList& nodes, bool explicit_values, const FitArguments& a, const Spectrum& spectrum,
                  SeriesList& start) {
  const bool guess = a.guess_init ? *a.guess_init : (a.weights_path.has_value() || !explicit_values);
  start = nodes;
  if (!guess) return true;
  if (!a.weights_path && !a.guess_init.value_or(false) && !models::find_for_topology(nodes)) {
    // Left unset and nothing to guess with: warn and use the circuit's own values.
    const std::string text = kNoModelWarning + models::quoted_names();
    return PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0;
  }
  auto values = guess_params(nodes, spectrum.frequencies, spectrum.impedances, a.weights_path);
  if (!values) {
    raise_value_error(values.error());
    return false;
  }
  if (values->size() < param_count(nodes)) {
    raise_internal_error(kNotEnoughValues);
    return false;
  }
  start = rebuild(nodes, *values);
  return true;
}

}  // namespace

PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frequencies", "impedances", "guess_init", "weights", "weight", "method",
                                 "max_iterations", "ftol", "xtol", "num_particles", "generations",
                                 "nelder_mead_iterations", "de_evaluations", "sa_iterations",
                                 "sa_initial_temperature", "basin_hopping_hops", "basin_hopping_step_size",
                                 "basin_hopping_temperature", "seed", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = nullptr;
  PyObject* o[17] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOOOOOOOOOOOO:fit", const_cast<char**>(kwlist),
                                   &frequencies, &impedances, &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6],
                                   &o[7], &o[8], &o[9], &o[10], &o[11], &o[12], &o[13], &o[14], &o[15], &o[16]))
    return nullptr;

  try {
    FitArguments a;
    if (!convert_arguments(o, a)) return nullptr;

    Spectrum spectrum;
    if (!read_spectrum(frequencies, impedances == Py_None ? nullptr : impedances, spectrum)) return nullptr;
    const auto weighting = parse_weighting(a.weight);
    if (!weighting) return raise_value_error(weighting.error().message());

    SeriesList start;
    if (!choose_start(circuit_nodes(self), circuit_explicit(self), a, spectrum, start)) return nullptr;

    // The run touches no Python object; failures come back as values.
    std::optional<FitExpected> result;
    bool out_of_memory = false;
    std::optional<std::string> crashed;
    // A Ctrl-C during the run is noticed by polling the interpreter's
    // signal handlers from the fitting thread every 50 ms.
    PyObject *signal_type = nullptr, *signal_value = nullptr, *signal_tb = nullptr;
    Cancellation cancellation([&] {
      const PyGILState_STATE gil = PyGILState_Ensure();
      const bool stop = PyErr_CheckSignals() < 0;
      if (stop) PyErr_Fetch(&signal_type, &signal_value, &signal_tb);
      PyGILState_Release(gil);
      return stop;
    });
    {
      ReleaseGil unlocked;
      CancellationScope scope(cancellation);
      try {
        result.emplace(run_fit_method(a.method, FitInputs{start, spectrum.frequencies, spectrum.impedances, *weighting},
                                      a.settings));
      } catch (const FitCancelled&) {
        // the signal's exception is raised below
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      } catch (const std::exception& e) {
        crashed = e.what();
      }
    }
    if (cancellation.cancelled()) {
      PyErr_Restore(signal_type, signal_value, signal_tb);  // e.g. KeyboardInterrupt
      return nullptr;
    }
    if (out_of_memory) return PyErr_NoMemory();
    if (crashed) return raise_internal_error(*crashed);
    if (!*result) {
      const FitFailure& failure = result->error();
      if (const auto* error = std::get_if<FitError>(&failure)) return raise_value_error(error->message());
      return raise_internal_error(std::get<InternalError>(failure).message);
    }
    return new_fit_result(std::move(result->value()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_error(e.what());
  }
}

}  // namespace kelvora::py
