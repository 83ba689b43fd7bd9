// Tail probabilities and quantiles of the reference distributions of the model's tests
// and intervals: normal, Student t, chi-square, F, and the chi-square mixture that the
// smooth-term tests refer to. Degrees of freedom may be fractional.
//
// Every upper tail is computed directly (never as 1 minus a lower tail), so that small
// p-values keep their relative accuracy down to about 1e-300.
#pragma once

#include <cstddef>

namespace velkan::inference {

// Relative accuracy at which the series and continued fractions stop.
inline constexpr double kTailTolerance = 1e-15;
// Largest number of terms of a series or continued fraction before it gives up (with the
// value reached, which for the arguments met here is already converged).
inline constexpr int kTailMaxTerms = 10000;
// Absolute accuracy of the numerical integral behind the chi-square mixture.
inline constexpr double kMixtureTolerance = 1e-13;

// P(Z > z) for a standard normal Z.
double normal_upper(double z);
// The standard normal quantile: x with P(Z <= x) = p. -inf at 0, +inf at 1, NaN outside.
double normal_quantile(double p);
// Regularised incomplete gamma functions, a > 0, x >= 0: P(a, x) + Q(a, x) = 1.
double gamma_upper_regularised(double a, double x);
// Regularised incomplete beta function I_x(a, b), a, b > 0, 0 <= x <= 1.
double beta_regularised(double a, double b, double x);

// P(X > x) for X chi-square with df > 0 degrees of freedom.
double chi_square_upper(double x, double df);
// P(X > x) for X F-distributed with (df1, df2) degrees of freedom.
double f_upper(double x, double df1, double df2);
// P(|T| > |t|) for T Student t with df degrees of freedom.
double student_t_two_sided(double t, double df);
// P(X > x) for X = C_k + nu C_1, C_k and C_1 independent chi-square variables with k and
// 1 degrees of freedom and 0 <= nu <= 1: the reference distribution of a Wald statistic
// of k full directions and one direction weighted by nu.
double chi_square_mixture_upper(double x, std::size_t k, double nu);

}  // namespace velkan::inference
