// One generic binding for the test-only module: def(name, f) exposes a C++ callable whose
// parameters and result have a conversion below. Arguments are positional; trailing
// std::optional parameters may be left out (or passed None). Each call converts its
// arguments in order (a failed conversion raises TypeError / OverflowError naming
// argument 'arg' of `name`), calls f inside the translation point, and converts the
// result: an error value (GamError) raises ValueError with its display text, a
// LinalgFailure raises ValueError with its debug rendering.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/gam_error.h"
#include "velkan_core/fit/family.h"
#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"
#include "velkan_core/python/support/py_ref.h"

namespace velkan::testing {

using py::ArgName;
using py::PyRef;

// ---- arguments ---------------------------------------------------------------------

template <class T>
bool assign(std::optional<T>&& v, T& out) {
  if (v) out = std::move(*v);
  return v.has_value();
}
inline bool from_python(PyObject* o, ArgName n, MatrixView& v) { return assign(py::as_matrix(o, n), v); }
inline bool from_python(PyObject* o, ArgName n, VectorView& v) { return assign(py::as_vector(o, n), v); }
inline bool from_python(PyObject* o, ArgName n, Matrix& out) {
  auto v = py::as_matrix(o, n);
  if (v) out = Matrix::from(*v);
  return v.has_value();
}
inline bool from_python(PyObject* o, ArgName n, Vector& out) {
  auto v = py::as_vector(o, n);
  if (v) out = Vector::from(*v);
  return v.has_value();
}
inline bool from_python(PyObject* o, ArgName n, std::vector<double>& v) {
  return assign(py::as_floats(o, n), v);
}
inline bool from_python(PyObject* o, ArgName n, std::vector<Matrix>& out) {
  return assign(py::as_matrix_list(o, n), out);
}
inline bool from_python(PyObject* o, ArgName n, std::vector<std::size_t>& out) {
  return assign(py::as_sizes(o, n), out);
}
inline bool from_python(PyObject* o, ArgName n, std::size_t& v) { return assign(py::as_size(o, n), v); }
inline bool from_python(PyObject* o, ArgName n, double& v) { return assign(py::as_double(o, n), v); }
inline bool from_python(PyObject* o, ArgName n, bool& v) { return assign(py::as_bool(o, n), v); }
inline bool from_python(PyObject* o, ArgName n, std::string& v) { return assign(py::as_string(o, n), v); }
// A triangle letter: strings of another length become '?', which the core refuses.
inline bool from_python(PyObject* o, ArgName n, char& out) {
  auto s = py::as_string(o, n);
  if (s) out = s->size() == 1 ? (*s)[0] : '?';
  return s.has_value();
}
inline bool from_python(PyObject* o, ArgName n, Family& out) {
  auto s = py::as_string(o, n);
  if (!s) return false;
  auto f = parse_family(*s);
  if (!f) {
    py::raise_value_error("unknown family");
    return false;
  }
  out = *f;
  return true;
}
inline bool from_python(PyObject* o, ArgName, PyObject*& out) {
  out = o;
  return true;
}
template <class T>
bool from_python(PyObject* o, ArgName n, std::optional<T>& out) {
  if (py::is_none(o)) {
    out.reset();
    return true;
  }
  T v{};
  if (!from_python(o, n, v)) return false;
  out = std::move(v);
  return true;
}

// ---- results -----------------------------------------------------------------------

inline PyObject* to_python(PyObject* o) { return o; }  // a new reference, or NULL with an error set
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_python(std::size_t v) { return PyLong_FromSize_t(v); }
inline PyObject* to_python(std::int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_python(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_python(const Matrix& m) { return py::to_numpy(m); }
inline PyObject* to_python(const Vector& v) { return py::to_numpy(v); }
inline PyObject* to_python(const GamError& e) { return py::raise(e); }
inline PyObject* to_python(const LinalgFailure& f) { return py::raise_value_error(f.debug()); }

template <class... T>
PyObject* to_python(const std::tuple<T...>& t);
template <class T>
PyObject* to_python(const std::vector<T>& v);
template <class T>
PyObject* to_python(const std::optional<T>& v);
template <class T, class E>
PyObject* to_python(const std::expected<T, E>& r);

template <class... T>
PyObject* to_python(const std::tuple<T...>& t) {
  return std::apply([](const auto&... items) { return py::tuple_of({to_python(items)...}); }, t);
}
template <class T>
PyObject* to_python(const std::vector<T>& v) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* item = to_python(v[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}
template <class T>
PyObject* to_python(const std::optional<T>& v) {
  return v ? to_python(*v) : Py_NewRef(Py_None);
}
template <class T, class E>
PyObject* to_python(const std::expected<T, E>& r) {
  if (!r) return to_python(r.error());
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return to_python(*r);
  }
}

// A dict from (key, new reference) pairs; NULL if any value is NULL.
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items);

// ---- definitions -------------------------------------------------------------------

struct Binding {
  const char* name;
  std::function<PyObject*(PyObject* args)> call;
};
std::vector<Binding>& bindings();

template <class F>
struct Signature : Signature<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Signature<R (C::*)(A...) const> : Signature<R (*)(A...)> {};
template <class R, class... A>
struct Signature<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class F>
void def(const char* name, F f) {
  using Args = typename Signature<F>::Args;
  using R = typename Signature<F>::Result;
  bindings().push_back({name, [name, f](PyObject* args) -> PyObject* {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    constexpr auto arity = static_cast<Py_ssize_t>(std::tuple_size_v<Args>);
    Args held{};
    const bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
      [[maybe_unused]] auto one = [&](auto& slot, Py_ssize_t i) {
        if (i < given) return from_python(PyTuple_GET_ITEM(args, i), ArgName{name, "arg"}, slot);
        if constexpr (kIsOptional<std::remove_cvref_t<decltype(slot)>>) return true;
        PyErr_Format(PyExc_TypeError, "%s() takes more arguments", name);
        return false;
      };
      return given <= arity && (one(std::get<I>(held), static_cast<Py_ssize_t>(I)) && ...);
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
    if (!ok) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s() takes fewer arguments", name);
      return nullptr;
    }
    if constexpr (std::is_void_v<R>) {
      std::apply(f, std::move(held));
      Py_RETURN_NONE;
    } else {
      return to_python(std::apply(f, std::move(held)));
    }
  }});
}

// Registers a file's definitions at static initialisation: static Definitions defs{[] {...}};
struct Definitions {
  explicit Definitions(void (*define)()) { define(); }
};

}  // namespace velkan::testing
