// The first and second derivatives of the REML score with respect to the log smoothing
// parameters rho_i (lambda_i = exp(rho_i)), written once for every entry point (the direct
// and block-wise gradients, the QR Hessian and the search's cached derivatives).
//
// The score (reml/criterion.h) is
//   0.5 [ ln|A + delta I| + (RSS + P) / phi + (n - r) ln(2 pi phi) - sum_i r_i rho_i ]
// with A = X'WX + sum_j lambda_j S_j, delta the ridge of linalg/ridged_solve.h (it depends
// on X'WX only, not on rho), beta the refined solution of A beta = X'Wy,
// RSS = |W^1/2 (y - X beta)|^2, P = sum_j lambda_j beta' S_j beta and phi = RSS / (n - r).
// Term by term:
//   d ln|A + delta I| / d rho_i = lambda_i tr((A + delta I)^-1 S_i)
//   d beta / d rho_i = -A^-1 lambda_i S_i beta   (through the same refined solve)
//   dRSS_i = -2 (X'W r)' dbeta_i,  dP_i = lambda_i beta'S_i beta + dbeta_i'(S_lambda + S_lambda')beta
// so the derivatives are those of the very score the criterion returns. Every quotient by
// phi is taken as a ratio of like quantities (dphi / phi = dRSS / RSS), so responses of any
// magnitude from 1e-150 to 1e150 give finite values where the score is finite.
//
// The ranks r_i here are the column counts of the penalties' square roots. Without residual
// degrees of freedom (r >= n) the scale is undefined and everything is NaN.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"

namespace velkan {

// What the first derivatives leave behind for the second.
struct RemlFirstOrder {
  std::size_t rank = 0;     // sum of r_i
  double n_minus_r = 0.0;   // as a float difference
  double rss = 0.0;
  double phi = 0.0;         // NaN when rank >= n
  double pen_total = 0.0;   // RSS + P
  Vector xtwr;              // X'W r at beta
  Vector beta;
  std::vector<double> trace;         // tr((A + delta I)^-1 S_i)
  std::vector<double> quad;          // beta' S_i beta
  std::vector<Vector> st_beta;       // S_i' beta
  Vector s_lambda_t_beta;            // S_lambda' beta
  std::vector<Vector> dbeta;         // d beta / d rho_i
  std::vector<double> d_rss;         // dRSS_i
  std::vector<double> d_phi_rel;     // dphi_i / phi = dRSS_i / RSS
  std::vector<double> d_pen_total;   // dRSS_i + dP_i
  Vector gradient;                   // m
};

// The first derivatives at beta (the system's refined solution of A beta = X'Wy), from
// RSS and X'W r at beta and the penalties' square roots (one per penalty, p rows each).
// Errors: the solver's.
Result<RemlFirstOrder> reml_first_order(const RidgedSolver& system,
                                        std::span<const double> lambdas,
                                        std::span<const Matrix> penalties,
                                        std::span<const Matrix> sqrt_penalties, Vector beta,
                                        const ResidualProducts& residuals, std::size_t n);

// The Hessian (m x m, exactly symmetric) from the first derivatives, X'WX and the same
// system. With `trace`, the "[HESS_CORRECTED]" breakdown of the entries (a, a) and (0, 1)
// and the final matrix are printed under VELKAN_HESS_DEBUG. Errors: the solver's.
Result<Matrix> reml_second_order(const RemlFirstOrder& first, const RidgedSolver& system,
                                 const Matrix& xtwx, std::span<const double> lambdas,
                                 std::span<const Matrix> penalties, bool trace);

}  // namespace velkan
