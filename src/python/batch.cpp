// fit_many(circuit, spectra, *, threads=None, chain=False, progress=False,
// **fit_options): the binding of FitBatch.  With the interpreter lock held it
// converts the options once (the code path of Circuit.fit) and every
// spectrum; then it releases the lock for the whole batch and waits on the
// workers in short steps, taking the lock back between steps only to run the
// signal handlers and report progress.  The results are built after the
// batch, with the lock held.
#include "python/batch.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "batch/fit_batch.h"
#include "fit/fit_method.h"
#include "fit/weighting.h"
#include "python/circuit_object.h"
#include "python/errors.h"
#include "python/fit_arguments.h"
#include "python/fit_driver.h"
#include "python/fit_result.h"
#include "python/fit_signature.h"
#include "python/gil.h"
#include "python/guard.h"
#include "python/pyref.h"
#include "python/spectrum.h"
#include "support/worker_pool.h"

namespace kelvora::py {

const char kFitManyDoc[] =
    "fit_many(circuit, spectra, *, threads=None, chain=False, progress=False, **fit_options)\n--\n\n"
    "Fit one circuit to many spectra on native threads; a list of results in input order.\n\n"
    "Each spectrum is a dataframe or dict (as fit() takes it) or a (frequencies,\n"
    "impedances) pair.  A spectrum that fails yields its exception object in its\n"
    "slot instead of a FitResult.";

namespace {

// How long the calling thread waits on the workers between two looks at the
// signal handlers and the progress display.
constexpr std::chrono::milliseconds kPollInterval(50);

// The keyword-only arguments of fit_many beside the fit options.
struct BatchArguments {
  PyObject* circuit = nullptr;   // borrowed
  PyObject* spectra = nullptr;   // borrowed
  PyObject* threads = Py_None;   // borrowed
  PyObject* chain = Py_False;    // borrowed
  PyObject* progress = Py_False; // borrowed
};

bool is_own_keyword(PyObject* key) {
  for (const char* name : {"circuit", "spectra", "threads", "chain", "progress"})
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
  return false;
}

// Binds circuit, spectra and the three keyword-only arguments by the
// interpreter's rules; every other keyword is a fit option, bound to its
// parameter of the fit table in `options` (frequencies and impedances are
// not options).  false with an exception set.
bool bind(PyObject* args, PyObject* kwargs, BatchArguments& b, PyObject** options) {
  PyRef own(PyDict_New());
  if (!own) return false;
  if (kwargs) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
      }
      if (is_own_keyword(key)) {
        if (PyDict_SetItem(own.get(), key, value) < 0) return false;
        continue;
      }
      bool found = false;
      for (std::size_t i = kFit_impedances + 1; i < kFitParameterCount; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, kFitKeywords[i]) == 0) {
          options[i] = value;
          found = true;
          break;
        }
      }
      if (!found) {
        PyErr_Format(PyExc_TypeError, "fit_many() got an unexpected keyword argument '%U'", key);
        return false;
      }
    }
  }
  static const char* keywords[] = {"circuit", "spectra", "threads", "chain", "progress", nullptr};
  return PyArg_ParseTupleAndKeywords(args, own.get(), "OO|$OOO:fit_many", const_cast<char**>(keywords), &b.circuit,
                                     &b.spectra, &b.threads, &b.chain, &b.progress) != 0;
}

// A Circuit, or a str that Circuit() takes (a model name or an expression).
PyRef to_circuit(PyObject* obj) {
  if (is_circuit(obj)) return PyRef::borrow(obj);
  if (PyUnicode_Check(obj)) return PyRef(PyObject_CallOneArg(reinterpret_cast<PyObject*>(circuit_type()), obj));
  PyErr_Format(PyExc_TypeError, "argument 'circuit': expected a Circuit or a str, got '%.200s'",
               Py_TYPE(obj)->tp_name);
  return PyRef();
}

// None: one worker per available processor; otherwise a positive int.
bool convert_threads(PyObject* obj, std::size_t& out) {
  if (obj == Py_None) {
    out = worker_count();
    return true;
  }
  if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'threads': expected None or an int, got '%.200s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "threads must be a positive integer, got %S", index.get());
    return false;
  }
  // More workers than spectra are never started, so a huge count is as good as the spectra's.
  out = overflow > 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(n);
  return true;
}

