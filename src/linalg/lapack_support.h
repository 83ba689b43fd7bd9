// Shared plumbing of the LAPACK-backed operations: 32-bit dimension checks, column-major
// copies of strided views, the workspace query and the mapping of INFO to LinalgFailure.
// Internal to src/linalg.
#pragma once

#include <cstddef>
#include <expected>
#include <vector>

#include "linalg/lapack.h"
#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"

namespace velkan::lapack {

// n as a LAPACK integer; Lapack(InvalidShape) when it does not fit 32 bits.
LinalgResult<lapack_int> dim(std::size_t n);

// INFO < 0 -> Lapack(LapackInvalidValue), INFO > 0 -> Lapack(LapackComputationalFailure).
inline LinalgResult<void> check_info(lapack_int info) {
  if (info != 0) return std::unexpected(LinalgFailure::lapack_info(info));
  return {};
}

// A dense column-major copy of a matrix, in the layout LAPACK expects. The leading
// dimension is at least 1 even for an empty matrix (LAPACK rejects lda = 0).
struct ColMajor {
  std::vector<double> data;
  lapack_int rows = 0;
  lapack_int cols = 0;
  lapack_int ld = 1;

  // Copies any strided view; InvalidShape when a dimension does not fit 32 bits.
  static LinalgResult<ColMajor> from(MatrixView a);
  // A zero-filled rows x cols buffer.
  static LinalgResult<ColMajor> zeros(std::size_t rows, std::size_t cols);

  double& at(lapack_int i, lapack_int j) {
    return data[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * ld];
  }
  double at(lapack_int i, lapack_int j) const {
    return data[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * ld];
  }
  // The leading r x c block as a row-major Matrix.
  Matrix to_matrix(lapack_int r, lapack_int c) const;
  Matrix to_matrix() const { return to_matrix(rows, cols); }
};

// Runs a routine's workspace query and returns a workspace of the size it asks for.
// `call(work, lwork, info)` must invoke the routine with every other argument bound;
// it is called once here with lwork = -1.
template <class Call>
LinalgResult<std::vector<double>> query_workspace(Call&& call) {
  double optimal = 0.0;
  const lapack_int query = -1;
  lapack_int info = 0;
  call(&optimal, &query, &info);
  if (auto ok = check_info(info); !ok) return std::unexpected(ok.error());
  // The size comes back as a double holding an integer; anything beyond 32 bits (or NaN)
  // cannot be passed back as LWORK.
  if (!(optimal < 2147483647.0)) return std::unexpected(LinalgFailure::invalid_shape());
  const auto size = static_cast<std::size_t>(optimal + 0.5);
  return std::vector<double>(size < 1 ? 1 : size);
}

}  // namespace velkan::lapack
