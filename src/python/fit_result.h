#pragma once
// The Python FitResult class: a read-only view of a FitOutcome.
#include <Python.h>

#include "fit/fit_outcome.h"
#include "python/spectrum.h"

namespace kelvora::py {

// A new FitResult owning `outcome` and the measured `spectrum` it was fitted
// to (for plot()); nullptr with an exception set on failure.  The type must
// have been created by create_fit_result_type.
PyObject* new_fit_result(kelvora::FitOutcome outcome, Spectrum spectrum);

}  // namespace kelvora::py
