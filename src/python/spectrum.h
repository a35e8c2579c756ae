#pragma once
// Reading measured spectra and number sequences from Python objects.
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "support/complex.h"

namespace kelvora::py {

struct Spectrum {
  std::vector<double> frequencies;             // hertz, input order
  std::vector<kelvora::Complex> impedances;    // ohms, same length
};

// Any sequence (not a str) of numbers to doubles.  TypeError "Can't extract
// `str` to `Vec`" for a str, "'{type}' object cannot be converted to
// 'Sequence'" for a non-sequence, the interpreter's own conversion error for
// a bad item.  A contiguous float64 buffer is read directly.  false with an
// exception set on failure.
bool to_double_list(PyObject* obj, std::vector<double>& out);
bool to_complex_list(PyObject* obj, std::vector<kelvora::Complex>& out);

// Looks a column up by its two names: nullopt (no exception) when absent;
// false with ValueError "column {name} is not numeric" when not numeric.
bool read_column(PyObject* frame, const char* first, const char* second, std::optional<std::vector<double>>& out);

// Whether `obj` has a numeric frequency column, that is, whether
// read_spectrum reads it as a dataframe of one spectrum.  false with an exception set when the
// lookup raised an interrupt, an exit or MemoryError.
bool has_frequency_column(PyObject* obj, bool& found);

// Two sequences, or a dataframe in `frequencies` when `impedances` is null
// or None.  false with an exception set on failure.
bool read_spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out);

// A new tuple (float64 array of frequencies, complex128 array of impedances).
PyObject* spectrum_arrays(const Spectrum& spectrum);

// _spectrum(frequencies, impedances=None): the spectrum as fit() reads it,
// as spectrum_arrays.  Private to the package's Python glue (kelvora.plot),
// so that dataframes are read by this one reader.
PyObject* spectrum_function(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kelvora::py
