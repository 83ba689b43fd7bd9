// Hessian of the REML score with respect to the log smoothing parameters.
#pragma once

#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

Result<Matrix> reml_hessian_multi_qr(VectorView y, MatrixView x, VectorView w,
                                     std::span<const double> lambdas,
                                     std::span<const Matrix> penalties);

}  // namespace velkan
