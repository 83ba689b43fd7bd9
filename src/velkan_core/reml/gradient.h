// Gradient of the REML score with respect to the log smoothing parameters rho_i
// (lambda_i = exp(rho_i)), term by term:
//
//   g_i = 0.5 [ lambda_i tr(A^-1 S_i) - r_i + (dRSS_i + dP_i) / phi
//               - (RSS + P) dphi_i / phi^2 + (n - r) dphi_i / phi ]
//
// with r_i the column count of the square root L_i, r = sum r_i, phi = RSS / (n - r),
// dbeta_i = -A^-1 lambda_i S_i beta and dRSS_i = -2 sum_k w_k r_k (X dbeta_i)_k: the
// derivative of the criterion of reml/criterion.h, with the same ridge delta (see
// linalg/ridged_solve.h) in ln|A + delta I| and in every solve (reml/derivatives.h).
//
// Both entries factor A + delta I as a triangle R'R: the direct one from the QR of the
// augmented matrix Z (reml/augmented.h) with the ridge added after, the block-wise one by
// Cholesky of a cached X'WX + S_lambda + delta I or from the block-wise QR.
//
// Non-finite values (phi <= 0) are not errors: they propagate into g; with n <= r it is NaN.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/reml/residual_sums.h"

namespace velkan {

// Below kDirectRowsBase - kDirectRowsPerSmooth * (m - 2) rows (floored at 0; m < 2 counts
// as 2) the size-dispatching entry uses the direct method.
inline constexpr std::size_t kDirectRowsBase = 2000;
inline constexpr std::size_t kDirectRowsPerSmooth = 100;

// The row count from which reml_gradient_blockwise leaves the direct method.
std::size_t blockwise_row_threshold(std::size_t m);

// Direct method: QR of the augmented matrix Z. `sqrt_penalties` may be empty, then each
// penalty's square root is computed here. Prints the "[Z_BUILD_DEBUG]", "[QR_DEBUG]" and
// "[PHI_DEBUG]" lines under VELKAN_GRAD_DEBUG.
// Errors: DimensionMismatch for inputs of inconsistent shapes (lambdas and penalties must
// be equally many, every penalty p x p), penalty_sqrt's errors, InvalidParameter
// "QR decomposition failed: {}" / "Triangular solve failed: {}", the solve's errors.
Result<Vector> reml_gradient_multi_qr(VectorView y, MatrixView x, VectorView w,
                                      std::span<const double> lambdas,
                                      std::span<const Matrix> penalties,
                                      std::span<const Matrix> sqrt_penalties = {});

// Size-dispatching entry: the direct method below blockwise_row_threshold(m) rows,
// otherwise a Cholesky factor of the cached X'WX + S_lambda + delta I (falling back to the
// block-wise QR factor when that fails or no cache is given). The caches are trusted to match x, w
// and y; so is `sums`, which, when given, supplies RSS and X'W r at the coefficients
// (from the cross products when that is accurate, see ResidualSums) instead of a pass over
// the data. Prints the "[BLOCKWISE_DEBUG]" lines under VELKAN_GRAD_DEBUG.
// Errors: as the direct method, plus compute_r_blockwise's, and DimensionMismatch for
// caches of the wrong size.
Result<Vector> reml_gradient_blockwise(VectorView y, MatrixView x, VectorView w,
                                       std::span<const double> lambdas,
                                       std::span<const Matrix> penalties,
                                       std::span<const Matrix> sqrt_penalties = {},
                                       const Matrix* xtwx = nullptr, const Vector* xtwy = nullptr,
                                       ResidualSums* sums = nullptr);

}  // namespace velkan
