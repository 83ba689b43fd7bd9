// The pieces the velkan_core module is assembled from, in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velkan::py {

// Creates the GAM type and adds it to the module; -1 with an exception on failure.
int add_gam_type(PyObject* module);

// Module-level functions: compute_penalty_matrix, then the analysis functions.
// Terminated by a null entry.
PyMethodDef* module_functions();

}  // namespace velkan::py
