// Circuit.guess(frequencies, impedances=None, weights=None): machine-learning
// starting values for the circuit's parameters.  Runs entirely with the
// interpreter lock held: the networks are small and the registry does its
// own locking.
#include <optional>
#include <string>

#include "models/guess_params.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
#include "python/py_lists.h"
#include "python/spectrum.h"

namespace kelvora::py {

PyObject* circuit_guess(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"frequencies", "impedances", "weights", nullptr};
  PyObject* frequencies = nullptr;
  PyObject* impedances = Py_None;
  PyObject* weights = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:guess", const_cast<char**>(kwlist), &frequencies,
                                   &impedances, &weights)) {
    return nullptr;
  }
  std::optional<std::string> path;
  if (weights != Py_None) {
    if (!PyUnicode_Check(weights)) {
      PyErr_Format(PyExc_TypeError, "guess() argument 'weights' must be str or None, not %.50s",
                   Py_TYPE(weights)->tp_name);
      return nullptr;
    }
    // Kept whole, embedded NUL included: such a path fails as a read error.
    std::string bytes;
    if (!path_bytes(weights, bytes)) return nullptr;
    path.emplace(std::move(bytes));
  }

  Spectrum spectrum;
  if (!read_spectrum(frequencies, impedances == Py_None ? nullptr : impedances, spectrum)) return nullptr;
  auto values = guess_params(circuit_nodes(self), spectrum.frequencies, spectrum.impedances, path);
  if (!values) return raise_value_error(values.error());
  return float_list(*values);
}

}  // namespace kelvora::py
