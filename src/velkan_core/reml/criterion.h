// The REML score of a penalized weighted least-squares fit at given smoothing parameters.
#pragma once

#include <limits>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

class ResidualSums;  // reml/residual_sums.h

// A smoothing parameter counts toward the penalty rank only when it exceeds this.
inline constexpr double kRemlLambdaFloor = 1e-10;
// A penalty row is non-zero when its absolute sum exceeds this times max(1, max |S_ab|).
inline constexpr double kRemlRowThreshold = 1e-10;
// 2 pi as the exact double the score uses.
inline constexpr double kTwoPi = 6.283185307179586;

// REML score
//   0.5 (ln|A + delta I| + (RSS + P) / phi + (n - r) ln(2 pi phi) - sum_j r_j ln(lambda_j))
// of the penalized weighted least-squares fit beta solving A beta = X'Wy (refined through
// the factor of A + delta I, linalg/ridged_solve.h), with A = X'WX + sum_j lambda_j S_j and
// delta = normal_matrix_ridge(X'WX, m). delta depends on X'WX alone, not on lambda: null
// directions of A (a constant that can move between smooths) then add a constant to the
// score, not a slope in log(lambda) that no derivative of the model contains.
// RSS = sum_i w_i (y_i - x_i beta)^2, P = sum_j lambda_j beta' S_j beta,
// phi = RSS / (n - r), and r_j the rank of S_j counted
// as its non-zero rows minus two (at least 1; 0 when lambda_j <= 1e-10). Only the first
// min(len(lambdas), len(penalties)) pairs enter; extra lambdas count only in m.
// The log-determinant is summed from the pivots' logs, so it neither overflows nor
// underflows: -inf for a zero determinant, NaN for a negative one.
// A total rank r >= n leaves no residual degrees of freedom: the score is NaN.
// Errors: DimensionMismatch for inconsistent lengths or a penalty that is not p x p (own
// messages); the errors of solve() and log_determinant(), unchanged.
//
// From data: forms X'WX and X'Wy from the row-scaled copy sqrt(W) X.
// Non-finite scores (singular system, non-positive scale) are values, not errors.
Result<double> reml_criterion(VectorView y, MatrixView x, VectorView w,
                              std::span<const double> lambdas, std::span<const Matrix> penalties);

// Weighted quantities a caller can hold while the weights stay fixed, so that the
// criterion costs O(p^3) per evaluation instead of another O(n p^2) pass.
struct RemlCache {
  Matrix xtwx;  // X'WX
  Vector xtwy;  // X'Wy
  // y'Wy. NaN when unknown: the cached criterion then always takes the RSS from the data.
  double ywy = std::numeric_limits<double>::quiet_NaN();
};
// The caller guarantees len(y) == len(w) == rows of x (reml_criterion_cached checks the
// cache's shape against x).
RemlCache make_reml_cache(VectorView y, MatrixView x, VectorView w);

// The cached criterion takes the RSS from the normal equations,
//   y'Wy - 2 beta'X'Wy + beta'X'WX beta   (O(p^2)),
// only when it is at least this fraction of the bound (sqrt(y'Wy) + sum_j |beta_j|
// sqrt(X'WX_jj))^2 on the magnitudes that cancel in it: its rounding error is then at
// most 1e3 times that of the sum over the data. Otherwise (a nearly interpolating fit, a
// response far from zero relative to its noise) it makes the O(n p) pass over the data.
inline constexpr double kRemlRssCancellationLimit = 1e-3;

// The score of reml_criterion(y, x, w, ...) up to rounding, from a cache of the same
// (y, x, w). Same errors, plus DimensionMismatch when the cache does not fit x.
Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties);

// The same score with the RSS taken from `sums` (built over the same y, x, w and cache.xtwx),
// which holds an anchor along a search: relative to it the RSS comes from the cross
// products under the same cancellation test as above, so trials near an earlier data pass
// (a line search around the current coefficients, for a response far from zero) read no
// data, and the score agrees with reml_criterion() up to rounding. A failed test makes the
// pass over the data, which re-anchors `sums`.
Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties, ResidualSums& sums);

}  // namespace velkan
