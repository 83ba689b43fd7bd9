// The Laplace approximation to the restricted (marginal) likelihood of a non-gaussian
// model, as a function of its coordinates x: the free log smoothing parameters and, for a
// family with a parameter the criterion estimates, psi = log(parameter).
//
// At x the penalized fit beta^ maximises l(beta) - beta'S beta / 2 (penalized IRLS to
// convergence; S = S_lambda plus the identifiability ridge), and with the observed
// information H = X'WX + S at beta^ (W the Newton weights, per unit scale):
//
//   scale known (1):      V = -l(beta^) + beta^'S beta^ / 2 + (ln|H| - ln|S_lambda|_+) / 2 + c
//   scale estimated:      V = (D_p / phi + ln|H| - ln|S_lambda|_+ + (n - M) ln(2 pi phi)) / 2,
//                         phi = D_p / (n - M) (profiled), D_p = D(beta^) + beta^'S beta^
//
// with -l = D / 2 up to a constant when the family has no estimated parameter (D the
// deviance). For a gaussian model with the identity link W is constant and V is the REML
// criterion of criterion.h. The scale-estimated form reads the deviance as the
// log-likelihood's exponent (the saddlepoint approximation), which quasi families and
// families whose density has no closed form need.
//
// Exact derivatives. beta^ moves with x: H d beta / d x_k = b_k with b_k = -lambda_k S_k beta^
// (a log smoothing parameter) or X'g_psi (the family parameter; g the score), and so do the
// weights: dW/dx_k = diag(w' X d beta_k + w_psi). The first derivative of ln|H| is then
// tr(H^-1 dH_k) = sum_i h_i dw_ik + lambda_k tr(H^-1 S_k), h_i = x_i'H^-1 x_i, and the second
// needs d^2 beta / dx_j dx_k = H^-1 (db_k/dx_j - dH_j d beta_k) and tr(H^-1 dH_j H^-1 dH_k): the
// sums over rows come from one derivative pass at beta^ (passes::DerivativeSums), the rest
// is O(K p^3) here.
#pragma once

#include <cstddef>
#include <vector>

#include "common/gam_error.h"
#include "engine/passes/accumulate.h"
#include "engine/terms/layout.h"
#include "linalg/matrix.h"

namespace velkan::select {

struct LaplaceInput {
  const terms::ModelLayout* layout = nullptr;  // centred
  // The pass at beta^ with the observed information (PassOptions::observed_information),
  // and the parameter sums when the family parameter is a coordinate.
  const passes::PassSums* sums = nullptr;
  Vector beta_raw;          // beta^ over the raw design
  Vector rho;               // one log smoothing parameter per penalty
  std::vector<bool> free;   // which are coordinates
  bool parameter = false;   // the family parameter psi is the last coordinate
  double known_scale = 1.0; // NaN: estimated (profiled)
  Vector ridge;             // identifiability ridge (constrained; empty for none)
};

struct LaplacePoint {
  bool defined = false;     // H positive definite and (estimated scale) D_p > 0, n > M
  double score = 0.0;
  double scale = 1.0;
  double deviance = 0.0;
  double penalized_deviance = 0.0;
  double log_det_h = 0.0;
  Vector beta;              // constrained
  Matrix h_inverse;         // constrained
  Matrix dbeta;             // constrained, p x K: d beta^ / d x_k
  std::vector<std::size_t> coordinates;  // penalty index of each rho coordinate
  // What the derivative pass needs (raw design coordinates).
  passes::DerivativeRequest request;
};

struct LaplaceDerivatives {
  Vector gradient;  // K
  Matrix hessian;   // K x K
};

// The criterion and d beta^ / dx at x. Refused: shapes that do not match the layout.
Result<LaplacePoint> laplace_point(const LaplaceInput& in);

// Gradient and Hessian from the point and the derivative pass's sums at beta^ (made with
// the point's request). Refused: sums of the wrong shape.
Result<LaplaceDerivatives> laplace_derivatives(const LaplaceInput& in, const LaplacePoint& at,
                                               const passes::DerivativeSums& sums);

// The gradient alone, which needs only the sums t of the derivative pass (one made with
// DerivativeRequest::hessian false will do). Refused as laplace_derivatives.
Result<Vector> laplace_gradient(const LaplaceInput& in, const LaplacePoint& at,
                                const passes::DerivativeSums& sums);

}  // namespace velkan::select
