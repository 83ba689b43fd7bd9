// The augmented system of the REML derivatives. Instead of factoring X'WX + S_lambda, the
// gradient and Hessian factor the tall matrix
//
//   Z = [ sqrt(W) X ; sqrt(lambda_0) L_0' ; ... ; sqrt(lambda_{m-1}) L_{m-1}' ]
//
// whose Gram matrix is X'WX + sum_j lambda_j L_j L_j', and keep only the p x p triangle R
// of its QR factorisation. Everything here borrows its inputs and returns owned values.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"

namespace velkan {

// The coefficient solve adds kCoefficientRidge * (1 + sqrt(m)) * max(|A_ii|, 1) to each
// diagonal element of A = X'WX + sum_j lambda_j S_j before solving, per element.
inline constexpr double kCoefficientRidge = 1e-7;

// Shapes every derivative routine relies on: y and w of length n = rows of x, as many
// penalties as lambdas, each p x p, and (when given) as many square roots as penalties,
// each with p rows. DimensionMismatch naming the first offending input otherwise.
Status check_derivative_inputs(VectorView y, MatrixView x, VectorView w,
                               std::span<const double> lambdas, std::span<const Matrix> penalties,
                               std::span<const Matrix> sqrt_penalties);

// Sum of the column counts of the square roots: the rank the derivatives use for phi.
std::size_t total_rank(std::span<const Matrix> sqrt_penalties);

// The p x p triangle of the reduced QR of Z, zero below the diagonal; when Z has fewer
// than p rows the missing rows of the triangle are zero. With `trace` the
// "[Z_BUILD_DEBUG]" and "[QR_DEBUG]" lines are printed (each guarded by VELKAN_GRAD_DEBUG).
// Only the triangle is formed, never Q.
LinalgResult<Matrix> augmented_triangle(MatrixView x, VectorView w, std::span<const double> lambdas,
                                        std::span<const Matrix> sqrt_penalties, bool trace);

// The p x p triangle T with T'T = M'M for any matrix M with p columns (zero rows appended
// when M has fewer than p rows).
LinalgResult<Matrix> qr_triangle(MatrixView m);

// A = xtwx + sum_j lambda_j S_j (the penalized normal matrix, no ridge).
Matrix penalized_normal_matrix(const Matrix& xtwx, std::span<const double> lambdas,
                               std::span<const Matrix> penalties);

// The coefficient ridge of each diagonal element of A for m smoothing parameters.
Vector coefficient_ridge(const Matrix& a, std::size_t m);

// The penalized coefficients: beta solving (A + diag(ridge)) beta = X'Wy with
// A = xtwx + sum_j lambda_j S_j and ridge = coefficient_ridge(A, m), by the general dense
// solve (its error is returned unchanged). The ridge is returned too: a triangle used for
// derivatives must carry the same one.
struct RidgedCoefficients {
  Vector beta;
  Vector ridge;
};
Result<RidgedCoefficients> ridged_coefficients(const Matrix& xtwx, Vector xtwy,
                                               std::span<const double> lambdas,
                                               std::span<const Matrix> penalties);

// The triangle T with T'T = R'R + diag(extra): one QR of R stacked above the diagonal
// matrix of sqrt(extra_i). A zero or negative entry adds nothing. This is how a triangle
// that was obtained without (or with a smaller) ridge is brought to the ridge of the
// coefficient solve before it is used for derivatives.
LinalgResult<Matrix> add_diagonal_to_triangle(const Matrix& r, std::span<const double> extra);

// Solves with A = R'R for an upper-triangular R. R' is kept in standard layout so both
// solves are plain triangular solves. Failures are InvalidParameter
// "Triangular solve failed: {}".
class TriangularSystem {
 public:
  explicit TriangularSystem(Matrix r);

  const Matrix& r() const { return r_; }
  // R'^-1 B (B is p x k). Its squared Frobenius norm for B = L_j is tr(A^-1 L_j L_j').
  Result<Matrix> solve_lower(MatrixView b) const;
  // A^-1 B = R^-1 R'^-1 B, column by column.
  Result<Matrix> solve(MatrixView b) const;

 private:
  Matrix r_;
  Matrix rt_;
};

}  // namespace velkan
