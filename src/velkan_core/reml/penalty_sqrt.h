// Penalty square roots S = L L' by symmetric eigen-decomposition. The derivative code
// never factors X'WX + S_lambda directly: it works with the augmented system whose penalty
// rows are sqrt(lambda_j) L_j' (see reml/augmented.h).
#pragma once

#include <span>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// Eigenvalues at or below kSqrtEigenThreshold * max(largest eigenvalue, 1) count as zero,
// so scaling a penalty by a constant keeps its rank unless its largest eigenvalue is
// below 1, where the absolute floor 1e-10 takes over.
inline constexpr double kSqrtEigenThreshold = 1e-10;
// How many retained eigenvalues the diagnostic line lists at most.
inline constexpr std::size_t kSqrtDebugEigenvalues = 5;

// L (p x r) for a symmetric positive semi-definite S (p x p; only its upper triangle is
// read): column c is sqrt(e_c) v_c for the c-th retained eigenpair, in ascending order of
// eigenvalue. r is the numerical rank; an all-zero S gives a p x 0 matrix. Prints the
// "[PENALTY_SQRT_DEBUG]" lines when VELKAN_GRAD_DEBUG is set.
// Errors: InvalidParameter "Penalty matrix must be square",
// InvalidParameter "Penalty matrix has non-finite entries",
// InvalidParameter "Eigenvalue decomposition failed: {}" (the solver's failure).
Result<Matrix> penalty_sqrt(MatrixView s);

// penalty_sqrt of every penalty in order; the first error is returned unchanged.
Result<std::vector<Matrix>> penalty_sqrts(std::span<const Matrix> penalties);

}  // namespace velkan
