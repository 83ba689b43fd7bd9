// Argument conversion shared by every Python-facing function, and conversion of results
// back to NumPy. Every converter either returns a value or sets a Python exception
// (TypeError / OverflowError) naming the function and the argument, and returns nullopt.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "linalg/matrix.h"

namespace velkan::py {

// Names the call site in messages: "fit() argument 'x' ...".
struct ArgName {
  const char* function;
  const char* argument;
};

// A float64 NumPy array with exactly two dimensions; the view borrows the array's memory
// (any strides, negative included) and is valid while the argument object is alive.
std::optional<MatrixView> as_matrix(PyObject* obj, ArgName name);
// A float64 NumPy array with exactly one dimension.
std::optional<VectorView> as_vector(PyObject* obj, ArgName name);
// As as_vector, but the array must be C-contiguous, else TypeError
// "The given array is not contiguous".
std::optional<VectorView> as_contiguous_vector(PyObject* obj, ArgName name);
// A Python sequence (not str/bytes) of non-negative integers; negative or too large
// items raise OverflowError. The sequence is read once into a snapshot.
std::optional<std::vector<std::size_t>> as_sizes(PyObject* obj, ArgName name);
// A Python sequence of numbers (anything float() accepts through the number protocol).
std::optional<std::vector<double>> as_floats(PyObject* obj, ArgName name);
// A Python sequence of 2-D float64 arrays, copied.
std::optional<std::vector<Matrix>> as_matrix_list(PyObject* obj, ArgName name);
// A Python str, as UTF-8 (ValueError for a str holding lone surrogates).
std::optional<std::string> as_string(PyObject* obj, ArgName name);
// A non-negative Python integer, or an object with __index__ (OverflowError when
// negative or too large; TypeError for floats and strings).
std::optional<std::size_t> as_size(PyObject* obj, ArgName name);
// A number through the float() protocol.
std::optional<double> as_double(PyObject* obj, ArgName name);
// A Python bool (True or False only).
std::optional<bool> as_bool(PyObject* obj, ArgName name);

// True when `obj` is absent or None: optional arguments then take their default.
inline bool is_none(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// New 1-D / 2-D float64 arrays holding copies; nullptr with an exception on failure.
PyObject* to_numpy(const Vector& v);
PyObject* to_numpy(const Matrix& m);

}  // namespace velkan::py
