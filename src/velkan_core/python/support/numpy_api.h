// Include this instead of the NumPy headers directly: one API table per extension module,
// filled by import_numpy() in the module's init.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velkan_numpy_api
#ifndef VELKAN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velkan::py {
// Loads the NumPy C API; returns -1 with an exception set on failure.
int import_numpy();
}  // namespace velkan::py
