// Penalty square roots S = L L' by symmetric eigen-decomposition, and the augmented
// system Z (Z'Z = X'WX + sum lambda_j L_j L_j') with its triangular factor R.
#pragma once

#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

inline constexpr double kSqrtEigenThreshold = 1e-10;  // relative, never below 1e-10 absolute

// L (p x r), columns sqrt(e_c) v_c for the retained eigenpairs in ascending order.
// Errors: InvalidParameter "Penalty matrix must be square",
// InvalidParameter "Eigenvalue decomposition failed: {}".
Result<Matrix> penalty_sqrt(MatrixView s);

}  // namespace velkan
