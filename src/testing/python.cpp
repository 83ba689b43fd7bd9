// velkan_core's own binding layer: its argument converters (each exposed as argument
// 'arg' of a conv_ function, views coming back as copies), its translation of errors into
// exceptions, the C++ exception backstop and the borrow flag.
#include <new>
#include <stdexcept>

#include "testing/bind.h"
#include "velkan_core/python/support/borrow.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"

namespace velkan::testing {
namespace {

// The value of a converter; its exception (set by the converter) raised otherwise.
template <class T>
T converted(std::optional<T> v) {
  if (!v) throw nb::python_error();
  return std::move(*v);
}

// A PyObject* result of velkan_core's binding layer as an object: a new reference, or
// nullptr with an exception set.
nb::object result(PyObject* r) {
  if (!r) throw nb::python_error();
  return nb::steal(r);
}

py::Access access_named(const std::string& s) {
  return s == "exclusive" ? py::Access::Exclusive : py::Access::Shared;
}

// borrow_nested(outer, inner): takes `outer` then `inner` ("shared" / "exclusive") on one
// flag -> (message of the inner conflict or None, whether the flag is free again).
std::tuple<std::optional<std::string>, bool> borrow_nested(const std::string& outer,
                                                           const std::string& inner) {
  py::BorrowFlag flag;
  std::optional<std::string> message;
  {
    py::BorrowGuard first(flag, access_named(outer));
    if (!first) throw nb::python_error();
    py::BorrowGuard second(flag, access_named(inner));
    if (!second) {
      nb::python_error conflict;
      if (!conflict.matches(PyExc_RuntimeError)) throw conflict;
      message = nb::str(conflict.value()).c_str();
    }
  }
  return {message, flag.free()};
}

}  // namespace

void bind_python(nb::module_& m) {
  m.def("conv_matrix", [](nb::handle o) {
    return Matrix::from(converted(py::as_matrix(o.ptr(), {"conv_matrix", "arg"})));
  });
  m.def("conv_vector", [](nb::handle o) {
    return Vector::from(converted(py::as_vector(o.ptr(), {"conv_vector", "arg"})));
  });
  m.def("conv_sizes", [](nb::handle o) {
    return converted(py::as_sizes(o.ptr(), {"conv_sizes", "arg"}));
  });
  m.def("conv_floats", [](nb::handle o) {
    return Vector(converted(py::as_floats(o.ptr(), {"conv_floats", "arg"})));
  });
  m.def("conv_matrix_list", [](nb::handle o) {
    return converted(py::as_matrix_list(o.ptr(), {"conv_matrix_list", "arg"}));
  });
  m.def("conv_string", [](nb::handle o) {
    return converted(py::as_string(o.ptr(), {"conv_string", "arg"}));
  });
  m.def("conv_size", [](nb::handle o) {
    return converted(py::as_size(o.ptr(), {"conv_size", "arg"}));
  });
  m.def("conv_double", [](nb::handle o) {
    return converted(py::as_double(o.ptr(), {"conv_double", "arg"}));
  });
  m.def("conv_bool", [](nb::handle o) {
    return converted(py::as_bool(o.ptr(), {"conv_bool", "arg"}));
  });

  // Error values (kind: the variant index 0..5) through velkan_core's translation.
  m.def(
      "raise_gam_error",
      [](std::size_t kind, std::string payload, std::optional<std::string> prefix) {
        return result(
            py::raise(ModelError{error_value(kind, std::move(payload))}, prefix.value_or("")));
      },
      nb::arg("kind"), nb::arg("payload"), nb::arg("prefix") = nb::none());
  m.def("raise_usage_error", [](std::string message) {
    return result(py::raise(ModelError{UsageError{std::move(message)}}));
  });
  // A binding body that throws, or fails without setting an error, inside the backstop.
  m.def("guarded_throw", [](const std::string& what) {
    return result(py::guarded([&]() -> PyObject* {
      if (what == "bad_alloc") throw std::bad_alloc();
      if (what == "runtime_error") throw std::runtime_error("boom");
      if (what == "int") throw 42;
      if (what == "null") return nullptr;
      if (what == "value_and_error") PyErr_SetString(PyExc_ValueError, "pending");
      return Py_NewRef(Py_None);
    }));
  });
  m.def("borrow_nested", borrow_nested);
}

}  // namespace velkan::testing
