// Approximate tests of "this smooth term is zero".
//
// The method. Let beta be the term's q coefficients, V its q x q block of the Bayesian
// covariance (Vp, or Vc which adds the smoothing parameters' uncertainty; see
// covariance.h), G its block of X'WX and tau its effective degrees of freedom.
//
// 1. Work with the term's fitted values, not its coefficients, so that the test does not
//    depend on how the basis is scaled or rotated: with G = R'R (R = D^1/2 Q' from the
//    eigendecomposition G = Q D Q', which also serves a rank-deficient G), theta = R beta
//    has covariance V_theta = R V R', and theta'theta = beta'G beta is the weighted sum of
//    squares of the term's contribution over the training rows.
// 2. A penalized term has fewer degrees of freedom than coefficients: the penalty shrinks
//    some directions almost to nothing, and there V_theta is small and theta carries no
//    information. A full Wald statistic theta'V_theta^-1 theta would add one noisy
//    chi-square(1) for each of them and lose power; it would also divide by eigenvalues
//    that are mostly rounding. So only the leading directions count: with the eigenpairs
//    (l_i, u_i) of V_theta in decreasing order and z_i = u_i'theta / sqrt(l_i),
//
//        T = z_1^2 + ... + z_k^2 + nu z_{k+1}^2,     k = floor(tau_r), nu = tau_r - k,
//
//    a rank-k pseudo-inverse with the next direction weighted by the fractional part, so
//    that T moves continuously with the reference rank tau_r = max(1, tau) (capped at the
//    numerical rank of V_theta). An edf below 1 still gets one full direction: any
//    non-zero term has at least one.
// 3. Under the null, theta is approximately normal with covariance V_theta, the z_i are
//    independent standard normals and T follows C_k + nu C_1 (chi-square variables with k
//    and 1 degrees of freedom), whose tail is evaluated exactly (distributions.h). With an
//    estimated scale, T / tau_r is referred to F(tau_r, residual degrees of freedom)
//    instead: the usual allowance for the scale's own sampling error, with the mixture
//    matched by its mean.
#pragma once

#include <cstddef>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan::inference {

// Eigenvalues of G or V_theta below this fraction of the largest count as zero.
inline constexpr double kTestRankTolerance = 1e-10;

struct TermTest {
  double statistic = 0.0;  // T (known scale) or T / ref_df (estimated scale)
  double ref_df = 0.0;     // tau_r
  std::size_t rank = 0;    // numerical rank of V_theta
  double p_value = 1.0;
};

// beta: q coefficients; vp, g: q x q blocks; edf: the term's effective degrees of freedom;
// residual_df: positive for an estimated scale (F reference), NaN or <= 0 for a known
// scale (chi-square reference). A term without any direction of positive variance gets
// statistic 0, ref_df 0, p-value 1. Refused: shapes that disagree (DimensionMismatch), an
// eigendecomposition that fails (LinAlgError).
Result<TermTest> smooth_term_test(VectorView beta, MatrixView vp, MatrixView g, double edf,
                                  double residual_df);

// Two-sided p-value of a single coefficient's Wald statistic estimate / standard error:
// normal reference when residual_df is NaN or <= 0, Student t otherwise.
double wald_p_value(double statistic, double residual_df);

}  // namespace velkan::inference
