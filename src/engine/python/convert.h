// Conversion between NumPy arrays and the core's vectors and matrices for the engine's
// nanobind bindings, and the one place core errors become Python exceptions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "bindings/released_gil.h"
#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan::engine {

namespace nb = nanobind;

using Array1 = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
using Array2 = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Out1 = nb::ndarray<nb::numpy, double, nb::ndim<1>>;
using Out2 = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

// NumPy arrays need not be aligned for their type (one unpickled from a byte buffer, a
// view at an odd byte offset), but the core reads doubles in place. `Inputs` views the
// caller's arrays and first copies any unaligned one into storage of its own, which lives
// as long as the `Inputs` object: declare one per call, before the views it hands out.
class Inputs {
 public:
  VectorView operator()(const Array1& a) {
    const auto stride = static_cast<std::ptrdiff_t>(a.stride(0));
    if (aligned(a.data())) return {a.data(), a.shape(0), stride};
    auto& copy = copies_.emplace_back(a.shape(0));
    copy_unaligned(a.data(), a.shape(0), 1, stride, 0, copy.data());
    return {copy.data(), copy.size(), 1};
  }
  VectorView operator()(const std::optional<Array1>& a) { return a ? (*this)(*a) : VectorView{}; }
  MatrixView operator()(const std::optional<Array2>& a) { return a ? (*this)(*a) : MatrixView{}; }
  MatrixView operator()(const Array2& a) {
    const auto rs = static_cast<std::ptrdiff_t>(a.stride(0));
    const auto cs = static_cast<std::ptrdiff_t>(a.stride(1));
    if (aligned(a.data())) return {a.data(), a.shape(0), a.shape(1), rs, cs};
    auto& copy = copies_.emplace_back(a.shape(0) * a.shape(1));
    copy_unaligned(a.data(), a.shape(0), a.shape(1), rs, cs, copy.data());
    return {copy.data(), a.shape(0), a.shape(1), static_cast<std::ptrdiff_t>(a.shape(1)), 1};
  }
  std::vector<VectorView> operator()(const std::vector<Array1>& columns) {
    std::vector<VectorView> v;
    v.reserve(columns.size());
    for (const auto& c : columns) v.push_back((*this)(c));
    return v;
  }

 private:
  static bool aligned(const double* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
  }
  // Row-major copy of a rows x cols array with element strides rs, cs, read bytewise.
  static void copy_unaligned(const double* src, std::size_t rows, std::size_t cols,
                             std::ptrdiff_t rs, std::ptrdiff_t cs, double* dst) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    for (std::size_t i = 0; i < rows; ++i) {
      for (std::size_t j = 0; j < cols; ++j) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs;
        std::memcpy(dst + i * cols + j, bytes + at * static_cast<std::ptrdiff_t>(sizeof(double)),
                    sizeof(double));
      }
    }
  }
  std::deque<std::vector<double>> copies_;
};

// A NumPy array owning a copy of the values.
inline Out1 to_numpy(const Vector& v) {
  auto* data = new double[std::max<std::size_t>(v.size(), 1)];
  if (v.size() > 0) std::memcpy(data, v.data(), v.size() * sizeof(double));
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out1(data, {v.size()}, owner);
}
inline Out2 to_numpy(const Matrix& m) {
  auto* data = new double[std::max<std::size_t>(m.size(), 1)];
  if (m.size() > 0) std::memcpy(data, m.data(), m.size() * sizeof(double));
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return Out2(data, {m.rows(), m.cols()}, owner);
}
inline Vector to_vector(const Array1& a) { return Vector::from(Inputs{}(a)); }
inline Matrix to_matrix(const Array2& a) { return Matrix::from(Inputs{}(a)); }

// Raises the pending Python exception (an interrupt) or the core's error.
[[noreturn]] inline void raise(const GamError& e) {
  if (PyErr_Occurred()) throw nb::python_error();
  throw nb::value_error((e.message().empty() ? e.display() : e.message()).c_str());
}

template <class T>
T value_or_raise(Result<T>&& r) {
  if (!r) raise(r.error());
  return std::move(*r);
}

}  // namespace velkan::engine
