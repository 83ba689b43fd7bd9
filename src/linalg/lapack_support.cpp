#include "linalg/lapack_support.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace velkan::lapack {

namespace {
// Tile edge of the blocked copies between layouts: a 32 x 32 tile of doubles is 8 KiB,
// so the source and the destination tile both stay in L1 whatever the strides.
constexpr std::size_t kTile = 32;
}  // namespace

LinalgResult<lapack_int> dim(std::size_t n) {
  if (n > static_cast<std::size_t>(std::numeric_limits<lapack_int>::max())) {
    return std::unexpected(LinalgFailure::invalid_shape());
  }
  return static_cast<lapack_int>(n);
}

LinalgResult<ColMajor> ColMajor::zeros(std::size_t rows, std::size_t cols) {
  auto r = dim(rows);
  auto c = dim(cols);
  if (!r || !c) return std::unexpected(LinalgFailure::invalid_shape());
  ColMajor out;
  out.rows = *r;
  out.cols = *c;
  out.ld = std::max<lapack_int>(1, *r);
  out.data.assign(static_cast<std::size_t>(out.ld) * cols, 0.0);
  return out;
}

LinalgResult<ColMajor> ColMajor::from(MatrixView a) {
  auto out = zeros(a.rows, a.cols);
  if (!out) return out;
  double* dst = out->data.data();
  const std::size_t ld = static_cast<std::size_t>(out->ld);
  if (a.is_col_major()) {
    for (std::size_t j = 0; j < a.cols; ++j) {
      const double* src = a.data + static_cast<std::ptrdiff_t>(j) * a.col_stride;
      std::copy(src, src + a.rows, dst + j * ld);
    }
    return out;
  }
  for (std::size_t i0 = 0; i0 < a.rows; i0 += kTile) {
    const std::size_t i1 = std::min(a.rows, i0 + kTile);
    for (std::size_t j0 = 0; j0 < a.cols; j0 += kTile) {
      const std::size_t j1 = std::min(a.cols, j0 + kTile);
      for (std::size_t i = i0; i < i1; ++i) {
        for (std::size_t j = j0; j < j1; ++j) dst[i + j * ld] = a(i, j);
      }
    }
  }
  return out;
}

Matrix ColMajor::to_matrix(lapack_int r, lapack_int c) const {
  const auto rows_out = static_cast<std::size_t>(r);
  const auto cols_out = static_cast<std::size_t>(c);
  Matrix m(rows_out, cols_out);
  const std::size_t ldz = static_cast<std::size_t>(ld);
  for (std::size_t j0 = 0; j0 < cols_out; j0 += kTile) {
    const std::size_t j1 = std::min(cols_out, j0 + kTile);
    for (std::size_t i0 = 0; i0 < rows_out; i0 += kTile) {
      const std::size_t i1 = std::min(rows_out, i0 + kTile);
      for (std::size_t j = j0; j < j1; ++j) {
        for (std::size_t i = i0; i < i1; ++i) m(i, j) = data[i + j * ldz];
      }
    }
  }
  return m;
}

}  // namespace velkan::lapack
