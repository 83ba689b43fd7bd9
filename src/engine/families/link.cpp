#include "engine/families/link.h"

#include <array>
#include <cmath>
#include <numbers>

#include "engine/inference/distributions.h"

namespace velkan::families {

namespace {

double identity(double x) { return x; }
double one(double) { return 1.0; }

double log_link(double mu) { return std::log(mu); }
double exp_inverse(double eta) { return std::exp(eta); }

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

// Standard normal distribution function through erfc, accurate in both tails.
double normal_cdf(double eta) { return 0.5 * std::erfc(-eta / std::numbers::sqrt2); }
double normal_density(double eta) {
  return std::exp(-0.5 * eta * eta) / std::sqrt(2.0 * std::numbers::pi);
}
// cloglog: eta = log(-log(1 - mu)), mu = 1 - exp(-exp(eta)) = -expm1(-e^eta).
double cloglog(double mu) { return std::log(-std::log1p(-mu)); }
double cloglog_inverse(double eta) { return -std::expm1(-std::exp(eta)); }
double cloglog_mu_eta(double eta) {
  const double e = std::exp(eta);
  return e * std::exp(-e);
}

double inverse_link(double x) { return 1.0 / x; }
double inverse_mu_eta(double eta) { return -1.0 / (eta * eta); }

// 1/mu^2: mu = eta^-1/2.
double inverse_squared(double mu) { return 1.0 / (mu * mu); }
double inverse_squared_inverse(double eta) { return 1.0 / std::sqrt(eta); }
double inverse_squared_mu_eta(double eta) { return -0.5 / (eta * std::sqrt(eta)); }

double sqrt_link(double mu) { return std::sqrt(mu); }
double square(double eta) { return eta * eta; }
double twice(double eta) { return 2.0 * eta; }

constexpr std::array<Link, 8> kLinks{{
    {LinkId::Identity, "identity", identity, identity, one},
    {LinkId::Log, "log", log_link, exp_inverse, exp_inverse},
    {LinkId::Logit, "logit", logit, logistic, logistic_density},
    {LinkId::Probit, "probit", inference::normal_quantile, normal_cdf, normal_density},
    {LinkId::Cloglog, "cloglog", cloglog, cloglog_inverse, cloglog_mu_eta},
    {LinkId::Inverse, "inverse", inverse_link, inverse_link, inverse_mu_eta},
    {LinkId::InverseSquared, "1/mu^2", inverse_squared, inverse_squared_inverse,
     inverse_squared_mu_eta},
    {LinkId::Sqrt, "sqrt", sqrt_link, square, twice},
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
