#pragma once
// The Python FitResult class: a read-only view of a FitOutcome.
#include <Python.h>

#include <string>

#include "circuit/constraints.h"
#include "fit/fit_outcome.h"
#include "python/spectrum.h"

namespace kelvora::py {

// What a FitResult holds: the outcome and what the fit was asked to keep.
struct FitRecord {
  kelvora::FitOutcome outcome;
  kelvora::ParamConstraints constraints;  // of the fitted circuit, carried over from the one fitted
  std::string method;                     // the method's name
  kelvora::SeriesList initial;            // the start circuit: the guess or the given values
  bool initial_explicit = true;           // its explicit-values flag
  Spectrum spectrum;                      // the measured spectrum, for plot(); empty when read from a version-1 dict form
};

// A new FitResult owning `record`; nullptr with an exception set on failure.
// The type must have been created by create_fit_result_type.
PyObject* new_fit_result(FitRecord record);

}  // namespace kelvora::py
