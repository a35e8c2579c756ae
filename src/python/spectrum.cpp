#include "python/spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "python/errors.h"
#include "python/numpy_bridge.h"
#include "python/pyref.h"
#include "support/quote.h"

namespace kelvora::py {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

struct ColumnPair {
  const char* first;
  const char* second;
};
constexpr ColumnPair kFrequency{"Frequency / Hz", "frequency_hertz"};
constexpr ColumnPair kReal{"Real Impedance / ohm", "real_impedance_ohm"};
constexpr ColumnPair kImag{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
constexpr ColumnPair kModulus{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
constexpr ColumnPair kPhase{"Phase / deg", "phase_degree"};

std::string describe(ColumnPair pair) { return kelvora::quoted(pair.first) + " or " + kelvora::quoted(pair.second); }

// Checks the argument is a sequence other than str; false with TypeError.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", _PyType_Name(Py_TYPE(obj)));
    return false;
  }
  return true;
}

enum class BufferRead { done, not_this_form, failed };

// Reads a one-dimensional C-contiguous buffer whose items have `format`
// ("d" or "Zd") into out.  not_this_form (no exception) when obj is not such
// a buffer; failed with an exception set when asking for the buffer raised
// something other than an ordinary error.
template <class T>
BufferRead read_buffer(PyObject* obj, const char* format, std::vector<T>& out) {
  if (!PyObject_CheckBuffer(obj)) return BufferRead::not_this_form;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
    return clear_ordinary_error() ? BufferRead::not_this_form : BufferRead::failed;
  const char* f = view.format ? view.format : "B";
  if (f[0] == '<' || f[0] == '=' || f[0] == '@') ++f;
  const bool ok = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) && std::strcmp(f, format) == 0;
  if (ok) {
    const auto n = static_cast<std::size_t>(view.shape[0]);
    out.resize(n);
    if (n) std::memcpy(out.data(), view.buf, n * sizeof(T));
  }
  PyBuffer_Release(&view);
  return ok ? BufferRead::done : BufferRead::not_this_form;
}

template <class T, class Convert>
bool iterate(PyObject* obj, std::vector<T>& out, Convert convert) {
  PyRef it(PyObject_GetIter(obj));
  if (!it) return false;
  out.clear();
  // The length hint is only advice: an ordinary error from __len__ or
  // __length_hint__ means no reservation.  A hint beyond what a vector can
  // hold is refused with MemoryError here; a reservation the system cannot
  // grant throws std::bad_alloc, which the boundary raises as MemoryError.
  const Py_ssize_t hint = PyObject_LengthHint(obj, 0);
  if (hint < 0 && !clear_ordinary_error()) return false;
  if (static_cast<std::size_t>(std::max<Py_ssize_t>(hint, 0)) > out.max_size()) {
    PyErr_NoMemory();
    return false;
  }
  if (hint > 0) out.reserve(static_cast<std::size_t>(hint));
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item(raw);
    T value;
    if (!convert(item.get(), value)) return false;
    out.push_back(value);
  }
  return !PyErr_Occurred();
}

}  // namespace

bool to_double_list(PyObject* obj, std::vector<double>& out) {
  if (!check_sequence(obj)) return false;
  switch (read_buffer(obj, "d", out)) {
    case BufferRead::done: return true;
    case BufferRead::failed: return false;
    case BufferRead::not_this_form: break;
  }
  return iterate(obj, out, [](PyObject* item, double& v) {
    v = PyFloat_AsDouble(item);
    return !(v == -1.0 && PyErr_Occurred());
  });
}

bool to_complex_list(PyObject* obj, std::vector<Complex>& out) {
  if (!check_sequence(obj)) return false;
  static_assert(sizeof(Complex) == 2 * sizeof(double));
  switch (read_buffer(obj, "Zd", out)) {
    case BufferRead::done: return true;
    case BufferRead::failed: return false;
    case BufferRead::not_this_form: break;
  }
  return iterate(obj, out, [](PyObject* item, Complex& v) {
    const Py_complex c = PyComplex_AsCComplex(item);
    if (c.real == -1.0 && PyErr_Occurred()) return false;
    v = Complex{c.real, c.imag};
    return true;
  });
}

bool read_column(PyObject* frame, const char* first, const char* second, std::optional<std::vector<double>>& out) {
  out.reset();
  for (const char* name : {first, second}) {
    PyRef key(PyUnicode_FromString(name));
    if (!key) return false;
    PyRef col(PyObject_GetItem(frame, key.get()));
    if (!col) {
      // An ordinary error from the lookup means "not found"; an interrupt,
      // exit or MemoryError propagates.
      if (!clear_ordinary_error()) return false;
      continue;
    }
    std::vector<double> values;
    if (!to_double_list(col.get(), values)) {
      if (clear_ordinary_error()) raise_value_error("column " + kelvora::quoted(name) + " is not numeric");
      return false;
    }
    out = std::move(values);
    return true;
  }
  return true;
}

