#include "velkan_core/python/support/convert.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "velkan_core/fit/design.h"
#include "velkan_core/python/support/numpy_api.h"
#include "velkan_core/python/support/py_ref.h"

namespace velkan::py {

namespace {

void type_error(ArgName name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", name.function,
               name.argument, expected, Py_TYPE(got)->tp_name);
}

// Whether `obj` is a NumPy masked array. Its data holds whatever the masked entries were
// before masking, so reading it as a plain array would fit values the caller excluded.
bool is_masked_array(PyObject* obj) {
  if (PyArray_CheckExact(obj)) return false;
  PyRef ma(PyImport_ImportModule("numpy.ma"));
  if (!ma) {
    PyErr_Clear();
    return false;
  }
  PyRef cls(PyObject_GetAttrString(ma.get(), "MaskedArray"));
  if (!cls) {
    PyErr_Clear();
    return false;
  }
  const int r = PyObject_IsInstance(obj, cls.get());
  if (r < 0) PyErr_Clear();
  return r > 0;
}

// Checks for a float64 ndarray of `ndim` dimensions; sets TypeError otherwise.
PyArrayObject* as_float_array(PyObject* obj, int ndim, ArgName name) {
  const char* expected = ndim == 1 ? "a 1-D numpy.ndarray of float64" : "a 2-D numpy.ndarray of float64";
  if (!PyArray_Check(obj)) {
    type_error(name, expected, obj);
    return nullptr;
  }
  if (is_masked_array(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' must be %s, not a masked array (fill or drop the masked "
                 "entries first)",
                 name.function, name.argument, expected);
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
  // Strides must step whole elements; the stride of an axis of length 0 or 1 is never
  // used, and NumPy leaves it arbitrary, so it is not checked.
  for (int d = 0; d < ndim; ++d) {
    if (PyArray_DIMS(arr)[d] > 1 &&
        PyArray_STRIDES(arr)[d] % static_cast<npy_intp>(sizeof(double)) != 0) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an aligned float64 array",
                   name.function, name.argument);
      return nullptr;
    }
  }
  if (PyArray_SIZE(arr) > 0 &&
      reinterpret_cast<std::uintptr_t>(PyArray_DATA(arr)) % alignof(double) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an aligned float64 array",
                 name.function, name.argument);
    return nullptr;
  }
  return arr;
}

// NumPy byte stride of axis `d` in elements; an unused stride (axis length <= 1) becomes
// `natural`, so views never carry a meaningless value.
std::ptrdiff_t element_stride(PyArrayObject* arr, int d, std::ptrdiff_t natural) {
  if (PyArray_DIMS(arr)[d] <= 1) return natural;
  return static_cast<std::ptrdiff_t>(PyArray_STRIDES(arr)[d] /
                                     static_cast<npy_intp>(sizeof(double)));
}

bool is_text_like(PyObject* obj) {
  return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj);
}

}  // namespace

std::optional<MatrixView> as_matrix(PyObject* obj, ArgName name) {
  PyArrayObject* arr = as_float_array(obj, 2, name);
  if (!arr) return std::nullopt;
  const npy_intp* dims = PyArray_DIMS(arr);
  MatrixView v;
  v.data = static_cast<const double*>(PyArray_DATA(arr));
  v.rows = static_cast<std::size_t>(dims[0]);
  v.cols = static_cast<std::size_t>(dims[1]);
  v.col_stride = element_stride(arr, 1, 1);
  v.row_stride = element_stride(arr, 0, static_cast<std::ptrdiff_t>(v.cols) * v.col_stride);
  return v;
}

std::optional<VectorView> as_vector(PyObject* obj, ArgName name) {
  PyArrayObject* arr = as_float_array(obj, 1, name);
  if (!arr) return std::nullopt;
  VectorView v;
  v.data = static_cast<const double*>(PyArray_DATA(arr));
  v.size = static_cast<std::size_t>(PyArray_DIMS(arr)[0]);
  v.stride = element_stride(arr, 0, 1);
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
  // Python ints, and integer-like objects such as NumPy integers (through __index__,
  // which may run Python code: callers hold their borrow guard already). Floats and
  // strings are refused.
  PyRef index;
  if (PyLong_Check(obj)) {
    index = PyRef::borrow(obj);
  } else if (!is_text_like(obj) && PyIndex_Check(obj)) {
    index = PyRef(PyNumber_Index(obj));
    if (!index) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        type_error(name, "int", obj);
      }
      return std::nullopt;
    }
  } else {
    type_error(name, "int", obj);
    return std::nullopt;
  }
  // PyLong_AsUnsignedLongLong raises OverflowError for negative and too-large values.
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
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
  if (!s) {
    // Only lone surrogates make a str unencodable.
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' is not valid text (lone surrogate)",
                 name.function, name.argument);
    return std::nullopt;
  }
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
  // The snapshot below holds a slot and possibly a new object per item (a range makes its
  // items on the fly), about six doubles' worth: a length whose snapshot could not fit in
  // memory is refused before it is built. A sequence without a length is read as before.
  const Py_ssize_t len = PySequence_Size(obj);
  if (len < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;  // e.g. OverflowError
    PyErr_Clear();
  } else if (static_cast<std::size_t>(len) > max_matrix_elements() / 6) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' has %zd items, too many for this machine's memory",
                 name.function, name.argument, len);
    return std::nullopt;
  }
  // A tuple snapshot: item conversions may run Python code (__index__, __float__) that
  // changes the caller's list, and must not make this loop read past its end.
  PyRef seq(PySequence_Tuple(obj));
  if (!seq) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error(name, expected, obj);
    }
    return std::nullopt;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::borrow(PyTuple_GET_ITEM(seq.get(), i));
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
  // The copies together may take at most max_matrix_elements(), checked before each copy
  // (an item may be a broadcast view of any size that holds almost no memory itself).
  const double limit = static_cast<double>(max_matrix_elements());
  double total = 0.0;
  return convert_sequence<Matrix>(
      obj, name, "a sequence of 2-D float64 arrays", [&](PyObject* item) -> std::optional<Matrix> {
        auto v = as_matrix(item, name);
        if (!v) return std::nullopt;
        total += static_cast<double>(v->rows) * static_cast<double>(v->cols);
        if (total > limit) {
          PyErr_Format(PyExc_ValueError,
                       "%s() argument '%s' holds arrays too large to copy in this machine's memory",
                       name.function, name.argument);
          return std::nullopt;
        }
        return Matrix::from(*v);
      });
}

PyObject* to_numpy(const Vector& v) {
  npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  if (v.size()) std::memcpy(dst, v.data(), v.size() * sizeof(double));
  return arr;
}

PyObject* to_numpy(const Matrix& m) {
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
  PyObject* arr = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  if (m.size()) std::memcpy(dst, m.data(), m.size() * sizeof(double));
  return arr;
}

}  // namespace velkan::py
