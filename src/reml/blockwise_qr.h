// The triangular factor of the augmented system accumulated over blocks of 1000 rows.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

inline constexpr std::size_t kBlockRows = 1000;

// R (p x p, upper) with R'R = X'WX + sum_j lambda_j L_j L_j'. Errors: LinAlgError
// "QR decomposition failed" / "First block QR failed" / "Block QR update failed",
// InvalidParameter "No blocks processed".
Result<Matrix> compute_r_blockwise(MatrixView x, VectorView w, std::span<const double> lambdas,
                                   std::span<const Matrix> sqrt_penalties);

}  // namespace velkan
