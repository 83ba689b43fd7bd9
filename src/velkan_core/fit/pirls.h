// Penalized iteratively re-weighted least squares at fixed smoothing parameters.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "common/gam_error.h"
#include "velkan_core/fit/family.h"
#include "linalg/matrix.h"
#include "linalg/products.h"

namespace velkan {

inline constexpr std::size_t kPirlsMaxIterations = 100;
inline constexpr double kPirlsTolerance = 1e-6;  // on the largest coefficient change
// |d mu / d eta| below which the working response falls back to eta itself.
inline constexpr double kPirlsDerivativeFloor = 1e-10;
// Step halving: at most this many halvings of one step toward the previous coefficients.
inline constexpr std::size_t kPirlsMaxHalvings = 30;
// A penalized deviance counts as larger than the previous one only beyond this relative
// slack, so that rounding in the deviance sum never triggers a halving.
inline constexpr double kPirlsDevianceSlack = 1e-9;

struct PirlsResult {
  Vector coefficients;
  Vector fitted_values;
  Vector linear_predictor;
  Vector weights;
  double deviance = 0.0;
  // Solves performed, 1 .. 100. A step halving re-evaluates the penalized deviance at a
  // shortened step (one X beta product and one deviance sum) but performs no solve, so it
  // does not count as an iteration.
  std::size_t iterations = 0;
  bool converged = false;
  // RSS and X'r at the coefficients, when PirlsOptions::residual_sums asked for them and
  // unit_weight_products were used; empty otherwise.
  std::optional<ResidualProducts> residual_sums;
};

struct PirlsOptions {
  // Gaussian family only (ignored for the others): X'X and X'y of this very (x, y), as
  // compute_xtx_xty forms them, held by a caller that fits the same data several times.
  // Gaussian working weights are exactly 1 and the working response eta + (y - eta) is y
  // up to rounding, so every solve then takes its system from these instead of a pass
  // over the data, and the only pass left is X beta for the result. DimensionMismatch
  // when they are not p x p and p.
  const CrossProducts* unit_weight_products = nullptr;
  // With unit_weight_products: also the residual sums of the result, RSS and X'r at the
  // final coefficients (r = y - X beta, unit weights), from the same pass as X beta.
  bool residual_sums = false;
};

// Fits the coefficients of X for fixed smoothing parameters: starting from initial_eta,
// repeated solves of (X'WX + sum_j lambda_j S_j) beta = X'Wz with working weights W and
// working response z, through the ridge r = normal_matrix_ridge(X'WX, m) and refined toward
// the unridged system (linalg/ridged_solve.h), until
// the largest coefficient change is below 1e-6 or 100 solves were made. Non-convergence
// (including non-finite input) is reported through `converged`, not as an error.
//
// Step halving, the safeguard against divergence: when a solve's step makes the penalized
// deviance
//   deviance(y, linkinv(X beta)) + sum_j lambda_j beta' S_j beta
// non-finite, or larger than at the previous coefficients beyond kPirlsDevianceSlack, the
// step is halved toward the previous coefficients (up to kPirlsMaxHalvings times) until it
// is not. Steps that do not increase the penalized deviance are taken as solved, so such
// fits equal the plain iteration bit for bit. A step that raises it only within the
// solve's ridge term (the value with r |beta|^2 added does not grow) is taken as well: near
// convergence that is what the refinement leaves of the ridge, or rounding, not
// divergence. Never applied to the gaussian family, whose first solve is already the
// penalized least-squares optimum. The first solve is taken as it is: the iteration starts
// from initial_eta, which is not X beta for any coefficients, so there is no previous
// penalized deviance to compare with; the first solve's value becomes the reference for
// the second. When no halving helps, the previous coefficients are kept and the iteration
// stops, not converged (repeating the same solve from the same point would change
// nothing). Convergence is judged on the change proposed by the solve, never on a halved
// step, so a shortened step cannot be mistaken for convergence.
//
// Cost per solve, besides O(p^3) for the solve itself: for families other than gaussian
// one pass over the data, which forms X beta and, when the iteration goes on, the next
// X'WX and X'Wz from the rows it just read (a step the safeguard shortens costs another
// X beta per halving and a fresh X'WX); for gaussian one pass for X'WX and X'Wz (X'Wz
// alone once the weights are known not to change) and one for X beta; with
// options.unit_weight_products (gaussian) nothing, plus one X beta at the end.
// Errors, checked in this order: DimensionMismatch "X has {} rows but y has {} elements",
// DimensionMismatch "Number of lambdas must match number of penalty matrices",
// and DimensionMismatch "Penalty matrix {} is {}x{} but X has {} columns" for a penalty
// that is not p x p; then the errors of solve(), returned unchanged.
Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family);
Result<PirlsResult> pirls(VectorView y, MatrixView x, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family,
                          const PirlsOptions& options);

}  // namespace velkan
