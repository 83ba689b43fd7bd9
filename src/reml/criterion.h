// The REML score of a penalized weighted least-squares fit at given smoothing parameters.
#pragma once

#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// REML score from data: forms X'WX and X'Wy from the row-scaled copy sqrt(W) X.
// Non-finite scores (singular system, non-positive scale) are values, not errors.
Result<double> reml_criterion(VectorView y, MatrixView x, VectorView w,
                              std::span<const double> lambdas, std::span<const Matrix> penalties);

// Weighted quantities a caller can hold while the weights stay fixed, so that the
// criterion costs O(p^3 + n p) per evaluation instead of another O(n p^2) pass.
struct RemlCache {
  Matrix xtwx;   // X'WX
  Vector xtwy;   // X'Wy
};
RemlCache make_reml_cache(VectorView y, MatrixView x, VectorView w);

// The same score as reml_criterion(y, x, w, ...) up to rounding, using the cache.
Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties);

}  // namespace velkan
