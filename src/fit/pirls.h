// Penalized iteratively re-weighted least squares at fixed smoothing parameters.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "fit/family.h"
#include "linalg/matrix.h"

namespace velkan {

inline constexpr std::size_t kPirlsMaxIterations = 100;
inline constexpr double kPirlsTolerance = 1e-6;  // on the largest coefficient change
inline constexpr double kPirlsRidge = 1e-5;      // times (1 + sqrt(m)) times max diagonal

struct PirlsResult {
  Vector coefficients;
  Vector fitted_values;
  Vector linear_predictor;
  Vector weights;
  double deviance = 0.0;
  std::size_t iterations = 0;  // solves performed, 1 .. 100
  bool converged = false;
};

// Errors: DimensionMismatch "X has {} rows but y has {} elements",
// DimensionMismatch "Number of lambdas must match number of penalty matrices",
// and the errors of solve().
Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family);

}  // namespace velkan