// The progress display: nothing, kelvora._progress.progress_bar(total) for
// True, or the callable given.  `close` is set when the display must be
// closed after the batch.  false with an exception set.
bool make_progress(PyObject* obj, std::size_t total, PyRef& display, bool& close) {
  close = false;
  if (obj == Py_None) return true;
  if (is_bool_scalar(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth <= 0) return truth == 0;
    PyRef module(PyImport_ImportModule("kelvora._progress"));
    if (!module) return false;
    display = PyRef(PyObject_CallMethod(module.get(), "progress_bar", "n", static_cast<Py_ssize_t>(total)));
    close = static_cast<bool>(display);
    return close;
  }
  if (!PyCallable_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'progress': expected a bool or a callable, got '%.200s'",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  display = PyRef::borrow(obj);
  return true;
}

// Reads one spectrum: a (frequencies, impedances) tuple or list of two, or a
// dataframe or dict.  false with an exception set.
bool read_item(PyObject* item, Spectrum& out) {
  if ((PyTuple_Check(item) || PyList_Check(item)) && PySequence_Fast_GET_SIZE(item) == 2) {
    // Held: reading the frequencies may run Python code that changes a list.
    PyRef f = PyRef::borrow(PySequence_Fast_GET_ITEM(item, 0));
    PyRef z = PyRef::borrow(PySequence_Fast_GET_ITEM(item, 1));
    return read_spectrum(f.get(), z.get() == Py_None ? nullptr : z.get(), out);
  }
  return read_spectrum(item, nullptr, out);
}

// The exception object fit() would raise for a slot's failure.
PyObject* failure_object(const BatchSlot& slot) {
  if (const auto* fit = std::get_if<FitFailure>(&slot)) {
    raise_fit_failure(*fit);
  } else if (const auto* guess = std::get_if<GuessFailure>(&slot)) {
    raise_guess_failure(*guess);
  } else if (const auto* escaped = std::get_if<std::exception_ptr>(&slot)) {
    try {
      std::rethrow_exception(*escaped);
    } catch (...) {
      set_error_from_current_exception();
    }
  } else {
    raise_internal_error("fit_many: a slot was left without a result");
  }
  return take_exception();
}

// Raises `exc` again (a new reference, taken over).
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Calls the display's close(); an exception already pending wins over one
// close() raises.  false when an exception is pending afterwards.
bool close_display(PyObject* display) {
  PyObject* pending = PyErr_Occurred() ? take_exception() : nullptr;
  PyRef closed(PyObject_CallMethod(display, "close", nullptr));
  if (pending) {
    PyErr_Clear();
    restore_exception(pending);
    return false;
  }
  return static_cast<bool>(closed);
}

// Calls the display with (done, total) when `done` has changed since the last
// call.  false with an exception set when the display raised.
bool report(PyObject* display, std::size_t done, std::size_t total, std::size_t& last) {
  if (!display || done == last) return true;
  last = done;
  PyRef answer(PyObject_CallFunction(display, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total)));
  return static_cast<bool>(answer);
}

