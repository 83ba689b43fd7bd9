// The triangular factor of the augmented system accumulated over blocks of 1000 rows, for
// problems too large to hold the whole augmented matrix Z at once.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

inline constexpr std::size_t kBlockRows = 1000;

// R (p x p, upper, zero below the diagonal) with R'R = X'WX + sum_j lambda_j L_j L_j' and
// no ridge. The penalty rows sqrt(lambda_j) L_j' (j < min(m, number of L_j)) are factored
// first; each block of rows sqrt(w_i) X[i, :] then updates the triangle, so at most
// (p + 1000) x p values are held per step whatever n is.
// Errors: LinAlgError "QR decomposition failed" (penalty rows), "First block QR failed",
// "Block QR update failed"; InvalidParameter "No blocks processed" (n = 0 and no penalty
// rows); DimensionMismatch when w or a square root does not fit x.
Result<Matrix> compute_r_blockwise(MatrixView x, VectorView w, std::span<const double> lambdas,
                                   std::span<const Matrix> sqrt_penalties);

}  // namespace velkan
