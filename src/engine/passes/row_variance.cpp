#include "engine/passes/row_variance.h"

#include <algorithm>
#include <vector>

#include "diag/format.h"
#include "linalg/lapack.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/row_blocks.h"

namespace velkan::passes {

namespace {

using lapack::lapack_int;

struct Buffers {
  std::vector<double> rows;     // block x width, row-major
  std::vector<double> product;  // block x q, row-major
};

}  // namespace

Status row_variance(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                    std::size_t first_column, VectorView beta, MatrixView cov,
                    std::span<double> fit, std::span<double> variance, std::size_t threads) {
  const std::size_t n = fit.size();
  const std::size_t p = layout.width();
  const std::size_t q = beta.size;
  if (variance.size() != n) {
    return fail(GamError::dimension_mismatch("fit and variance must have one entry per row"));
  }
  if (first_column + q > p || q == 0) {
    return fail(GamError::dimension_mismatch(diag::format(
        "columns {} to {} lie outside a design of {} columns", first_column, first_column + q, p)));
  }
  if (cov.rows != q || cov.cols != q) {
    return fail(GamError::dimension_mismatch(
        diag::format("a covariance of {} x {} for {} coefficients", cov.rows, cov.cols, q)));
  }
  if (auto ok = check_row_inputs(layout, columns, n, {}, {}); !ok) return ok;
  // BLAS reads V column-major: a row-major copy read that way is V', and the product below
  // needs exactly that.
  const Matrix v = Matrix::from(cov);
  const Vector b = Vector::from(beta);
  const std::size_t block = kVarianceBlockRows;
  std::vector<Buffers> buffers(part_count(n, block, threads));

  return for_each_block(
      n, block, buffers.size(),
      [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
        Buffers& buf = buffers[part];
        if (buf.rows.empty()) {
          buf.rows.resize(block * p);
          buf.product.resize(block * q);
        }
        if (auto ok = layout.evaluate_rows(columns, first, count, buf.rows.data(), p); !ok)
          return ok;
        // Rows of the block restricted to B: the row-major count x q matrix A starting at
        // column first_column with row stride p, which BLAS sees as the column-major q x count
        // matrix A'. The product P = A V is formed as P' = V' A' (column-major q x count, which
        // is P row-major).
        const double* a = buf.rows.data() + first_column;
        const auto qi = static_cast<lapack_int>(q);
        const auto ci = static_cast<lapack_int>(count);
        const auto ldp = static_cast<lapack_int>(p);
        const double one = 1.0, zero = 0.0;
        const char no = 'N';
        lapack::scipy_dgemm_(&no, &no, &qi, &ci, &qi, &one, v.data(), &qi, a, &ldp, &zero,
                             buf.product.data(), &qi, 1, 1);
        for (std::size_t i = 0; i < count; ++i) {
          const double* row = a + i * p;
          const double* prod = buf.product.data() + i * q;
          double f = 0.0, s = 0.0;
          for (std::size_t c = 0; c < q; ++c) {
            f += row[c] * b[c];
            s += row[c] * prod[c];
          }
          fit[first + i] = f;
          // A quadratic form of a positive semi-definite V; only rounding makes it negative.
          variance[first + i] = std::max(s, 0.0);
        }
        return {};
      });
}

}  // namespace velkan::passes
