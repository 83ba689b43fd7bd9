// Solves with a penalized normal matrix A = X'WX + sum_j lambda_j S_j that may be singular.
//
// Without an intercept, two or more smooths that all reproduce constants make A singular
// (a constant can move between them), so no factorization of A itself is reliable. Every
// solve with A therefore goes through the factor of A + delta I with one ridge delta that
// depends on X'WX alone (not on the smoothing parameters), and is then refined toward A:
//   x_0 = (A + delta I)^-1 b,   x_{k+1} = x_k + (A + delta I)^-1 (b - A x_k).
// In an eigendirection of A with eigenvalue mu the ridge leaves the relative error
// (delta / (mu + delta))^(k+1): after kRidgeRefinements steps nothing that the data or the
// penalties determine is shrunk (a response far from zero keeps its level), while a null
// direction, where mu = 0 and b has no component, stays where the ridged solve put it.
// The refined solve is a fixed smooth function of A, so derivatives taken through it are
// those of the values it produced.
#pragma once

#include <cstddef>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// delta = kRidgeFactor (1 + sqrt(m)) max(1, max_i |X'WX_ii|) for m smoothing parameters.
inline constexpr double kRidgeFactor = 1e-5;
// Refinement steps after the ridged solve.
inline constexpr std::size_t kRidgeRefinements = 3;

// The ridge of the penalized normal matrices built on `xtwx` with m smoothing parameters.
// NaN diagonal entries are skipped by the maximum.
double normal_matrix_ridge(const Matrix& xtwx, std::size_t m);

class RidgedSolver {
 public:
  // From A (no ridge) and delta: forms the inverse of A + delta I. Errors: those of
  // inverse() (SingularMatrix, non-finite entries included).
  static Result<RidgedSolver> from_matrix(Matrix a, double delta);
  // From A (no ridge), delta and an upper triangle R with R'R = A + delta I.
  static RidgedSolver from_triangle(Matrix a, double delta, Matrix r);

  const Matrix& matrix() const { return a_; }
  double delta() const { return delta_; }

  // The refined solution of A X = B (B is p x k), column by column as described above.
  // Errors: InvalidParameter "Triangular solve failed: {}" on the triangle path.
  Result<Matrix> solve(MatrixView b) const;
  Result<Vector> solve(const Vector& b) const;
  // (A + delta I)^-1 B without refinement: the inverse whose log-determinant the REML
  // score carries, for the derivatives of that log-determinant.
  Result<Matrix> solve_ridged(MatrixView b) const;
  // tr(L' (A + delta I)^-1 L) = tr((A + delta I)^-1 L L') for L of p rows: the squared
  // Frobenius norm of R'^-1 L on the triangle path (one triangular solve, never negative).
  Result<double> trace_with(MatrixView l) const;

 private:
  RidgedSolver(Matrix a, double delta) : a_(std::move(a)), delta_(delta) {}
  Matrix a_;
  double delta_ = 0.0;
  Matrix inverse_;  // (A + delta I)^-1, on the inverse path
  Matrix r_;        // R, on the triangle path
  Matrix rt_;       // R' in standard layout
  bool triangle_ = false;
};

}  // namespace velkan
