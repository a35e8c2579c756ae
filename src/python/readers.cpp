// kelvora.read_spectra(path, format=None) and kelvora.read_spectrum(path,
// format=None).  The file is read and parsed with the interpreter lock
// released; each sweep becomes a dict of float64 arrays under the column
// names fit() accepts.
#include "python/readers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "python/errors.h"
#include "python/gil.h"
#include "python/numpy_bridge.h"
#include "python/pyref.h"
#include "readers/readers.h"

namespace kelvora::py {
namespace {

namespace rd = kelvora::readers;

struct Arguments {
  PyRef path;          // the os.fspath() result, for OSError
  std::string native;  // file-system encoding, for fopen
  std::string shown;   // UTF-8, for messages
  std::string extension;
  std::optional<rd::Format> format;
};

bool parse_arguments(const char* name, PyObject* args, PyObject* kwargs, Arguments& out) {
  static const char* kwlist[] = {"path", "format", nullptr};
  PyObject* path = nullptr;
  PyObject* format = Py_None;
  const std::string arg_format = std::string("O|O:") + name;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, arg_format.c_str(), const_cast<char**>(kwlist), &path, &format)) return false;
  out.path = PyRef(PyOS_FSPath(path));
  if (!out.path) return false;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(out.path.get(), &encoded)) return false;
  PyRef owned(encoded);
  out.native.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
  PyRef text(PyUnicode_Check(out.path.get()) ? PyRef::borrow(out.path.get()).release()
                                             : PyUnicode_DecodeFSDefault(out.native.c_str()));
  if (!text) return false;
  PyRef utf8(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  if (!utf8) return false;
  out.shown.assign(PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
  const std::size_t slash = out.native.find_last_of("/\\");
  const std::size_t dot = out.native.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) out.extension = out.native.substr(dot);

  if (format != Py_None) {
    if (!PyUnicode_Check(format)) {
      PyErr_Format(PyExc_TypeError, "%s() argument 'format' must be str or None, not %.50s", name, Py_TYPE(format)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* f = PyUnicode_AsUTF8AndSize(format, &size);
    if (!f) return false;
    out.format = rd::format_from_name(std::string_view(f, static_cast<std::size_t>(size)));
    if (!out.format) {
      raise_value_error("unknown format " + std::string(f, static_cast<std::size_t>(size)) + "; expected one of " +
                        rd::format_names_listed());
      return false;
    }
  }
  return true;
}

// A file being read; closed when reading ends, however it ends.
struct OpenFile {
  std::FILE* f = nullptr;
  OpenFile() = default;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (f) std::fclose(f);
  }
};

// Reads the rest of the file into `bytes`, opening it first if need be;
// errno on failure.  EINTR (a signal arrived while a pipe or a slow device
// kept the call waiting) leaves the file open and what was read in `bytes`:
// the caller runs the signal handlers and calls again to go on.
int read_file(const std::string& path, OpenFile& file, std::string& bytes) {
  if (!file.f) {
    errno = 0;
    file.f = std::fopen(path.c_str(), "rb");
    if (!file.f) return errno ? errno : EIO;
    // A regular file's size, as a hint: the buffer then grows once, not by
    // doubling to up to twice the file.
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
    if (!ec && size > 0 && size < bytes.max_size()) bytes.reserve(static_cast<std::size_t>(size));
  }
  char buffer[1 << 16];
  std::size_t n;
  errno = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.f)) > 0) bytes.append(buffer, n);
  if (!std::ferror(file.f)) return 0;
  const int error = errno ? errno : EIO;
  std::clearerr(file.f);
  return error;
}

PyObject* array(const std::vector<double>& v) { return new_double_array(v.data(), v.size()); }

int set_array(PyObject* dict, const char* key, const std::vector<double>& v) {
  PyRef a(array(v));
  return a ? PyDict_SetItemString(dict, key, a.get()) : -1;
}

PyObject* to_dict(const rd::SpectrumRecord& s) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (set_array(d.get(), "frequency_hertz", s.frequency) < 0 || set_array(d.get(), "real_impedance_ohm", s.real) < 0 ||
      set_array(d.get(), "imaginary_impedance_ohm", s.imag) < 0)
    return nullptr;
  if (!s.time.empty() && set_array(d.get(), "time_second", s.time) < 0) return nullptr;
  if (!s.cycle.empty() && set_array(d.get(), "cycle_number", s.cycle) < 0) return nullptr;
  return d.release();
}

// The list of dicts, or nullptr with an exception set.
PyObject* read(const char* name, PyObject* args, PyObject* kwargs, bool single) {
  Arguments a;
  if (!parse_arguments(name, args, kwargs, a)) return nullptr;
  std::string bytes;
  OpenFile file;
  int error = 0;
  std::optional<rd::ReadResult> result;
  while (true) {
    {
      // An exception (out of memory) leaves with the lock taken back and is
      // raised by the module's boundary (guard.h).
      ReleaseGil released;
      error = read_file(a.native, file, bytes);
      if (!error) result.emplace(rd::read_spectra(bytes, a.format, a.extension));
    }
    // Interrupted by a signal: its handler runs now (Ctrl-C raises
    // KeyboardInterrupt); if it raises nothing, reading goes on.
    if (error != EINTR) break;
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  if (error) {
    errno = error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, a.path.get());
  }
  if (!*result) return raise_value_error(rd::describe(result->error(), a.shown));
  const auto& spectra = result->value();
  if (single && spectra.size() != 1)
    return raise_value_error(rd::describe(rd::ReadError{0, rd::kNoPosition,
                                                        "expected a single spectrum, found " + std::to_string(spectra.size()) +
                                                            "; read_spectra() returns them all"},
                                          a.shown));
  if (single) return to_dict(spectra.front());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(spectra.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    PyObject* d = to_dict(spectra[i]);
    if (!d) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d);
  }
  return list.release();
}

}  // namespace

PyObject* read_spectra_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_spectra", args, kwargs, false);
}

PyObject* read_spectrum_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_spectrum", args, kwargs, true);
}

}  // namespace kelvora::py
