#include "python/support/convert.h"

#include <cmath>
#include <string>

#include "python/support/numpy_api.h"
#include "python/support/py_ref.h"

namespace velkan::py {

namespace {

void type_error(ArgName name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", name.function,
               name.argument, expected, Py_TYPE(got)->tp_name);
}

// Checks for a float64 ndarray of `ndim` dimensions; sets TypeError otherwise.
PyArrayObject* as_float_array(PyObject* obj, int ndim, ArgName name) {
  const char* expected = ndim == 1 ? "a 1-D numpy.ndarray of float64" : "a 2-D numpy.ndarray of float64";
  if (!PyArray_Check(obj)) {
    type_error(name, expected, obj);
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(arr) != NPY_DOUBLE || PyArray_NDIM(arr) != ndim) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' must be %s, got an array of dtype %s with %d dimension(s)",
                 name.function, name.argument, expected,
                 PyArray_DESCR(arr)->typeobj->tp_name, PyArray_NDIM(arr));
    return nullptr;
  }
  if (!PyArray_ISNOTSWAPPED(arr)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be in native byte order",
                 name.function, name.argument);
    return nullptr;
  }
  if ((PyArray_STRIDES(arr) && ndim > 0 &&
       (PyArray_STRIDES(arr)[0] % static_cast<npy_intp>(sizeof(double)) != 0 ||
        (ndim == 2 && PyArray_STRIDES(arr)[1] % static_cast<npy_intp>(sizeof(double)) != 0))) ||
      !PyArray_ISALIGNED(arr)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an aligned float64 array",
                 name.function, name.argument);
    return nullptr;
  }
  return arr;
}

bool is_text_like(PyObject* obj) {
  return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj);
}

}  // namespace

std::optional<MatrixView> as_matrix(PyObject* obj, ArgName name) {
  PyArrayObject* arr = as_float_array(obj, 2, name);
  if (!arr) return std::nullopt;
  const npy_intp* dims = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  MatrixView v;
  v.data = static_cast<const double*>(PyArray_DATA(arr));
  v.rows = static_cast<std::size_t>(dims[0]);
  v.cols = static_cast<std::size_t>(dims[1]);
  v.row_stride = strides[0] / static_cast<npy_intp>(sizeof(double));
  v.col_stride = strides[1] / static_cast<npy_intp>(sizeof(double));
  return v;
}

std::optional<VectorView> as_vector(PyObject* obj, ArgName name) {
  PyArrayObject* arr = as_float_array(obj, 1, name);
  if (!arr) return std::nullopt;
  VectorView v;
  v.data = static_cast<const double*>(PyArray_DATA(arr));
  v.size = static_cast<std::size_t>(PyArray_DIMS(arr)[0]);
  v.stride = PyArray_STRIDES(arr)[0] / static_cast<npy_intp>(sizeof(double));
  return v;
}

std::optional<VectorView> as_contiguous_vector(PyObject* obj, ArgName name) {
  auto v = as_vector(obj, name);
  if (!v) return std::nullopt;
  if (!PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(obj))) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return std::nullopt;
  }
  return v;
}

std::optional<std::size_t> as_size(PyObject* obj, ArgName name) {
  if (!PyLong_Check(obj)) {
    type_error(name, "int", obj);
    return std::nullopt;
  }
  // PyLong_AsUnsignedLongLong raises OverflowError for negative and too-large values.
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  if (v > static_cast<unsigned long long>(SIZE_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return std::nullopt;
  }
  return static_cast<std::size_t>(v);
}

std::optional<double> as_double(PyObject* obj, ArgName name) {
  if (!PyFloat_Check(obj) && !PyLong_Check(obj) && !PyNumber_Check(obj)) {
    type_error(name, "float", obj);
    return std::nullopt;
  }
  if (is_text_like(obj)) {
    type_error(name, "float", obj);
    return std::nullopt;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error(name, "float", obj);
    }
    return std::nullopt;
  }
  return v;
}

std::optional<bool> as_bool(PyObject* obj, ArgName name) {
  if (!PyBool_Check(obj)) {
    type_error(name, "bool", obj);
    return std::nullopt;
  }
  return obj == Py_True;
}

std::optional<std::string> as_string(PyObject* obj, ArgName name) {
  if (!PyUnicode_Check(obj)) {
    type_error(name, "str", obj);
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s) return std::nullopt;
  return std::string(s, static_cast<std::size_t>(len));
}

namespace {

// Runs `convert` on each item of a sequence; a str is refused.
template <class T, class F>
std::optional<std::vector<T>> convert_sequence(PyObject* obj, ArgName name, const char* expected,
                                               F convert) {
  if (is_text_like(obj) || !PySequence_Check(obj)) {
    type_error(name, expected, obj);
    return std::nullopt;
  }
  PyRef seq(PySequence_Fast(obj, "expected a sequence"));
  if (!seq) return std::nullopt;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The item is borrowed from `seq`, which a conversion callback cannot shrink.
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    auto v = convert(item.get());
    if (!v) return std::nullopt;
    out.push_back(std::move(*v));
  }
  return out;
}

}  // namespace

std::optional<std::vector<std::size_t>> as_sizes(PyObject* obj, ArgName name) {
  return convert_sequence<std::size_t>(obj, name, "a sequence of non-negative ints",
                                       [&](PyObject* item) { return as_size(item, name); });
}

std::optional<std::vector<double>> as_floats(PyObject* obj, ArgName name) {
  return convert_sequence<double>(obj, name, "a sequence of floats",
                                  [&](PyObject* item) { return as_double(item, name); });
}

std::optional<std::vector<Matrix>> as_matrix_list(PyObject* obj, ArgName name) {
  return convert_sequence<Matrix>(obj, name, "a sequence of 2-D float64 arrays",
                                  [&](PyObject* item) -> std::optional<Matrix> {
                                    auto v = as_matrix(item, name);
                                    if (!v) return std::nullopt;
                                    return Matrix::from(*v);
                                  });
}

PyObject* to_numpy(const Vector& v) {
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  for (std::size_t i = 0; i < v.size(); ++i) dst[i] = v[i];
  return arr;
}

PyObject* to_numpy(const Matrix& m) {
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
  PyObject* arr = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  for (std::size_t k = 0; k < m.size(); ++k) dst[k] = m.data()[k];
  return arr;
}

}  // namespace velkan::py
