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
// The smoothing parameters are estimated, and Vp treats them as known. To first order,
// with rho^ approximately normal around rho with covariance V_rho (the inverse of the
// Hessian of the REML score, which is a negative log restricted likelihood in rho), the
// total covariance of beta^ = beta(rho^) is
//
//   Vc = E[Var(beta | rho)] + Var(E[beta | rho]) ~= Vp + J V_rho J',
//   J  = d beta / d rho,  column j: -lambda_j H^-1 S_j beta   (beta = H^-1 (...) at fixed data).
//
// That linearises the posterior mean in rho but keeps the posterior covariance at rho^.
// Writing beta = beta^(rho) + R(rho)' z (R'R = Vp(rho), R upper triangular, z standard
// normal) and linearising R in rho too adds the second-order term
//
//   V'' = sum_jk V_rho[j, k] (dR / d rho_j)' (dR / d rho_k),
//   dVp / d rho_j = -Vp lambda_j S_j Vp / phi   (the weights held at the fit),
//   dL = L Phi(L^-1 dVp L^-T)  for L = R', Phi the lower triangle with its diagonal halved,
//
// which matters where the score is flat in rho and a term is nearly unpenalized in some
// directions: J vanishes at a straight line while the posterior covariance still changes
// with rho (a weak signal in binary data, where REML often takes the straight line). It
// costs O(p^3) per estimated rho; Vc includes it while (free rho + 2) p^3 is at most
// kSecondOrderWork (about 1,200 coefficients with four free rho; 0.3 s of one core at 968
// and four), and beyond that, and in blocked_covariance (random effects of many levels),
// keeps J V_rho J' alone.
//
// The package's intervals, standard errors and draws integrate each smoothing parameter
// out instead (python/velkan/_mixture.py, on this Vp and the fit's working model); this
// expansion is what its term tests use, and the corrected edf is its first-order part.
//
// A rho at the edge of its range leaves the score flat: a Hessian eigenvalue near zero
// would make V_rho unbounded, while beta no longer moves with rho there (J ~ 0). Each
// eigenvalue of V_rho is capped at kRhoVarianceCap, the variance of a flat distribution
// over the whole search range: the data cannot leave rho less determined than that.
//
// Coefficients that carry the ridge are not determined by the data (aliased columns); the
// fit holds them at zero. They are treated as fixed at zero here too: their rows and
// columns of Vp, Ve and their edf are zero, and the other coefficients get the covariance
// of the model without them (not the enormous one the ridge alone would imply).
#pragma once

#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "engine/select/criterion.h"
#include "engine/terms/layout.h"

namespace velkan::inference {

// Largest variance of log lambda: that of a uniform distribution over the search range of
// width 2 x 25 (select/fit_step.h).
inline constexpr double kRhoVarianceCap = 50.0 * 50.0 / 12.0;
// Most multiply-adds, (free rho + 2) p^3, spent on the second-order term V''.
inline constexpr double kSecondOrderWork = 1e10;

struct Covariance {
  Matrix vp;   // p x p, exactly symmetric
  Matrix ve;   // p x p, exactly symmetric
  Matrix vc;   // p x p: Vp + J V_rho J' (+ V''), the expansion for the smoothing parameters
  Vector edf;  // diag(F), p entries
  // tr((Vp + J V_rho J') X'WX) / phi = tr(F) + tr(J V_rho J' X'WX) / phi: the edf with the
  // smoothing parameters' uncertainty, how far the fitted values follow the data also
  // through rho (V'' is a covariance of the posterior, not such a sensitivity, and is not
  // counted); tr(F) for a zero scale.
  double edf_corrected = 0.0;
};

// What the correction for estimated smoothing parameters needs.
struct SmoothingUncertainty {
  VectorView beta;         // the fitted coefficients, p entries
  MatrixView hessian;      // m x m Hessian of the REML score in rho at the optimum
  std::vector<bool> free;  // m entries: which rho were estimated (the others are exact)
};

// xtwx: G (p x p); penalties in the same parameterisation; ridge: p entries or empty for
// none; rho: log lambda, one per penalty; scale: phi >= 0 (0 for an exact fit). Refused:
// shapes that disagree, a scale that is negative or not finite (InvalidParameter), an H
// that is not numerically positive definite (LinAlgError).
// Without `uncertainty` (or with no free rho), vc equals vp.
Result<Covariance> coefficient_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale,
                                          const SmoothingUncertainty* uncertainty = nullptr);

// The same for a problem with a sparse block (select/blocked.h: its xtwx, compact
// penalties, ridge and block), assembled from the block elimination without any O(p^3)
// step; the ridge stays in H, and the coefficients that carry it get zero rows, columns
// and edf.
Result<Covariance> blocked_covariance(const select::WorkingProblem& problem, VectorView rho,
                                      double scale, const SmoothingUncertainty* uncertainty);

// The same for a shape-constrained fit whose active constraints leave beta = N theta
// (N: p x q, orthonormal columns; select/shape.h): the covariances of theta (with the
// ridge kept in H), mapped back as N V N', zero across the active directions; edf
// diag(N F_theta N').
Result<Covariance> constrained_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale,
                                          MatrixView basis, const SmoothingUncertainty* uncertainty);

}  // namespace velkan::inference
