#include "linalg/ridged_solve.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"

namespace velkan {

namespace {

GamError triangular_failure(const LinalgFailure& f) {
  return GamError::invalid_parameter("Triangular solve failed: " + f.debug());
}

}  // namespace

double normal_matrix_ridge(const Matrix& xtwx, std::size_t m) {
  double diag_max = 1.0;
  const std::size_t p = std::min(xtwx.rows(), xtwx.cols());
  for (std::size_t i = 0; i < p; ++i) {
    const double v = std::abs(xtwx(i, i));
    if (v > diag_max) diag_max = v;  // NaN never compares greater: skipped
  }
  return kRidgeFactor * (1.0 + std::sqrt(static_cast<double>(m))) * diag_max;
}

Result<RidgedSolver> RidgedSolver::from_matrix(Matrix a, double delta) {
  Matrix f = a;
  for (std::size_t i = 0; i < f.rows() && i < f.cols(); ++i) f(i, i) += delta;
  auto inv = inverse(f.view());
  if (!inv) return fail(std::move(inv.error()));
  RidgedSolver s(std::move(a), delta);
  s.inverse_ = std::move(*inv);
  return s;
}

RidgedSolver RidgedSolver::from_triangle(Matrix a, double delta, Matrix r) {
  RidgedSolver s(std::move(a), delta);
  s.rt_ = Matrix::from(r.t());
  s.r_ = std::move(r);
  s.triangle_ = true;
  return s;
}

Result<Matrix> RidgedSolver::solve_ridged(MatrixView b) const {
  if (b.rows == 0 || b.cols == 0) return Matrix(b.rows, b.cols);
  if (!triangle_) return matmul(inverse_, b);
  auto z = solve_triangular(rt_, 'L', b);
  if (!z) return fail(triangular_failure(z.error()));
  auto u = solve_triangular(r_, 'U', *z);
  if (!u) return fail(triangular_failure(u.error()));
  return std::move(*u);
}

Result<double> RidgedSolver::trace_with(MatrixView l) const {
  if (l.rows == 0 || l.cols == 0) return 0.0;
  double trace = 0.0;
  if (triangle_) {
    auto z = solve_triangular(rt_, 'L', l);
    if (!z) return fail(triangular_failure(z.error()));
    for (std::size_t k = 0; k < z->size(); ++k) trace += z->data()[k] * z->data()[k];
    return trace;
  }
  const Matrix fl = matmul(inverse_, l);
  for (std::size_t i = 0; i < l.rows; ++i)
    for (std::size_t j = 0; j < l.cols; ++j) trace += l(i, j) * fl(i, j);
  return trace;
}

Result<Matrix> RidgedSolver::solve(MatrixView b) const {
  auto x = solve_ridged(b);
  if (!x) return x;
  for (std::size_t step = 0; step < kRidgeRefinements; ++step) {
    // residual = B - A X, then X += (A + delta I)^-1 residual.
    Matrix residual = Matrix::from(b);
    const Matrix ax = matmul(a_, *x);
    for (std::size_t k = 0; k < residual.size(); ++k) residual.data()[k] -= ax.data()[k];
    auto correction = solve_ridged(residual);
    if (!correction) return correction;
    for (std::size_t k = 0; k < x->size(); ++k) x->data()[k] += correction->data()[k];
  }
  return x;
}

Result<Vector> RidgedSolver::solve(const Vector& b) const {
  const MatrixView column{b.data(), b.size(), 1, 1, 1};
  auto x = solve(column);
  if (!x) return fail(std::move(x.error()));
  Vector out(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) out[i] = (*x)(i, 0);
  return out;
}

}  // namespace velkan
