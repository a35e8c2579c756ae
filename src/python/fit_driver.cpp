// Circuit.fit(): bind, convert and check its arguments (fit_parameters.def), read the
// spectrum and the weight scheme, decide on a machine-learning starting point, then
// run the chosen method with the interpreter lock released and return a
// FitResult.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "circuit/evaluate.h"
#include "circuit/tree.h"
#include "fit/cancellation.h"
#include "fit/fit_method.h"
#include "fit/fit_settings.h"
#include "fit/minpack/lm_settings.h"
#include "fit/weighting.h"
#include "models/guess_params.h"
#include "models/registry.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
#include "python/fit_driver.h"
#include "python/fit_result.h"
#include "python/fit_signature.h"
#include "python/gil.h"
#include "python/pyref.h"
#include "python/spectrum.h"

namespace kelvora::py {
namespace {

// The defaults of the table: None leaves an optional empty (an object null).
struct NoneDefault {};
constexpr NoneDefault None;

template <class T, class V>
void set_default(T& member, const V& value) {
  member = static_cast<T>(value);
}
template <class T>
void set_default(std::optional<T>& member, NoneDefault) {
  member.reset();
}
void set_default(PyObject*& member, NoneDefault) { member = nullptr; }

// The conversions the table names, beside those of fit_arguments.h.
bool convert_object(PyObject* obj, const char*, PyObject*& out) {
  out = obj == Py_None ? nullptr : obj;
  return true;
}

// A file name: a str, passed on as the bytes the operating system knows it by.
bool convert_optional_path(PyObject* obj, const char* name, std::optional<std::string>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    std::string unused;
    return convert_str(obj, name, unused);  // its TypeError
  }
  std::string bytes;
  if (!path_bytes(obj, bytes)) return false;
  out = std::move(bytes);
  return true;
}

bool convert_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::uint64_t value = 0;
  if (!convert_u64(obj, name, value)) return false;
  out = value;
  return true;
}

// Fills in the defaults, then converts the arguments given in table order.
bool convert_arguments(PyObject* const* obj, FitArguments& a) {
#define KELVORA_FIT_REQUIRED(name)
#define KELVORA_FIT_PARAMETER(name, default_value, conversion, destination) set_default(a.destination, default_value);
#include "python/fit_parameters.def"
#undef KELVORA_FIT_PARAMETER
#define KELVORA_FIT_PARAMETER(name, default_value, conversion, destination) \
  if (obj[kFit_##name] && !convert_##conversion(obj[kFit_##name], #name, a.destination)) return false;
#include "python/fit_parameters.def"
#undef KELVORA_FIT_PARAMETER
#undef KELVORA_FIT_REQUIRED
  return true;
}

// Binds the arguments by the interpreter's rules, one object per parameter.
template <std::size_t... I>
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject** obj, std::index_sequence<I...>) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, kFitFormat.data(), const_cast<char**>(kFitKeywords.data()),
                                     &obj[I]...) != 0;
}


// The Levenberg-Marquardt tolerances, checked with the arguments before any
// work is done: a value with its sign bit set (negative, -0.0) or NaN is
// refused with ValueError "ftol must be >= 0" / "xtol must be >= 0", ftol
// first (LmSettings::validate).  Levenberg-Marquardt and multi-start (whose
// full local fits take them) read them; the other methods do not.  false
// with the exception set.
bool check_tolerances(const FitArguments& a) {
  if (a.method != "levenberg_marquardt" && a.method != "multi_start") return true;
  LmSettings lm;
  lm.ftol = a.settings.ftol;
  lm.xtol = a.settings.xtol;
  if (const auto error = lm.validate()) {
    raise_value_error(error->message);
    return false;
  }
  return true;
}

constexpr const char* kNoModelWarning =
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence this. "
    "Models available for ";

}  // namespace

bool convert_fit_arguments(PyObject* const* obj, FitArguments& a) {
  return convert_arguments(obj, a) && check_tolerances(a);
}

