// Test access to the error values of the core, their renderings, the one translation
// point into Python exceptions, the C++ exception backstop and the borrow flag.
#include <new>
#include <stdexcept>
#include <string>

#include "common/gam_error.h"
#include "linalg/linalg_failure.h"
#include "python/support/borrow.h"
#include "python/support/errors.h"
#include "python/testing/registry.h"

namespace {

using velkan::GamError;
using velkan::GamErrorKind;

// Parses (kind, payload) into a GamError; kind is the variant index 0..5.
bool parse_error(PyObject* args, GamError* out, const char** prefix) {
  int kind = 0;
  const char* payload = nullptr;
  Py_ssize_t payload_len = 0;
  *prefix = "";
  if (!PyArg_ParseTuple(args, "is#|s", &kind, &payload, &payload_len, prefix)) return false;
  if (kind < 0 || kind > 5) {
    PyErr_SetString(PyExc_ValueError, "variant index must be 0..5");
    return false;
  }
  *out = GamError(static_cast<GamErrorKind>(kind),
                  std::string(payload, static_cast<std::size_t>(payload_len)));
  if (out->kind() == GamErrorKind::SingularMatrix) *out = GamError::singular_matrix();
  return true;
}

// gam_error_render(kind, payload) -> (display, debug)
PyObject* gam_error_render(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    GamError e = GamError::singular_matrix();
    const char* prefix = nullptr;
    if (!parse_error(args, &e, &prefix)) return nullptr;
    const std::string display = e.display(), debug = e.debug();
    return Py_BuildValue("(s#s#)", display.data(), static_cast<Py_ssize_t>(display.size()),
                         debug.data(), static_cast<Py_ssize_t>(debug.size()));
  });
}

// raise_gam_error(kind, payload, prefix=""): raises what a binding raises for that error.
PyObject* raise_gam_error(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    GamError e = GamError::singular_matrix();
    const char* prefix = nullptr;
    if (!parse_error(args, &e, &prefix)) return nullptr;
    return velkan::py::raise(velkan::ModelError{e}, prefix);
  });
}

// raise_usage_error(message, prefix=""): an interface-owned message.
PyObject* raise_usage_error(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* message = nullptr;
    const char* prefix = "";
    if (!PyArg_ParseTuple(args, "s|s", &message, &prefix)) return nullptr;
    return velkan::py::raise(velkan::ModelError{velkan::UsageError{message}}, prefix);
  });
}

// linalg_failure_debug(case, code) with case "info", "invalid_shape" or "not_square".
PyObject* linalg_failure_debug(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* which = nullptr;
    int a = 0, b = 0;
    if (!PyArg_ParseTuple(args, "s|ii", &which, &a, &b)) return nullptr;
    const std::string w(which);
    velkan::LinalgFailure f;
    if (w == "info") f = velkan::LinalgFailure::lapack_info(a);
    else if (w == "invalid_shape") f = velkan::LinalgFailure::invalid_shape();
    else if (w == "not_square") f = velkan::LinalgFailure::not_square(a, b);
    else return velkan::py::raise_value_error("unknown case");
    const std::string text = f.debug();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// guarded_throw(what): a binding body that throws, or fails without setting an error.
PyObject* guarded_throw(PyObject*, PyObject* args) {
  const char* what = nullptr;
  if (!PyArg_ParseTuple(args, "s", &what)) return nullptr;
  const std::string w(what);
  return velkan::py::guarded([&]() -> PyObject* {
    if (w == "bad_alloc") throw std::bad_alloc();
    if (w == "runtime_error") throw std::runtime_error("boom");
    if (w == "int") throw 42;
    if (w == "null") return nullptr;
    if (w == "value_and_error") {
      PyErr_SetString(PyExc_ValueError, "pending");
      return Py_NewRef(Py_None);
    }
    return Py_NewRef(Py_None);
  });
}

// borrow_nested(outer, inner): takes `outer` then `inner` ("shared" / "exclusive") on one
// flag. Returns (message of the inner conflict or None, whether the flag is free again
// once both guards are gone).
PyObject* borrow_nested(PyObject*, PyObject* args) {
  const char* outer = nullptr;
  const char* inner = nullptr;
  if (!PyArg_ParseTuple(args, "ss", &outer, &inner)) return nullptr;
  auto access = [](const std::string& s) {
    return s == "exclusive" ? velkan::py::Access::Exclusive : velkan::py::Access::Shared;
  };
  velkan::py::BorrowFlag flag;
  PyObject* message = nullptr;
  {
    velkan::py::BorrowGuard first(flag, access(outer));
    if (!first) return nullptr;
    velkan::py::BorrowGuard second(flag, access(inner));
    if (!second) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyErr_NormalizeException(&type, &value, &tb);
      const bool runtime = PyErr_GivenExceptionMatches(type, PyExc_RuntimeError);
      message = runtime ? PyObject_Str(value) : nullptr;
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      if (!message) {
        PyErr_SetString(PyExc_AssertionError, "conflict did not raise RuntimeError");
        return nullptr;
      }
    }
  }
  const bool free_again = flag.free();
  PyObject* m = message ? message : Py_NewRef(Py_None);
  return Py_BuildValue("(NO)", m, free_again ? Py_True : Py_False);
}

velkan::testing::Registrar reg{{
    {"gam_error_render", gam_error_render, METH_VARARGS, nullptr},
    {"raise_gam_error", raise_gam_error, METH_VARARGS, nullptr},
    {"raise_usage_error", raise_usage_error, METH_VARARGS, nullptr},
    {"linalg_failure_debug", linalg_failure_debug, METH_VARARGS, nullptr},
    {"guarded_throw", guarded_throw, METH_VARARGS, nullptr},
    {"borrow_nested", borrow_nested, METH_VARARGS, nullptr},
}};

}  // namespace
