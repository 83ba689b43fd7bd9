// How the test-only module's functions see the core's values, as nanobind type casters:
//
//   VectorView, MatrixView   arguments: float64 arrays of one / two dimensions read in place
//                            with their own strides (counted in elements), kept alive for
//                            the call; misaligned data is refused.
//   Vector, Matrix           arguments: copies of the same; results: new NumPy arrays.
//   Result<T>, LinalgResult<T>, ModelResult<T>
//                            results: the value as T converts, or, for a failure,
//                            ValueError with the GamError's display text (a UsageError's
//                            text as it is) or the LinalgFailure's debug rendering. An
//                            exception already pending (a signal handler's, raised while
//                            the core ran without the interpreter lock) propagates
//                            instead of the core's failure.
//
// released(f) binds a function that runs without the interpreter lock (see run_released):
// its arguments are converted before the lock is given up, its result after it is back.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/released_gil.h"
#include "common/gam_error.h"
#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"

namespace velkan::testing {

namespace nb = nanobind;

// Sets ValueError with `text` (decoded leniently, so a payload that is not UTF-8 still
// arrives) unless an exception is pending already.
inline void set_failure(std::string_view text) {
  if (PyErr_Occurred()) return;
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
}
inline void set_failure(const GamError& e) { set_failure(e.display()); }
inline void set_failure(const LinalgFailure& f) { set_failure(f.debug()); }
// A usage error's text verbatim, a GamError's display text.
inline void set_failure(const ModelError& e) {
  if (const auto* usage = std::get_if<UsageError>(&e)) return set_failure(usage->message);
  set_failure(std::get<GamError>(e));
}

// The value of a core result; a failure raised as the Result caster raises it.
template <class T, class E>
T unwrap(std::expected<T, E>&& r) {
  if (!r) {
    set_failure(r.error());
    throw nb::python_error();
  }
  if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// The value of `r` passed through `f`, or its error.
template <class T, class E, class F>
auto map_value(std::expected<T, E>&& r, F f) -> std::expected<decltype(f(std::move(*r))), E> {
  if (!r) return std::unexpected(std::move(r.error()));
  return f(std::move(*r));
}

// Runs `f` (C++ values in, C++ values out) through without_gil. An exception that a signal
// handler raised meanwhile (the core polls for interrupts while the lock is given up)
// propagates, whatever f returned: a value computed up to an interrupt may be incomplete.
template <class F>
auto run_released(F&& f) {
  auto out = without_gil(std::forward<F>(f));
  if (PyErr_Occurred()) throw nb::python_error();
  return out;
}

template <class F, class R, class... A>
auto released_call(F f, R (F::*)(A...) const) {
  return [f = std::move(f)](A... args) -> R {
    return run_released([&]() -> R { return f(std::forward<A>(args)...); });
  };
}
// `f`: a lambda or function whose parameters and result are C++ values only (no Python
// objects).
template <class F>
auto released(F f) {
  return released_call(std::move(f), &F::operator());
}
template <class R, class... A>
auto released(R (*f)(A...)) {
  return released([f](A... args) -> R { return f(std::forward<A>(args)...); });
}

}  // namespace velkan::testing

namespace nanobind::detail {

template <int N>
using CoreArray = ndarray<const double, ndim<N>, device::cpu>;

inline bool aligned(const double* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
}

template <>
struct type_caster<velkan::VectorView> {
  NB_TYPE_CASTER(velkan::VectorView, const_name("numpy.ndarray[float64, 1-D]"))
  make_caster<CoreArray<1>> array;
  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    if (!array.from_python(src, flags, cleanup)) return false;
    const auto& a = array.value;
    if (!aligned(a.data())) return false;
    value = {a.data(), a.shape(0), static_cast<std::ptrdiff_t>(a.stride(0))};
    return true;
  }
};

template <>
struct type_caster<velkan::MatrixView> {
  NB_TYPE_CASTER(velkan::MatrixView, const_name("numpy.ndarray[float64, 2-D]"))
  make_caster<CoreArray<2>> array;
  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    if (!array.from_python(src, flags, cleanup)) return false;
    const auto& a = array.value;
    if (!aligned(a.data())) return false;
    value = {a.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.stride(0)),
             static_cast<std::ptrdiff_t>(a.stride(1))};
    return true;
  }
};

// A new NumPy array holding a copy of n doubles in the given shape; a null handle with an
// exception set on failure.
template <int N>
handle numpy_copy(const double* data, std::size_t n, const std::size_t (&shape)[N]) noexcept {
  try {
    std::unique_ptr<double[]> copy(new double[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(copy.get(), data, n * sizeof(double));
    capsule owner(copy.get(), [](void* p) noexcept { delete[] static_cast<double*>(p); });
    const ndarray<numpy, double, ndim<N>> out(copy.release(), N, shape, owner);
    return make_caster<ndarray<numpy, double, ndim<N>>>::from_cpp(out, rv_policy::automatic,
                                                                  nullptr);
  } catch (python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return handle();
}

template <>
struct type_caster<velkan::Vector> {
  NB_TYPE_CASTER(velkan::Vector, const_name("numpy.ndarray[float64, 1-D]"))
  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    make_caster<velkan::VectorView> view;
    if (!view.from_python(src, flags, cleanup)) return false;
    value = velkan::Vector::from(view.value);
    return true;
  }
  static handle from_cpp(const velkan::Vector& v, rv_policy, cleanup_list*) noexcept {
    return numpy_copy<1>(v.data(), v.size(), {v.size()});
  }
};

template <>
struct type_caster<velkan::Matrix> {
  NB_TYPE_CASTER(velkan::Matrix, const_name("numpy.ndarray[float64, 2-D]"))
  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    make_caster<velkan::MatrixView> view;
    if (!view.from_python(src, flags, cleanup)) return false;
    value = velkan::Matrix::from(view.value);
    return true;
  }
  static handle from_cpp(const velkan::Matrix& m, rv_policy, cleanup_list*) noexcept {
    return numpy_copy<2>(m.data(), m.size(), {m.rows(), m.cols()});
  }
};

template <class T, class E>
struct type_caster<std::expected<T, E>> {
  using Value = std::expected<T, E>;
  static constexpr auto Name = make_caster<T>::Name;
  template <class T_>
  using Cast = movable_cast_t<T_>;
  template <class T_>
  static constexpr bool can_cast() {
    return true;
  }
  template <class R>
  static handle from_cpp(R&& r, rv_policy policy, cleanup_list* cleanup) noexcept {
    if (!r) {
      velkan::testing::set_failure(r.error());
      return handle();
    }
    if constexpr (std::is_void_v<T>) {
      return none().release();
    } else {
      return make_caster<T>::from_cpp(std::forward<R>(r).value(), policy, cleanup);
    }
  }
};

}  // namespace nanobind::detail
