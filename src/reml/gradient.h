// Gradient of the REML score with respect to the log smoothing parameters.
#pragma once

#include <optional>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// Direct method: QR of the augmented matrix Z. `sqrt_penalties` may be empty, then each
// penalty's square root is computed here.
Result<Vector> reml_gradient_multi_qr(VectorView y, MatrixView x, VectorView w,
                                      std::span<const double> lambdas,
                                      std::span<const Matrix> penalties,
                                      std::span<const Matrix> sqrt_penalties = {});

// Size-dispatching entry: direct method below 2000 - 100 (m - 2) rows, otherwise a
// Cholesky factor of the cached X'WX (or the block-wise QR factor).
Result<Vector> reml_gradient_blockwise(VectorView y, MatrixView x, VectorView w,
                                       std::span<const double> lambdas,
                                       std::span<const Matrix> penalties,
                                       std::span<const Matrix> sqrt_penalties = {},
                                       const Matrix* xtwx = nullptr, const Vector* xtwy = nullptr);

}  // namespace velkan
