#include "engine/passes/glm.h"

#include <cmath>

namespace velkan::passes {

namespace {

// x log x with 0 log 0 = 0.
double xlogx(double x) { return x > 0.0 ? x * std::log(x) : 0.0; }

}  // namespace

std::optional<GlmFamily> parse_glm_family(std::string_view name) {
  if (name == "gaussian") return GlmFamily::Gaussian;
  if (name == "binomial") return GlmFamily::Binomial;
  if (name == "poisson") return GlmFamily::Poisson;
  if (name == "gamma") return GlmFamily::Gamma;
  return std::nullopt;
}

bool estimates_scale(GlmFamily f) { return f == GlmFamily::Gaussian || f == GlmFamily::Gamma; }

bool in_support(GlmFamily f, double y) {
  switch (f) {
    case GlmFamily::Gaussian: return std::isfinite(y);
    case GlmFamily::Binomial: return y >= 0.0 && y <= 1.0;
    case GlmFamily::Poisson: return y >= 0.0 && std::isfinite(y);
    case GlmFamily::Gamma: return y > 0.0 && std::isfinite(y);
  }
  return false;
}

WorkingRow working_row(GlmFamily f, double y, double eta, double pw) {
  WorkingRow r{};
  switch (f) {
    case GlmFamily::Gaussian: {
      r.mu = eta;
      r.weight = pw;
      r.residual = y - eta;
      r.deviance = pw * r.residual * r.residual;
      r.pearson = r.deviance;
      return r;
    }
    case GlmFamily::Binomial: {
      // mu (1 - mu) = e^-|eta| / (1 + e^-|eta|)^2 keeps its relative accuracy in the tails,
      // where 1 - mu would round to 0 or 1.
      const double e = std::exp(-std::abs(eta));
      const double var = e / ((1.0 + e) * (1.0 + e));
      r.mu = eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
      r.weight = pw * var;
      r.residual = var > 0.0 ? (y - r.mu) / var : 0.0;
      // softplus(+-eta) = max(+-eta, 0) + log1p(e^-|eta|), from the exponential above.
      const double l1p = std::log1p(e);
      const double sp_pos = std::max(eta, 0.0) + l1p, sp_neg = std::max(-eta, 0.0) + l1p;
      const double entropy = (y > 0.0 && y < 1.0) ? xlogx(y) + xlogx(1.0 - y) : 0.0;
      r.deviance = 2.0 * pw * (entropy + y * sp_neg + (1.0 - y) * sp_pos);
      r.pearson = var > 0.0 ? pw * (y - r.mu) * (y - r.mu) / var : 0.0;
      if (r.weight == 0.0) r.residual = 0.0;
      return r;
    }
    case GlmFamily::Poisson: {
      r.mu = std::exp(eta);
      r.weight = pw * r.mu;
      r.residual = r.mu > 0.0 ? y / r.mu - 1.0 : 0.0;
      // y (log y - eta) - (y - mu) = y (a + expm1(-a)) with a = log y - eta.
      if (y > 0.0) {
        const double a = std::log(y) - eta;
        r.deviance = 2.0 * pw * y * (a + std::expm1(-a));
      } else {
        r.deviance = 2.0 * pw * r.mu;
      }
      r.pearson = r.mu > 0.0 ? pw * (y - r.mu) * (y - r.mu) / r.mu : 0.0;
      if (r.weight == 0.0) r.residual = 0.0;
      return r;
    }
    case GlmFamily::Gamma: {
      // With the log link the Fisher weight is the prior weight whatever the mean, and the
      // deviance 2 ((y - mu) / mu - log(y / mu)) = 2 (expm1(b) - b), b = log y - eta.
      r.mu = std::exp(eta);
      const double b = std::log(y) - eta;
      const double ratio = std::expm1(b);  // (y - mu) / mu
      r.weight = pw;
      r.residual = ratio;
      r.deviance = 2.0 * pw * (ratio - b);
      r.pearson = pw * ratio * ratio;
      return r;
    }
  }
  return r;
}

double starting_eta(GlmFamily f, double y, double pw) {
  switch (f) {
    case GlmFamily::Gaussian: return y;
    case GlmFamily::Binomial: {
      const double mu = (pw * y + 0.5) / (pw + 1.0);
      return std::log(mu / (1.0 - mu));
    }
    case GlmFamily::Poisson: return std::log(y + 0.1);
    case GlmFamily::Gamma: return std::log(y);
  }
  return 0.0;
}

double link(GlmFamily f, double mu) {
  switch (f) {
    case GlmFamily::Gaussian: return mu;
    case GlmFamily::Binomial: return std::log(mu / (1.0 - mu));
    case GlmFamily::Poisson:
    case GlmFamily::Gamma: return std::log(mu);
  }
  return mu;
}

double inverse_link(GlmFamily f, double eta) {
  switch (f) {
    case GlmFamily::Gaussian: return eta;
    case GlmFamily::Binomial: {
      const double e = std::exp(-std::abs(eta));
      return eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
    }
    case GlmFamily::Poisson:
    case GlmFamily::Gamma: return std::exp(eta);
  }
  return eta;
}

}  // namespace velkan::passes
