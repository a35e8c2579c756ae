#pragma once
// Reading and writing the plain dict forms of circuits and fit results
// (to_dict / from_dict): JSON-compatible values only, a "type" naming the
// class and a format "version".  Every reader below fails with ValueError
// naming the dict and the key, and returns false.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/pyref.h"
#include "support/complex.h"

namespace kelvora::py {

// Checks that `dict` is a dict with exactly `keys`, whose "type" is `type`
// and whose "version" is an integer from 1 to `version`, and returns a copy
// of it to read the items from: its keys are plain str and it holds its own
// references, so that looking an item up runs no __eq__ of the caller's keys
// and nothing the caller's code does can free an item being read.  Null
// with an exception set on failure.
PyRef check_dict_form(PyObject* dict, const char* what, const char* type, long version,
                      const std::vector<const char*>& keys);

// The item `key` of a copy made by check_dict_form (borrowed).
PyObject* dict_item(PyObject* dict, const char* key);

// The readers run no Python code: an int or float subclass is read by its
// value, not through its __float__ or __index__, so that reading one item
// cannot change the lists and dicts still to be read.
bool read_double(PyObject* obj, const char* what, const char* key, double& out);
bool read_bool(PyObject* obj, const char* what, const char* key, bool& out);
bool read_u64(PyObject* obj, const char* what, const char* key, std::uint64_t& out);
bool read_string(PyObject* obj, const char* what, const char* key, std::string& out);
// A list of numbers; `expected` checks the length when given.
bool read_doubles(PyObject* obj, const char* what, const char* key, std::optional<std::size_t> expected,
                  std::vector<double>& out);

// A measured spectrum kept as three lists: "frequencies", "impedance_real" and
// "impedance_imag" (the last two as long as the first).
bool read_spectrum(PyObject* dict, const char* what, std::vector<double>& frequencies,
                   std::vector<kelvora::Complex>& impedances);
bool set_spectrum(PyObject* dict, const std::vector<double>& frequencies,
                  const std::vector<kelvora::Complex>& impedances);

// The value itself, as __copy__ and __deepcopy__ of a class whose values never change.
PyObject* same_value(PyObject* self, PyObject*);

// Sets ValueError "{what}: {text}" and returns false.
bool dict_error(const char* what, const std::string& text);

// (type(self).from_dict, (dict,)), the __reduce__ value of a class whose
// pickles and copies go through its dict form; takes over `dict` (a new
// reference, or nullptr with an exception set).
PyObject* reduce_through_dict(PyObject* self, PyObject* dict);

// Sets `key` of `dict` to `value`, taking over the new reference; false on failure.
bool set_item(PyObject* dict, const char* key, PyObject* value);

}  // namespace kelvora::py
