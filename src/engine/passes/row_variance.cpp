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

// A layout with a sparse term: each row's non-zeros within the block [first_column,
// first_column + q) (the dense columns there and its group's columns), then the forms
// over those alone, O(nnz^2) a row.
Status sparse_row_variance(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                           std::size_t first_column, const Vector& b, const Matrix& v,
                           std::span<double> fit, std::span<double> variance, std::size_t threads) {
  const terms::SparseTerm& sp = *layout.sparse();
  const std::size_t n = fit.size(), q = b.size(), pd = layout.dense_width(), gw = sp.group_width;
  const std::size_t ws = sp.groups * gw, block = kVarianceBlockRows;
  struct Part {
    std::vector<double> dense, values;
    std::vector<std::size_t> group, index;
    std::vector<double> value;
  };
  std::vector<Part> parts(std::max<std::size_t>(threads, 1));
  // Dense columns that fall in the block, as (position among the dense row, column in block).
  std::vector<std::pair<std::size_t, std::size_t>> dense_in;
  for (std::size_t j = 0; j < pd; ++j) {
    const std::size_t raw = j < sp.raw_offset ? j : j + ws;
    if (raw >= first_column && raw < first_column + q) dense_in.emplace_back(j, raw - first_column);
  }
  return for_each_block(n, block, parts.size(), [&](std::size_t part, std::size_t first,
                                                    std::size_t count) -> Status {
    Part& w = parts[part];
    w.dense.resize(block * pd);
    w.values.resize(block * gw);
    w.group.resize(block);
    if (auto ok = layout.evaluate_split(columns, first, count, w.dense.data(), pd, w.group.data(), w.values.data()); !ok)
      return ok;
    for (std::size_t i = 0; i < count; ++i) {
      w.index.clear();
      w.value.clear();
      for (const auto& [j, c] : dense_in) {
        const double x = w.dense[i * pd + j];
        if (x != 0.0) {
          w.index.push_back(c);
          w.value.push_back(x);
        }
      }
      if (w.group[i] != terms::kNoGroup) {
        for (std::size_t c = 0; c < gw; ++c) {
          const std::size_t raw = sp.raw_offset + w.group[i] * gw + c;
          if (raw >= first_column && raw < first_column + q) {
            w.index.push_back(raw - first_column);
            w.value.push_back(w.values[i * gw + c]);
          }
        }
      }
      double f = 0.0, s = 0.0;
      for (std::size_t a = 0; a < w.index.size(); ++a) {
        f += w.value[a] * b[w.index[a]];
        double row = 0.0;
        for (std::size_t c = 0; c < w.index.size(); ++c) row += v(w.index[a], w.index[c]) * w.value[c];
        s += w.value[a] * row;
      }
      fit[first + i] = f;
      variance[first + i] = std::max(s, 0.0);
    }
    return {};
  });
}

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
  if (layout.sparse()) return sparse_row_variance(layout, columns, first_column, b, v, fit, variance, threads);
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
