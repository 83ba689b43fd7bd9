// Hessian of the REML score with respect to the log smoothing parameters: the derivative
// of the gradient (reml/gradient.h) once more, from the same factor of A + delta I (see
// reml/derivatives.h).
#pragma once

#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// H (m x m, exactly symmetric), H[a][b] = d2 REML / drho_a drho_b. Prints the
// "[HESS_CORRECTED]" breakdown under VELKAN_HESS_DEBUG.
// Errors: DimensionMismatch for inputs of inconsistent shapes, penalty_sqrt's errors,
// LinAlgError "QR decomposition failed", InvalidParameter "Triangular solve failed: {}".
Result<Matrix> reml_hessian_multi_qr(VectorView y, MatrixView x, VectorView w,
                                     std::span<const double> lambdas,
                                     std::span<const Matrix> penalties);

}  // namespace velkan
