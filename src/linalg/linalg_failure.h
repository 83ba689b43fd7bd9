// The error value of the LAPACK-backed operations. Callers wrap its debug rendering in a
// message of their own ("QR decomposition failed: {}"); no linalg file builds a GamError
// message for these operations.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace velkan {

struct LinalgFailure {
  enum class Kind { NotSquare, Lapack, NotStandardShape };
  enum class LapackKind { InvalidValue, ComputationalFailure, InvalidShape };

  Kind kind = Kind::Lapack;
  LapackKind lapack = LapackKind::ComputationalFailure;
  std::int64_t rows = 0, cols = 0;     // NotSquare, NotStandardShape
  std::int32_t return_code = 0;        // Lapack InvalidValue / ComputationalFailure
  std::int32_t obj = 0;                // NotStandardShape: 0-based index of the argument

  static LinalgFailure not_square(std::int64_t r, std::int64_t c);
  static LinalgFailure lapack_info(std::int32_t info);  // < 0 invalid value, > 0 failure
  static LinalgFailure invalid_shape();                 // a dimension does not fit 32 bits

  // Debug-style rendering, e.g. "Lapack(LapackComputationalFailure { return_code: 2 })",
  // "NotSquare { rows: 2, cols: 3 }".
  std::string debug() const;
};

template <class T>
using LinalgResult = std::expected<T, LinalgFailure>;

}  // namespace velkan