// The batch itself, from the converted arguments to the list of results.
PyObject* run_batch(PyObject* circuit, PyObject* items, const FitArguments& a, Weighting weighting, bool guess,
                    bool chain, std::size_t threads, PyObject* display) {
  const Py_ssize_t total = PyTuple_GET_SIZE(items);
  const auto count = static_cast<std::size_t>(total);

  // Every spectrum is read with the lock held; one that cannot be read keeps
  // its (ordinary) exception for its slot.
  std::vector<Spectrum> spectra(count);
  std::vector<PyRef> unread(count);
  std::vector<BatchSpectrum> views(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (read_item(PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(i)), spectra[i])) {
      views[i] = BatchSpectrum{&spectra[i].frequencies, &spectra[i].impedances};
      continue;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    unread[i] = PyRef(take_exception());
  }

  const ParamConstraints& constraints = circuit_constraints(circuit);
  FitBatch batch(BatchJob{&circuit_nodes(circuit), &constraints, a.method, a.settings, weighting, guess, a.weights_path,
                          chain, threads},
                 std::move(views));
  std::size_t last = static_cast<std::size_t>(-1);
  if (!report(display, batch.done(), count, last)) return nullptr;
  try {
    batch.start();
  } catch (const std::system_error& e) {
    // Not one worker thread to be had (a thread or memory limit): reported as
    // threading.Thread.start() reports it, not as a broken invariant.
    PyErr_Format(PyExc_RuntimeError, "can't start new thread (%s)", e.what());
    return nullptr;
  }
  bool stopped = false;
  for (;;) {
    bool finished = false;
    {
      ReleaseGil unlocked;
      finished = batch.wait_for(kPollInterval);
    }
    // A Ctrl-C, or an exception from the progress display, stops the batch.
    if (PyErr_CheckSignals() < 0 || !report(display, batch.done(), count, last)) {
      stopped = true;
      break;
    }
    if (finished) break;
  }
  {
    ReleaseGil unlocked;
    if (stopped) batch.cancel();
    batch.join();
  }
  if (stopped) return nullptr;

  PyRef list(PyList_New(total));
  if (!list) return nullptr;
  std::vector<BatchSlot>& slots = batch.slots();
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = nullptr;
    if (unread[i]) {
      item = unread[i].release();
    } else if (auto* fit = std::get_if<BatchFit>(&slots[i])) {
      // The start counts as explicit as it does for fit(): given explicitly, guessed, or a previous result's.
      const bool start_explicit = circuit_explicit(circuit) || fit->start_kind != BatchStart::Given;
      item = new_fit_result(FitRecord{std::move(fit->outcome), constraints, a.method, std::move(fit->start),
                                      start_explicit, std::move(spectra[i])});
    } else {
      item = failure_object(slots[i]);
    }
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* fit_many_function(PyObject*, PyObject* args, PyObject* kwargs) {
  BatchArguments b;
  PyObject* options[kFitParameterCount] = {};
  if (!bind(args, kwargs, b, options)) return nullptr;

  PyRef circuit = to_circuit(b.circuit);
  if (!circuit || !stack_holds_circuit(circuit.get())) return nullptr;
  // A str, a mapping or a dataframe is one spectrum's worth of something, not
  // a sequence of spectra (iterated, a dataframe gives its column names).
  bool one_spectrum = PyUnicode_Check(b.spectra) || PyBytes_Check(b.spectra) || PyDict_Check(b.spectra);
  if (!one_spectrum && !has_frequency_column(b.spectra, one_spectrum)) return nullptr;
  if (one_spectrum) {
    PyErr_Format(PyExc_TypeError, "argument 'spectra': expected a sequence of spectra, got '%.200s'",
                 Py_TYPE(b.spectra)->tp_name);
    return nullptr;
  }
  // A tuple of its own, so that reading the spectra cannot change it.
  PyRef items(PySequence_Tuple(b.spectra));
  if (!items) {
    prefix_type_error("spectra");
    return nullptr;
  }
  std::size_t threads = 0;
  if (!convert_threads(b.threads, threads)) return nullptr;
  std::optional<bool> chain;
  if (!convert_optional_bool(b.chain, "chain", chain)) return nullptr;
  if (!chain) {
    PyErr_SetString(PyExc_TypeError, "argument 'chain': 'NoneType' object cannot be converted to 'bool'");
    return nullptr;
  }

  // The fit options, once for the whole batch: those fit() checks before its
  // run, then the weight scheme and the method name.
  FitArguments a;
  if (!convert_fit_arguments(options, a)) return nullptr;
  const auto weighting = parse_weighting(a.weight);
  if (!weighting) return raise_value_error(weighting.error().message());
  bool known = false;
  for (const FitMethod& m : fit_methods()) known = known || m.name == a.method;
  if (!known) return raise_value_error(FitError{FitError::Kind::UnknownMethod, a.method}.message());

  PyRef display;
  bool close = false;
  if (!make_progress(b.progress, static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())), display, close))
    return nullptr;
  bool guess = false;
  PyObject* results = nullptr;
  if (decide_guess(circuit_nodes(circuit.get()), circuit_explicit(circuit.get()), a, guess))
    results = run_batch(circuit.get(), items.get(), a, *weighting, guess, *chain, threads, display.get());
  if (close && !close_display(display.get())) {
    Py_XDECREF(results);
    return nullptr;
  }
  return results;
}

}  // namespace kelvora::py
