// Response families: inverse links, derivatives, variances, working weights, starting
// linear predictors and deviances, with the clamps and floors the fits rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

enum class Family : std::uint8_t { Gaussian = 0, Binomial = 1, Poisson = 2, Gamma = 3 };

// "gaussian", "binomial", "poisson", "gamma" (exact, case-sensitive).
std::optional<Family> parse_family(std::string_view name);
const char* family_name(Family f);

inline constexpr double kEtaCap = 20.0;          // linear predictors capped before exp
inline constexpr double kVarianceFloor = 1e-10;  // variances and weights floored here
inline constexpr double kGammaMuAtZero = 1e10;   // gamma mean where |eta| < kGammaEtaZero
inline constexpr double kGammaEtaZero = 1e-10;
// Starting means: binomial responses are pulled into [0.01, 0.99], poisson and gamma
// responses floored at 0.1, so the starting linear predictor is finite.
inline constexpr double kBinomialStartFloor = 0.01;
inline constexpr double kBinomialStartCeiling = 0.99;
inline constexpr double kCountStartFloor = 0.1;

double linkinv(Family f, double eta);
double mu_eta(Family f, double eta);
// linkinv(f, eta) and mu_eta(f, eta) from one call, sharing the exponential where both
// use the same one; bit-identical to the two separate calls.
struct MeanAndDerivative {
  double mu;
  double dmu_deta;
};
MeanAndDerivative mean_and_derivative(Family f, double eta);
double variance(Family f, double mu);
// max(mu_eta(eta)^2 / max(V(mu), 1e-10), 1e-10) with mu = linkinv(eta).
double working_weight(Family f, double eta, double mu);
double initial_eta(Family f, double y);
// Unit deviance of one observation (mu floored at 1e-10 for non-gaussian families).
double unit_deviance(Family f, double y, double mu);

Vector linkinv(Family f, VectorView eta);
Vector mu_eta(Family f, VectorView eta);
// working_weight(f, eta_i, linkinv(f, eta_i)) for every i.
Vector working_weights(Family f, VectorView eta);
Vector initial_eta(Family f, VectorView y);
// Sum of unit deviances in observation order. DimensionMismatch when y and mu differ in
// length (an internal error, never a partial sum).
Result<double> deviance(Family f, VectorView y, VectorView mu);

}  // namespace velkan
