#include "velkan_core/reml/blockwise_qr.h"

#include <algorithm>
#include <cmath>

#include "common/interrupt.h"
#include "diag/format.h"
#include "velkan_core/reml/augmented.h"

namespace velkan {

Result<Matrix> compute_r_blockwise(MatrixView x, VectorView w, std::span<const double> lambdas,
                                   std::span<const Matrix> sqrt_penalties) {
  const std::size_t n = x.rows, p = x.cols;
  if (w.size != n)
    return fail(GamError::dimension_mismatch(
        diag::format("X has {} rows but w has {} elements", {n, w.size})));
  for (std::size_t j = 0; j < sqrt_penalties.size(); ++j) {
    if (sqrt_penalties[j].rows() != p)
      return fail(GamError::dimension_mismatch(
          diag::format("Penalty square root {} has {} rows but X has {} columns",
                       {j, sqrt_penalties[j].rows(), p})));
  }

  const std::size_t total_pen = total_rank(sqrt_penalties);
  if (total_pen == 0 && n == 0) return fail(GamError::invalid_parameter("No blocks processed"));

  // One buffer for every step: the carried triangle in its first p rows, the next block's
  // weighted rows below it. Its size bounds the memory of the whole accumulation.
  const std::size_t block = std::min(n, kBlockRows);
  Matrix buffer(p + block, p);
  // Rows [start, stop) of sqrt(W) X into the buffer at row `at`.
  auto load_block = [&](std::size_t start, std::size_t stop, std::size_t at) {
    for (std::size_t i = start; i < stop; ++i) {
      const double s = std::sqrt(w[i]);
      double* row = buffer.row_ptr(at + (i - start));
      for (std::size_t j = 0; j < p; ++j) row[j] = s * x(i, j);
    }
  };
  auto rows_view = [&](std::size_t first, std::size_t count) {
    MatrixView v = buffer.view();
    v.data = buffer.data() + first * p;
    v.rows = count;
    return v;
  };

  Matrix r;
  std::size_t next_row = 0;
  if (total_pen > 0) {
    // The penalty rows, in penalty order, exactly as in the augmented matrix Z.
    Matrix pen(total_pen, p);
    const std::size_t filled = std::min(lambdas.size(), sqrt_penalties.size());
    std::size_t offset = 0;
    for (std::size_t j = 0; j < sqrt_penalties.size(); ++j) {
      const Matrix& l = sqrt_penalties[j];
      if (j < filled) {
        const double s = std::sqrt(lambdas[j]);
        for (std::size_t c = 0; c < l.cols(); ++c)
          for (std::size_t a = 0; a < p; ++a) pen(offset + c, a) = s * l(a, c);
      }
      offset += l.cols();
    }
    auto t = qr_triangle(pen);
    if (!t) return fail(GamError::linalg_error("QR decomposition failed"));
    r = std::move(*t);
  } else {
    // No penalty rows: the first block is factored on its own (zero rows of the triangle
    // stay zero when it has fewer than p rows).
    const std::size_t stop = std::min(n, kBlockRows);
    load_block(0, stop, 0);
    auto t = qr_triangle(rows_view(0, stop));
    if (!t) return fail(GamError::linalg_error("First block QR failed"));
    r = std::move(*t);
    next_row = stop;
  }

  // Each update replaces [R; B] by a triangle with the same Gram matrix.
  for (std::size_t start = next_row; start < n; start += kBlockRows) {
    if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
    const std::size_t stop = std::min(n, start + kBlockRows);
    std::copy(r.data(), r.data() + p * p, buffer.data());
    load_block(start, stop, p);
    auto t = qr_triangle(rows_view(0, p + (stop - start)));
    if (!t) return fail(GamError::linalg_error("Block QR update failed"));
    r = std::move(*t);
  }
  return r;
}

}  // namespace velkan
