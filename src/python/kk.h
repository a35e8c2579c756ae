#pragma once
// kelvora.lin_kk and its result class KKResult.
#include <Python.h>

namespace kelvora::py {

// Creates KKResult and adds it to the module (not to __all__); -1 on error.
int init_kk_result_type(PyObject* module);

// lin_kk(frequencies, impedances=None, *, c=0.85, max_m=None, test="complex",
//        add_capacitance=False, add_inductance=True)
PyObject* lin_kk_function(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kLinKkDoc[];

}  // namespace kelvora::py
