#pragma once
// The parts of Circuit.fit that fit_many shares: the converted options, the
// guess decision and the way a failed fit is raised.
#include <Python.h>

#include <optional>
#include <string>

#include "circuit/node.h"
#include "fit/fit_error.h"
#include "fit/fit_settings.h"
#include "models/guess_params.h"

namespace kelvora::py {

// The arguments of fit() after conversion; every member is set from the
// parameter table (fit_parameters.def), its default or the caller's value.
struct FitArguments {
  PyObject* impedances;  // borrowed; null when absent or None
  std::optional<bool> guess_init;
  std::optional<std::string> weights_path;
  std::string weight;
  std::string method;
  FitSettings settings;
};

// Fills in the defaults, then converts the arguments given (obj[i] is the
// object bound to parameter i of the table, null when absent) in table
// order, then checks the Levenberg-Marquardt tolerances.  `frequencies` is
// not read.  false with an exception set.
bool convert_fit_arguments(PyObject* const* obj, FitArguments& a);

// Whether a fit of the circuit `nodes` starts from a guess.  When the
// decision is left to the fit and no network serves the topology, issues the
// no-model UserWarning and answers no.  false with an exception set (the
// warning turned into an error).
bool decide_guess(const kelvora::SeriesList& nodes, bool explicit_values, const FitArguments& a, bool& guess);

// Sets the exception fit() raises for a failure: ValueError with the text, or
// the module's internal-error exception.  Return nullptr.
PyObject* raise_fit_failure(const kelvora::FitFailure& failure);
PyObject* raise_guess_failure(const kelvora::GuessFailure& failure);

}  // namespace kelvora::py
