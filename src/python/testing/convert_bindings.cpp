// Test access to the argument converters shared by every Python-facing function.
#include <string>

#include "linalg/matrix.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/testing/registry.h"

namespace {

using namespace velkan::py;

// convert(kind, obj): runs one converter on obj as argument 'arg' of function 'conv' and
// returns what the core would receive (views copied into new arrays).
PyObject* convert(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* kind_c = nullptr;
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &kind_c, &obj)) return nullptr;
    const std::string kind(kind_c);
    const ArgName name{"conv", "arg"};
    if (kind == "matrix") {
      auto v = as_matrix(obj, name);
      return v ? to_numpy(velkan::Matrix::from(*v)) : nullptr;
    }
    if (kind == "vector") {
      auto v = as_vector(obj, name);
      return v ? to_numpy(velkan::Vector::from(*v)) : nullptr;
    }
    if (kind == "contiguous_vector") {
      auto v = as_contiguous_vector(obj, name);
      return v ? to_numpy(velkan::Vector::from(*v)) : nullptr;
    }
    if (kind == "sizes") {
      auto v = as_sizes(obj, name);
      if (!v) return nullptr;
      PyObject* out = PyList_New(static_cast<Py_ssize_t>(v->size()));
      if (!out) return nullptr;
      for (std::size_t i = 0; i < v->size(); ++i) {
        PyObject* item = PyLong_FromSize_t((*v)[i]);
        if (!item) {
          Py_DECREF(out);
          return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
      }
      return out;
    }
    if (kind == "floats") {
      auto v = as_floats(obj, name);
      return v ? to_numpy(velkan::Vector(std::move(*v))) : nullptr;
    }
    if (kind == "matrix_list") {
      auto v = as_matrix_list(obj, name);
      if (!v) return nullptr;
      PyObject* out = PyList_New(static_cast<Py_ssize_t>(v->size()));
      if (!out) return nullptr;
      for (std::size_t i = 0; i < v->size(); ++i) {
        PyObject* item = to_numpy((*v)[i]);
        if (!item) {
          Py_DECREF(out);
          return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
      }
      return out;
    }
    if (kind == "string") {
      auto v = as_string(obj, name);
      return v ? PyUnicode_FromStringAndSize(v->data(), static_cast<Py_ssize_t>(v->size()))
               : nullptr;
    }
    if (kind == "size") {
      auto v = as_size(obj, name);
      return v ? PyLong_FromSize_t(*v) : nullptr;
    }
    if (kind == "double") {
      auto v = as_double(obj, name);
      return v ? PyFloat_FromDouble(*v) : nullptr;
    }
    if (kind == "bool") {
      auto v = as_bool(obj, name);
      return v ? PyBool_FromLong(*v) : nullptr;
    }
    return raise_value_error("unknown converter");
  });
}

velkan::testing::Registrar reg{{
    {"convert", convert, METH_VARARGS, nullptr},
}};

}  // namespace
