#include "velkan_core/reml/augmented.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "diag/sink.h"
#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"

namespace velkan {

namespace {

using diag::Switch;

GamError mismatch(std::string_view tmpl, std::initializer_list<diag::FormatArg> args) {
  return GamError::dimension_mismatch(diag::format(tmpl, args));
}

// The diagonal of R'R is the squared norm of each column of R.
double gram_diagonal(const Matrix& r, std::size_t j) {
  double s = 0.0;
  for (std::size_t i = 0; i <= j && i < r.rows(); ++i) s += r(i, j) * r(i, j);
  return s;
}

void trace_gram_diagonal(const Matrix& r) {
  const std::size_t p = r.cols();
  // Three entries need p >= 2; smaller triangles print what they have.
  if (p >= 2) {
    diag::trace(Switch::GradDebug, "[QR_DEBUG] R'R diagonal: [{:.6}, {:.6}, ..., {:.6}]\n",
                {gram_diagonal(r, 0), gram_diagonal(r, 1), gram_diagonal(r, p - 1)});
  } else if (p == 1) {
    diag::trace(Switch::GradDebug, "[QR_DEBUG] R'R diagonal: [{:.6}]\n", {gram_diagonal(r, 0)});
  } else {
    diag::trace(Switch::GradDebug, "[QR_DEBUG] R'R diagonal: []\n");
  }
}

}  // namespace

Status check_derivative_inputs(VectorView y, MatrixView x, VectorView w,
                               std::span<const double> lambdas, std::span<const Matrix> penalties,
                               std::span<const Matrix> sqrt_penalties) {
  const std::size_t n = x.rows, p = x.cols;
  if (y.size != n) return fail(mismatch("X has {} rows but y has {} elements", {n, y.size}));
  if (w.size != n) return fail(mismatch("X has {} rows but w has {} elements", {n, w.size}));
  if (lambdas.size() != penalties.size())
    return fail(mismatch("Number of lambdas ({}) must match number of penalties ({})",
                         {lambdas.size(), penalties.size()}));
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    if (penalties[j].rows() != p || penalties[j].cols() != p)
      return fail(mismatch("Penalty {} is {}x{} but X has {} columns",
                           {j, penalties[j].rows(), penalties[j].cols(), p}));
  }
  if (!sqrt_penalties.empty()) {
    if (sqrt_penalties.size() != penalties.size())
      return fail(mismatch("Number of penalty square roots ({}) must match number of penalties ({})",
                           {sqrt_penalties.size(), penalties.size()}));
    for (std::size_t j = 0; j < sqrt_penalties.size(); ++j) {
      if (sqrt_penalties[j].rows() != p)
        return fail(mismatch("Penalty square root {} has {} rows but X has {} columns",
                             {j, sqrt_penalties[j].rows(), p}));
    }
  }
  return {};
}

std::size_t total_rank(std::span<const Matrix> sqrt_penalties) {
  std::size_t r = 0;
  for (const Matrix& l : sqrt_penalties) r += l.cols();
  return r;
}

LinalgResult<Matrix> qr_triangle(MatrixView m) {
  const std::size_t p = m.cols;
  Matrix t(p, p);
  if (m.rows == 0 || p == 0) return t;
  auto r0 = qr_r(m);
  if (!r0) return std::unexpected(std::move(r0.error()));
  // r0 is min(rows, p) x p; the rows it lacks stay zero. Copy only the upper triangle so
  // the result is exactly triangular whatever the factorisation left below the diagonal.
  for (std::size_t i = 0; i < r0->rows() && i < p; ++i)
    for (std::size_t j = i; j < p; ++j) t(i, j) = (*r0)(i, j);
  return t;
}

LinalgResult<Matrix> augmented_triangle(MatrixView x, VectorView w, std::span<const double> lambdas,
                                        std::span<const Matrix> sqrt_penalties, bool trace) {
  const std::size_t n = x.rows, p = x.cols;
  const std::size_t blocks = std::min(lambdas.size(), sqrt_penalties.size());
  const std::size_t total_rows = n + total_rank(sqrt_penalties);

  if (trace && diag::enabled(Switch::GradDebug)) {
    diag::print("[Z_BUILD_DEBUG] Building Z matrix:\n");
    diag::print("[Z_BUILD_DEBUG]   n = {}, p = {}\n", {n, p});
    for (std::size_t j = 0; j < sqrt_penalties.size(); ++j) {
      const double lambda = j < lambdas.size() ? lambdas[j] : 0.0;
      diag::print("[Z_BUILD_DEBUG]   L{} shape: {}×{}, λ{} = {:.6}\n",
                  {j, sqrt_penalties[j].rows(), sqrt_penalties[j].cols(), j, lambda});
    }
    diag::print("[Z_BUILD_DEBUG]   Total Z rows: {}\n", {total_rows});
  }

  Matrix z(total_rows, p);
  for (std::size_t i = 0; i < n; ++i) {
    const double s = std::sqrt(w[i]);
    double* row = z.row_ptr(i);
    for (std::size_t j = 0; j < p; ++j) row[j] = s * x(i, j);
  }
  // Penalty block j occupies rows o_j .. o_j + r_j - 1 and holds sqrt(lambda_j) L_j'.
  std::size_t offset = n;
  for (std::size_t j = 0; j < sqrt_penalties.size(); ++j) {
    const Matrix& l = sqrt_penalties[j];
    const std::size_t r = l.cols();
    if (j < blocks && r > 0) {
      const double s = std::sqrt(lambdas[j]);
      for (std::size_t c = 0; c < r; ++c)
        for (std::size_t a = 0; a < p; ++a) z(offset + c, a) = s * l(a, c);
      if (trace)
        diag::trace(Switch::GradDebug,
                    "[Z_BUILD_DEBUG]   After adding L{} (rows {} to {}), first value: {:.6e}\n",
                    {j, offset, offset + r - 1, p > 0 ? z(offset, 0) : 0.0});
    }
    offset += r;
  }

  auto r = qr_triangle(z);
  if (!r) return r;

  if (trace && diag::enabled(Switch::GradDebug)) {
    diag::print("[QR_DEBUG] Z dimensions: {}×{}\n", {total_rows, p});
    diag::print("[QR_DEBUG] R dimensions: {}×{}\n", {std::min(total_rows, p), p});
    diag::print("[QR_DEBUG] total_rows={}, n={}, p={}\n", {total_rows, n, p});
    trace_gram_diagonal(*r);
  }
  return r;
}

Matrix penalized_normal_matrix(const Matrix& xtwx, std::span<const double> lambdas,
                               std::span<const Matrix> penalties) {
  Matrix a = xtwx;
  const std::size_t k = std::min(lambdas.size(), penalties.size());
  for (std::size_t j = 0; j < k; ++j) a.add_scaled(penalties[j], lambdas[j]);
  return a;
}

LinalgResult<Matrix> add_diagonal_to_triangle(const Matrix& r, std::span<const double> extra) {
  const std::size_t p = r.cols();
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < extra.size() && i < p; ++i)
    if (extra[i] > 0.0) rows.push_back(i);
  if (rows.empty()) return r;
  // [R; D^(1/2)] has Gram matrix R'R + D, so its triangle carries the ridge exactly.
  Matrix stacked(p + rows.size(), p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = i; j < p; ++j) stacked(i, j) = r(i, j);
  for (std::size_t k = 0; k < rows.size(); ++k) stacked(p + k, rows[k]) = std::sqrt(extra[rows[k]]);
  return qr_triangle(stacked);
}

}  // namespace velkan
