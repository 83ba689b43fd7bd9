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

// The triangle T with T'T = R'R + diag(extra): one QR of R stacked above the diagonal
// matrix of sqrt(extra_i). A zero or negative entry adds nothing. This is how the ridge-free
// triangle of the augmented system is brought to A + delta I before it is used.
LinalgResult<Matrix> add_diagonal_to_triangle(const Matrix& r, std::span<const double> extra);

}  // namespace velkan
