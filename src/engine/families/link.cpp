#include "engine/families/link.h"

#include <array>
#include <cmath>
#include <numbers>

#include "engine/inference/distributions.h"

namespace velkan::families {

namespace {

double identity(double x) { return x; }
double one(double) { return 1.0; }
void identity_derivatives(double, double* d) { d[0] = 1.0, d[1] = d[2] = d[3] = 0.0; }

double log_link(double mu) { return std::log(mu); }
double exp_inverse(double eta) { return std::exp(eta); }
void exp_derivatives(double eta, double* d) { d[0] = d[1] = d[2] = d[3] = std::exp(eta); }

double logit(double mu) { return std::log(mu / (1.0 - mu)); }
// 1 / (1 + e^-eta) from e^-|eta|, which cannot overflow.
double logistic(double eta) {
  const double e = std::exp(-std::abs(eta));
  return eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
}
double logistic_density(double eta) {
  const double e = std::exp(-std::abs(eta));
  return e / ((1.0 + e) * (1.0 + e));
}
// With s = mu and v = s (1 - s) = mu' (from e^-|eta|, accurate in both tails):
// mu'' = v (1 - 2 s), mu''' = v (1 - 6 v), mu'''' = v (1 - 2 s)(1 - 12 v).
void logistic_derivatives(double eta, double* d) {
  const double e = std::exp(-std::abs(eta));
  const double v = e / ((1.0 + e) * (1.0 + e));
  const double skew = (eta >= 0.0 ? -1.0 : 1.0) * (1.0 - e) / (1.0 + e);  // 1 - 2 s
  d[0] = v;
  d[1] = v * skew;
  d[2] = v * (1.0 - 6.0 * v);
  d[3] = v * skew * (1.0 - 12.0 * v);
}

double probit(double mu) { return inference::normal_quantile(mu); }
// Standard normal distribution function through erfc, accurate in both tails.
double normal_cdf(double eta) { return 0.5 * std::erfc(-eta / std::numbers::sqrt2); }
double normal_density(double eta) {
  return std::exp(-0.5 * eta * eta) / std::sqrt(2.0 * std::numbers::pi);
}
// Derivatives of the normal density: -eta f, (eta^2 - 1) f, eta (3 - eta^2) f.
void normal_derivatives(double eta, double* d) {
  const double f = normal_density(eta), e2 = eta * eta;
  d[0] = f;
  d[1] = -eta * f;
  d[2] = (e2 - 1.0) * f;
  d[3] = eta * (3.0 - e2) * f;
}

// cloglog: eta = log(-log(1 - mu)), mu = 1 - exp(-exp(eta)) = -expm1(-e^eta).
double cloglog(double mu) { return std::log(-std::log1p(-mu)); }
double cloglog_inverse(double eta) { return -std::expm1(-std::exp(eta)); }
double cloglog_mu_eta(double eta) {
  const double e = std::exp(eta);
  return e * std::exp(-e);
}
// With u = e^eta: mu' = u e^-u, and each further derivative is u d/du of the last.
void cloglog_derivatives(double eta, double* d) {
  const double u = std::exp(eta), f = u * std::exp(-u);
  d[0] = f;
  d[1] = f * (1.0 - u);
  d[2] = f * (1.0 - 3.0 * u + u * u);
  d[3] = f * (1.0 - 7.0 * u + 6.0 * u * u - u * u * u);
}

double inverse_link(double x) { return 1.0 / x; }
double inverse_mu_eta(double eta) { return -1.0 / (eta * eta); }
// d^k (1 / eta) = (-1)^k k! / eta^(k+1).
void inverse_derivatives(double eta, double* d) {
  const double r = 1.0 / eta;
  d[0] = -r * r;
  d[1] = 2.0 * r * r * r;
  d[2] = -6.0 * r * r * r * r;
  d[3] = 24.0 * r * r * r * r * r;
}

// 1/mu^2: mu = eta^-1/2.
double inverse_squared(double mu) { return 1.0 / (mu * mu); }
double inverse_squared_inverse(double eta) { return 1.0 / std::sqrt(eta); }
double inverse_squared_mu_eta(double eta) { return -0.5 / (eta * std::sqrt(eta)); }
// The k-th derivative of eta^-1/2 is (-1/2)(-3/2)...(-(2k - 1)/2) eta^-(2k + 1)/2.
void inverse_squared_derivatives(double eta, double* d) {
  const double m = 1.0 / std::sqrt(eta), r = 1.0 / eta;
  d[0] = -0.5 * m * r;
  d[1] = 0.75 * m * r * r;
  d[2] = -1.875 * m * r * r * r;
  d[3] = 6.5625 * m * r * r * r * r;
}

double sqrt_link(double mu) { return std::sqrt(mu); }
double square(double eta) { return eta * eta; }
double twice(double eta) { return 2.0 * eta; }
void square_derivatives(double eta, double* d) { d[0] = 2.0 * eta, d[1] = 2.0, d[2] = d[3] = 0.0; }

constexpr std::array<Link, 8> kLinks{{
    {LinkId::Identity, "identity", identity, identity, one, identity_derivatives},
    {LinkId::Log, "log", log_link, exp_inverse, exp_inverse, exp_derivatives},
    {LinkId::Logit, "logit", logit, logistic, logistic_density, logistic_derivatives},
    {LinkId::Probit, "probit", probit, normal_cdf, normal_density, normal_derivatives},
    {LinkId::Cloglog, "cloglog", cloglog, cloglog_inverse, cloglog_mu_eta, cloglog_derivatives},
    {LinkId::Inverse, "inverse", inverse_link, inverse_link, inverse_mu_eta, inverse_derivatives},
    {LinkId::InverseSquared, "1/mu^2", inverse_squared, inverse_squared_inverse,
     inverse_squared_mu_eta, inverse_squared_derivatives},
    {LinkId::Sqrt, "sqrt", sqrt_link, square, twice, square_derivatives},
}};

}  // namespace

const Link& link(LinkId id) { return kLinks[static_cast<std::size_t>(id)]; }

std::optional<LinkId> find_link(std::string_view name) {
  for (const Link& l : kLinks)
    if (l.name == name) return l.id;
  return std::nullopt;
}

std::span<const Link> all_links() { return kLinks; }

}  // namespace velkan::families
