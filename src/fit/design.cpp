#include "fit/design.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace velkan {

namespace {

double infinity_norm(MatrixView m) {
  double best = 0.0;
  for (std::size_t i = 0; i < m.rows; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < m.cols; ++j) sum += std::abs(m(i, j));
    // NaN rows do not decide the norm (std::max keeps the first argument on NaN).
    best = std::max(best, sum);
  }
  return best;
}

}  // namespace

std::size_t max_matrix_elements() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::size_t{1} << 31;
  const double bytes = static_cast<double>(pages) * static_cast<double>(page_size);
  return static_cast<std::size_t>(bytes / 3.0 / sizeof(double));
}

Result<ModelDesign> build_design(std::span<const SmoothTerm> terms, MatrixView x) {
  ModelDesign design;
  std::size_t p = 0;
  for (const SmoothTerm& term : terms) {
    if (term.column >= x.cols) {
      return fail(GamError::dimension_mismatch(
          "smooth '" + term.name + "' uses column " + std::to_string(term.column) +
          " but X has " + std::to_string(x.cols) + " columns"));
    }
    design.offsets.push_back(p);
    design.widths.push_back(term.width());
    p += term.width();
  }
  const std::size_t n = x.rows;
  if (p != 0 && n > max_matrix_elements() / p) {
    return fail(GamError::invalid_parameter("design matrix of " + std::to_string(n) + " x " +
                                            std::to_string(p) +
                                            " does not fit in this machine's memory"));
  }
  design.x = Matrix(n, p);
  for (std::size_t j = 0; j < terms.size(); ++j) {
    const SmoothTerm& term = terms[j];
    auto block = term.basis->evaluate(x.col(term.column));
    if (!block) return fail(block.error());
    Matrix b = std::move(*block);
    if (term.constraint) {
      if (term.constraint->rows() != b.cols()) {
        return fail(GamError::dimension_mismatch("constraint of smooth '" + term.name +
                                                 "' does not match its basis"));
      }
      Matrix c(b.rows(), term.constraint->cols());
      for (std::size_t i = 0; i < b.rows(); ++i)
        for (std::size_t a = 0; a < b.cols(); ++a) {
          const double v = b(i, a);
          for (std::size_t q = 0; q < c.cols(); ++q) c(i, q) += v * (*term.constraint)(a, q);
        }
      b = std::move(c);
    }
    if (b.rows() != n || b.cols() != design.widths[j]) {
      return fail(GamError::dimension_mismatch("basis of smooth '" + term.name +
                                               "' has an unexpected shape"));
    }
    design.block_norms.push_back(infinity_norm(b));
    const std::size_t off = design.offsets[j];
    const std::size_t w = design.widths[j];
    for (std::size_t i = 0; i < n; ++i) std::copy_n(b.row_ptr(i), w, design.x.row_ptr(i) + off);
  }
  return design;
}

std::vector<Matrix> scaled_penalties(std::span<const SmoothTerm> terms, const ModelDesign& design,
                                     std::vector<double>* scales) {
  const std::size_t p = design.x.cols();
  std::vector<Matrix> out;
  out.reserve(terms.size());
  if (scales) scales->clear();
  for (std::size_t j = 0; j < terms.size(); ++j) {
    const std::size_t w = design.widths[j];
    const std::size_t off = design.offsets[j];
    const Matrix& s = terms[j].penalty;
    // Only the leading w x w block of the penalty belongs to the (possibly constrained) basis.
    const std::size_t rows = std::min(w, s.rows());
    const std::size_t cols = std::min(w, s.cols());
    double s_norm = 0.0;
    for (std::size_t a = 0; a < rows; ++a) {
      double sum = 0.0;
      for (std::size_t b = 0; b < cols; ++b) sum += std::abs(s(a, b));
      s_norm = std::max(s_norm, sum);
    }
    const double b_norm = design.block_norms[j];
    const double c = s_norm > kPenaltyNormFloor ? b_norm * b_norm / s_norm : 1.0;
    if (scales) scales->push_back(c);
    Matrix full(p, p);
    for (std::size_t a = 0; a < rows; ++a)
      for (std::size_t b = 0; b < cols; ++b) full(off + a, off + b) = c * s(a, b);
    out.push_back(std::move(full));
  }
  return out;
}

}  // namespace velkan