bool has_frequency_column(PyObject* obj, bool& found) {
  found = false;
  for (const char* name : {kFrequency.first, kFrequency.second}) {
    PyRef key(PyUnicode_FromString(name));
    if (!key) return false;
    PyRef col(PyObject_GetItem(obj, key.get()));
    // A collection of spectra may give a column of them (a list of lists):
    // only numbers make one spectrum's column.
    std::vector<double> values;
    if (col && to_double_list(col.get(), values)) {
      found = true;
      return true;
    }
    if (!clear_ordinary_error()) return false;
  }
  return true;
}

static bool unpack_frame(PyObject* frame, Spectrum& out) {
  std::optional<std::vector<double>> freq, re, im, mod, phase;
  if (!read_column(frame, kFrequency.first, kFrequency.second, freq)) return false;
  if (!freq) {
    raise_value_error("expected a dataframe with a " + describe(kFrequency) +
                      " column, or frequencies and impedances as two arguments");
    return false;
  }
  if (!read_column(frame, kReal.first, kReal.second, re)) return false;
  if (!read_column(frame, kImag.first, kImag.second, im)) return false;
  if (!read_column(frame, kModulus.first, kModulus.second, mod)) return false;
  if (!read_column(frame, kPhase.first, kPhase.second, phase)) return false;

  std::vector<Complex> z;
  ColumnPair a{}, b{};
  if (re && im) {
    if (re->size() != im->size()) {
      raise_value_error("real and imaginary impedance columns must have the same length");
      return false;
    }
    for (std::size_t i = 0; i < re->size(); ++i) z.push_back({(*re)[i], (*im)[i]});
    a = kReal;
    b = kImag;
  } else if (mod && phase) {
    if (mod->size() != phase->size()) {
      raise_value_error("absolute impedance and phase columns must have the same length");
      return false;
    }
    for (std::size_t i = 0; i < mod->size(); ++i) {
      const double phi = (*phase)[i] * kDegreesToRadians;
      z.push_back({(*mod)[i] * std::cos(phi), (*mod)[i] * std::sin(phi)});
    }
    a = kModulus;
    b = kPhase;
  } else {
    raise_value_error("no impedance columns: expected " + describe(kReal) + " together with " + describe(kImag) +
                      ", or " + describe(kModulus) + " together with " + describe(kPhase));
    return false;
  }
  if (freq->size() != z.size()) {
    raise_value_error("frequency column has " + std::to_string(freq->size()) + " rows but " + describe(a) + " and " +
                      describe(b) + " have " + std::to_string(z.size()));
    return false;
  }
  out.frequencies.clear();
  out.impedances.clear();
  for (std::size_t i = 0; i < z.size(); ++i) {
    if ((*freq)[i] > 0.0) {
      out.frequencies.push_back((*freq)[i]);
      out.impedances.push_back(z[i]);
    }
  }
  if (out.frequencies.empty()) {
    raise_value_error("no measured points: every row of the " + describe(kFrequency) + " column is zero or negative");
    return false;
  }
  return true;
}

bool read_spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out) {
  if (impedances == nullptr || impedances == Py_None) return unpack_frame(frequencies, out);
  if (!to_double_list(frequencies, out.frequencies)) return false;
  if (!to_complex_list(impedances, out.impedances)) return false;
  if (out.frequencies.size() != out.impedances.size()) {
    raise_value_error("frequencies and impedances must have the same length");
    return false;
  }
  return true;
}

PyObject* spectrum_arrays(const Spectrum& spectrum) {
  double* f = nullptr;
  PyRef frequencies(new_double_array(spectrum.frequencies.size(), &f));
  if (!frequencies) return nullptr;
  if (!spectrum.frequencies.empty())
    std::memcpy(f, spectrum.frequencies.data(), spectrum.frequencies.size() * sizeof(double));
  kelvora::Complex* z = nullptr;
  PyRef impedances(new_complex_array(spectrum.impedances.size(), &z));
  if (!impedances) return nullptr;
  if (!spectrum.impedances.empty())
    std::memcpy(static_cast<void*>(z), spectrum.impedances.data(), spectrum.impedances.size() * sizeof(kelvora::Complex));
  return PyTuple_Pack(2, frequencies.get(), impedances.get());
}

PyObject* spectrum_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frequencies", "impedances", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:_spectrum", const_cast<char**>(kwlist), &frequencies,
                                   &impedances))
    return nullptr;
  Spectrum spectrum;
  if (!read_spectrum(frequencies, impedances, spectrum)) return nullptr;
  return spectrum_arrays(spectrum);
}

}  // namespace kelvora::py