bool decide_guess(const SeriesList& nodes, bool explicit_values, const FitArguments& a, bool& guess) {
  guess = a.guess_init ? *a.guess_init : (a.weights_path.has_value() || !explicit_values);
  if (!guess || a.weights_path || a.guess_init.value_or(false) || models::find_for_topology(nodes)) return true;
  // Left unset and nothing to guess with: warn and use the circuit's own values.
  guess = false;
  const std::string text = kNoModelWarning + models::quoted_names();
  return PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) == 0;
}

PyObject* raise_fit_failure(const FitFailure& failure) {
  if (const auto* error = std::get_if<FitError>(&failure)) return raise_value_error(error->message());
  return raise_internal_error(std::get<InternalError>(failure).message);
}

PyObject* raise_guess_failure(const GuessFailure& failure) {
  if (const auto* text = std::get_if<std::string>(&failure)) return raise_value_error(*text);
  return raise_internal_error(std::get<InternalError>(failure).message);
}

PyObject* circuit_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* obj[kFitParameterCount] = {};
  if (!bind_arguments(args, kwargs, obj, std::make_index_sequence<kFitParameterCount>())) return nullptr;

  FitArguments a;
  if (!convert_fit_arguments(obj, a)) return nullptr;

  Spectrum spectrum;
  if (!read_spectrum(obj[kFit_frequencies], a.impedances, spectrum)) return nullptr;
  const auto weighting = parse_weighting(a.weight);
  if (!weighting) return raise_value_error(weighting.error().message());

  // The start circuit: a copy of the circuit, with guessed values written in
  // when the guess decision says so.
  const ParamConstraints& constraints = circuit_constraints(self);
  bool guessed = false;
  if (!decide_guess(circuit_nodes(self), circuit_explicit(self), a, guessed)) return nullptr;
  SeriesList start;
  if (guessed) {
    auto guessed_nodes =
        guessed_start(circuit_nodes(self), constraints, spectrum.frequencies, spectrum.impedances, a.weights_path);
    if (!guessed_nodes) return raise_guess_failure(guessed_nodes.error());
    start = std::move(*guessed_nodes);
  } else {
    start = circuit_nodes(self);
  }

  // The run touches no Python object; failures come back as values.  A C++
  // exception leaves through the scopes below, which take the interpreter
  // lock back, and is raised by the module's boundary (guard.h).
  std::optional<FitExpected> result;
  // A Ctrl-C during the run is noticed by polling the interpreter's
  // signal handlers from the fitting thread every 50 ms.
  PyRef signal_type, signal_value, signal_tb;
  Cancellation cancellation([&] {
    const PyGILState_STATE gil = ensure_gil();
    const bool stop = PyErr_CheckSignals() < 0;
    if (stop) {
      PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
      PyErr_Fetch(&type, &value, &tb);
      signal_type = PyRef(type);
      signal_value = PyRef(value);
      signal_tb = PyRef(tb);
    }
    PyGILState_Release(gil);
    return stop;
  });
  {
    ReleaseGil unlocked;
    CancellationScope scope(cancellation);
    try {
      result.emplace(run_fit_method(
          a.method, FitInputs{start, spectrum.frequencies, spectrum.impedances, *weighting, &constraints}, a.settings));
    } catch (const FitCancelled&) {
      // the signal's exception is raised below
    }
  }
  if (cancellation.cancelled()) {
    // e.g. KeyboardInterrupt
    PyErr_Restore(signal_type.release(), signal_value.release(), signal_tb.release());
    return nullptr;
  }
  if (!*result) return raise_fit_failure(result->error());
  // The start circuit: the receiver's, or its tree with the guessed values (given explicitly).
  const bool start_explicit = circuit_explicit(self) || guessed;
  return new_fit_result(
      FitRecord{std::move(result->value()), constraints, a.method, std::move(start), start_explicit, std::move(spectrum)});
}

}  // namespace kelvora::py
