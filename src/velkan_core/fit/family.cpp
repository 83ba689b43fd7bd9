// Response families. Every function here is pure and elementwise; the clamps keep exp()
// finite and the binomial mean strictly inside (0, 1), the floors keep variances and
// weights away from zero. Inputs outside a family's domain (a gamma eta of 0 in mu_eta, a
// non-positive gamma response in the deviance) are not guarded: their non-finite values
// propagate to the caller, which decides what they mean.
#include "velkan_core/fit/family.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace velkan {

namespace {

// y log(y / m), with the 0 log 0 = 0 convention of the binomial deviance.
double xlogx_ratio(double y, double m) { return y == 0.0 ? 0.0 : y * std::log(y / m); }

}  // namespace

std::optional<Family> parse_family(std::string_view name) {
  if (name == "gaussian") return Family::Gaussian;
  if (name == "binomial") return Family::Binomial;
  if (name == "poisson") return Family::Poisson;
  if (name == "gamma") return Family::Gamma;
  return std::nullopt;
}

const char* family_name(Family f) {
  switch (f) {
    case Family::Gaussian: return "gaussian";
    case Family::Binomial: return "binomial";
    case Family::Poisson: return "poisson";
    case Family::Gamma: return "gamma";
  }
  return "unknown";
}

double linkinv(Family f, double eta) {
  switch (f) {
    case Family::Gaussian:
      return eta;
    case Family::Binomial: {
      // std::clamp keeps a NaN eta as NaN (both comparisons are false).
      const double e = std::clamp(eta, -kEtaCap, kEtaCap);
      return 1.0 / (1.0 + std::exp(-e));
    }
    case Family::Poisson:
      // Only the upper end is capped: exp of a very negative eta underflows harmlessly to 0.
      return std::exp(std::min(eta, kEtaCap));  // std::min keeps a NaN eta
    case Family::Gamma:
      // The inverse link has a pole at 0; a huge finite mean stands in for it. Negative
      // eta gives a negative mean, outside the family's domain, and is left to the caller.
      return std::abs(eta) < kGammaEtaZero ? kGammaMuAtZero : 1.0 / eta;
  }
  return eta;
}

double mu_eta(Family f, double eta) {
  switch (f) {
    case Family::Gaussian:
      return 1.0;
    case Family::Binomial: {
      const double p = linkinv(Family::Binomial, eta);
      return p * (1.0 - p);
    }
    case Family::Poisson:
      // Deliberately without the cap of linkinv: the derivative of the uncapped exp.
      return std::exp(eta);
    case Family::Gamma:
      return -1.0 / (eta * eta);
  }
  return 1.0;
}

MeanAndDerivative mean_and_derivative(Family f, double eta) {
  switch (f) {
    case Family::Binomial: {
      const double p = linkinv(Family::Binomial, eta);
      return {p, p * (1.0 - p)};
    }
    case Family::Poisson:
      // Below the cap the mean and its derivative are the same exp(eta).
      if (eta <= kEtaCap) {
        const double e = std::exp(eta);
        return {e, e};
      }
      return {linkinv(Family::Poisson, eta), std::exp(eta)};
    case Family::Gaussian:
    case Family::Gamma:
      break;
  }
  return {linkinv(f, eta), mu_eta(f, eta)};
}

double variance(Family f, double mu) {
  switch (f) {
    case Family::Gaussian: return 1.0;
    case Family::Binomial: return mu * (1.0 - mu);
    case Family::Poisson: return mu;
    case Family::Gamma: return mu * mu;
  }
  return 1.0;
}

double working_weight(Family f, double eta, double mu) {
  const double g = mu_eta(f, eta);
  const double v = std::max(variance(f, mu), kVarianceFloor);
  // std::max(x, floor) returns x when x is NaN, so a NaN weight stays visible.
  return std::max(g * g / v, kVarianceFloor);
}

double initial_eta(Family f, double y) {
  switch (f) {
    case Family::Gaussian:
      return y;
    case Family::Binomial: {
      const double m = std::min(std::max(y, kBinomialStartFloor), kBinomialStartCeiling);
      return std::log(m / (1.0 - m));
    }
    case Family::Poisson:
      return std::log(std::max(y, kCountStartFloor));
    case Family::Gamma:
      return 1.0 / std::max(y, kCountStartFloor);
  }
  return y;
}

double unit_deviance(Family f, double y, double mu) {
  // The floor on the mean keeps log(y / m) and log(1 / m) finite for fitted means that
  // underflowed to 0 (poisson at very negative eta) or were given as 0.
  if (f == Family::Gaussian) {
    const double r = y - mu;
    return r * r;
  }
  const double m = std::max(mu, kVarianceFloor);
  switch (f) {
    case Family::Binomial:
      // Responses outside [0, 1] contribute nothing (and NaN compares false everywhere,
      // so it contributes nothing either).
      if (y == 0.0) return 2.0 * std::log(1.0 / (1.0 - m));
      if (y == 1.0) return 2.0 * std::log(1.0 / m);
      if (y > 0.0 && y < 1.0) {
        return 2.0 * (xlogx_ratio(y, m) + xlogx_ratio(1.0 - y, 1.0 - m));
      }
      return 0.0;
    case Family::Poisson:
      // y = 0 is the limit of the general term; negative counts are treated the same way.
      if (y > 0.0) return 2.0 * (y * std::log(y / m) - (y - m));
      return 2.0 * m;
    case Family::Gamma:
      return 2.0 * ((y - m) / m - std::log(y / m));
    case Family::Gaussian:
      break;
  }
  return 0.0;
}

Vector linkinv(Family f, VectorView eta) {
  Vector mu(eta.size);
  for (std::size_t i = 0; i < eta.size; ++i) mu[i] = linkinv(f, eta[i]);
  return mu;
}

Vector mu_eta(Family f, VectorView eta) {
  Vector g(eta.size);
  for (std::size_t i = 0; i < eta.size; ++i) g[i] = mu_eta(f, eta[i]);
  return g;
}

Vector working_weights(Family f, VectorView eta) {
  Vector w(eta.size);
  for (std::size_t i = 0; i < eta.size; ++i) {
    // The formula of working_weight, with mu and its derivative from one evaluation.
    const auto [mu, g] = mean_and_derivative(f, eta[i]);
    w[i] = std::max(g * g / std::max(variance(f, mu), kVarianceFloor), kVarianceFloor);
  }
  return w;
}

Vector initial_eta(Family f, VectorView y) {
  Vector eta(y.size);
  for (std::size_t i = 0; i < y.size; ++i) eta[i] = initial_eta(f, y[i]);
  return eta;
}

Result<double> deviance(Family f, VectorView y, VectorView mu) {
  if (y.size != mu.size)
    return fail(GamError::dimension_mismatch("y has " + std::to_string(y.size) +
                                             " elements but mu has " + std::to_string(mu.size)));
  double total = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) total += unit_deviance(f, y[i], mu[i]);
  return total;
}

}  // namespace velkan
