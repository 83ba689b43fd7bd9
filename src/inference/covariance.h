// Covariances of the penalized coefficients and their effective degrees of freedom, from
// the products a fit keeps (no pass over the data).
//
// In the fit's (constrained) parameterisation, with G = X'WX at the final weights, the
// penalty S_lambda = sum_j lambda_j S_j, the fixed identifiability ridge R (zero except
// on directions that neither data nor penalties determine) and the scale phi:
//
//   H  = G + R + S_lambda
//   Vp = phi H^-1                 Bayesian posterior covariance: the penalty read as a
//                                 prior, so it covers the smoothing bias on average
//   Ve = phi H^-1 G H^-1          frequentist covariance of the estimator at fixed lambda
//   F  = H^-1 G                   the "hat" map from unpenalized to penalized estimates;
//                                 diag(F) are the effective degrees of freedom per
//                                 coefficient, tr(F) the model's
//
// H is factorised once (Cholesky of its diagonally scaled form, see linalg/spd_factor.h);
// F and Ve come from solves with that factor, not from products with an inverse.
//
// Coefficients that carry the ridge are not determined by the data (aliased columns); the
// fit holds them at zero. They are treated as fixed at zero here too: their rows and
// columns of Vp, Ve and their edf are zero, and the other coefficients get the covariance
// of the model without them (not the enormous one the ridge alone would imply).
#pragma once

#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "terms/layout.h"

namespace velkan::inference {

struct Covariance {
  Matrix vp;            // p x p, exactly symmetric
  Matrix ve;            // p x p, exactly symmetric
  Vector edf;           // diag(F), p entries
};

// xtwx: G (p x p); penalties in the same parameterisation; ridge: p entries or empty for
// none; rho: log lambda, one per penalty; scale: phi >= 0 (0 for an exact fit). Refused:
// shapes that disagree, a scale that is negative or not finite (InvalidParameter), an H
// that is not numerically positive definite (LinAlgError).
Result<Covariance> coefficient_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale);

}  // namespace velkan::inference
