// Module initialisation (single phase).  Registers Element, Circuit,
// FitResult, Series, Parallel and the fourteen element classes, in that
// order, each also listed in __all__, and lin_kk with its KKResult class,
// and the file readers read_spectra and read_spectrum, which stay
// outside __all__.  Nothing else is prepared here: the
// networks are decoded and the worker pool started on first use.  Every
// function the interpreter calls, this initialiser included, is entered
// through guarded<> (guard.h).
#include <Python.h>

#include <string>

#include "elements/element.h"
#include "python/batch.h"
#include "python/circuit_methods.h"
#include "python/circuit_object.h"
#include "python/element_types.h"
#include "python/errors.h"
#include "python/guard.h"
#include "python/kk.h"
#include "python/pyref.h"
#include "python/readers.h"
#include "python/series_parallel.h"
#include "python/spectrum.h"

namespace kelvora::py {
namespace {

PyMethodDef kFunctions[] = {
    {"Series", guarded_method<&series_function>(), METH_VARARGS | METH_KEYWORDS,
     "Series(parts)\n--\n\nConnect elements and circuits end to end."},
    {"Parallel", guarded_method<&parallel_function>(), METH_VARARGS | METH_KEYWORDS,
     "Parallel(parts)\n--\n\nConnect elements and circuits as parallel branches."},
    {"lin_kk", guarded_method<&lin_kk_function>(), METH_VARARGS | METH_KEYWORDS, kLinKkDoc},
    {"fit_many", guarded_method<&fit_many_function>(), METH_VARARGS | METH_KEYWORDS, kFitManyDoc},
    {"_spectrum", guarded_method<&spectrum_function>(), METH_VARARGS | METH_KEYWORDS,
     "_spectrum(frequencies, impedances=None)\n--\n\n"
     "The measured spectrum as fit() reads it: (frequencies, impedances) arrays."},
    {"read_spectra", guarded_method<&read_spectra_function>(), METH_VARARGS | METH_KEYWORDS,
     "read_spectra(path, format=None)\n--\n\nRead every sweep of a potentiostat file: a list of dicts of float64 "
     "arrays\n(\"frequency_hertz\", \"real_impedance_ohm\", \"imaginary_impedance_ohm\", and\n\"time_second\" and "
     "\"cycle_number\" when the file has them).  The format is\ndetected from the content unless named."},
    {"read_spectrum", guarded_method<&read_spectrum_function>(), METH_VARARGS | METH_KEYWORDS,
     "read_spectrum(path, format=None)\n--\n\nRead the one sweep of a potentiostat file as a dict of float64 arrays;\n"
     "ValueError when the file holds another number of sweeps."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kelvora", "", -1, kFunctions, nullptr, nullptr, nullptr, nullptr};

int add_all(PyObject* all, const char* name) {
  PyRef s(PyUnicode_FromString(name));
  return s ? PyList_Append(all, s.get()) : -1;
}

PyObject* init() {
  // The module keeps process-wide state (types, decoded networks), so it
  // lives in the main interpreter only.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "kelvora can only be initialised in the main interpreter");
    return nullptr;
  }
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyRef all(PyList_New(0));
  if (!all) return nullptr;

  if (init_element_type(module.get()) < 0 || add_all(all.get(), "Element") < 0) return nullptr;
  if (init_circuit_type(module.get()) < 0 || add_all(all.get(), "Circuit") < 0) return nullptr;
  PyObject* fit_result = create_fit_result_type(module.get());
  if (!fit_result) return nullptr;
  if (PyModule_AddObject(module.get(), "FitResult", fit_result) < 0) {
    Py_DECREF(fit_result);
    return nullptr;
  }
  if (add_all(all.get(), "FitResult") < 0) return nullptr;
  if (add_all(all.get(), "Series") < 0 || add_all(all.get(), "Parallel") < 0) return nullptr;
  if (add_element_subclasses(module.get()) < 0) return nullptr;
  for (std::size_t k = 0; k < kKindCount; ++k)
    if (add_all(all.get(), std::string(kind_info(static_cast<Kind>(k)).code).c_str()) < 0) return nullptr;
  if (init_internal_error(module.get()) < 0) return nullptr;
  if (init_kk_result_type(module.get()) < 0) return nullptr;
  if (PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
  all.release();
  return module.release();
}

}  // namespace
}  // namespace kelvora::py

PyMODINIT_FUNC PyInit_kelvora(void) { return kelvora::py::guarded<&kelvora::py::init>(); }
