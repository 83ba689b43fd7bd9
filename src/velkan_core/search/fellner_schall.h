// The fixed-point REML search: each log smoothing parameter moves by half the log of a
// trace ratio per iteration, with one Cholesky factorisation and one triangular inverse
// per iteration and no second derivatives.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan {

inline constexpr std::size_t kFellnerSchallMaxIterations = 10;
// Ridge 1e-5 (1 + sqrt(m)) max(1, max_j |A_jj|); when the Cholesky factorisation still
// fails, ten times that ridge is added on top once more.
inline constexpr double kFellnerSchallRidge = 1e-5;
inline constexpr double kFellnerSchallSecondRidgeFactor = 10.0;
// A penalty of rank not above this keeps ratio 1 (its parameter does not move).
inline constexpr double kFellnerSchallRankFloor = 1e-10;
// Each update moves rho by at most 0.5 ln 5 (about 0.805) in either direction.
inline constexpr double kFellnerSchallRatioMin = 0.2;
inline constexpr double kFellnerSchallRatioMax = 5.0;
inline constexpr double kFellnerSchallDamping = 0.5;
inline constexpr double kFellnerSchallTolerance = 1e-6;  // on the largest |change of rho|
// Entries above this mark a penalty row as non-zero in the trace diagnostic.
inline constexpr double kFellnerSchallTraceRowThreshold = 1e-10;

// The REML search of `optimize` for algorithm FellnerSchall. Inputs as optimize_reml_newton;
// rho stays within [kLogLambdaMin, kLogLambdaMax]. Errors: penalty_sqrt's error (before
// any iteration); SingularMatrix when A cannot be factorised even with the second ridge or
// its factor cannot be inverted. On failure state.lambda is left as it was.
Status optimize_reml_fellner_schall(SmoothingParameter& state, VectorView y, MatrixView x,
                                    VectorView w, std::span<const Matrix> penalties,
                                    std::size_t m);

}  // namespace velkan
