// Response families of the modelling engine, as one pass over the data needs them: the
// mean, working weight, working residual and deviance of a row from its linear
// predictor. Links: gaussian identity, binomial logit, poisson log, gamma log.
//
// Nothing here is clamped: every formula is written so that it stays accurate where the
// textbook form overflows or cancels (the binomial deviance through softplus, the gamma
// deviance through expm1), and a linear predictor too large for the mean to be
// represented gives a non-finite deviance, which the fit treats as a step too far.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velkan::passes {

enum class GlmFamily : std::uint8_t { Gaussian, Binomial, Poisson, Gamma };

// "gaussian", "binomial", "poisson", "gamma".
std::optional<GlmFamily> parse_glm_family(std::string_view name);
// Whether the dispersion is estimated (gaussian, gamma) rather than fixed at 1.
bool estimates_scale(GlmFamily f);

// Whether y is a valid response: gaussian any finite value; binomial a proportion in
// [0, 1]; poisson a non-negative count (any non-negative value); gamma positive.
bool in_support(GlmFamily f, double y);

// One row's share of a pass. `prior_weight` multiplies the log-likelihood contribution
// (binomial: the number of trials, y the proportion of successes).
struct WorkingRow {
  double mu;
  double weight;    // prior_weight * (dmu/deta)^2 / V(mu); Fisher scoring (gamma: prior_weight)
  double residual;  // (y - mu) / (dmu/deta); 0 where the weight is 0
  double deviance;  // prior_weight * unit deviance
  double pearson;   // prior_weight * (y - mu)^2 / V(mu)
};
WorkingRow working_row(GlmFamily f, double y, double eta, double prior_weight);

// The linear predictor a fit starts from, from the response alone (binomial: the
// proportion moved half a trial toward 1/2; poisson: y + 0.1; gamma: y; gaussian: y).
double starting_eta(GlmFamily f, double y, double prior_weight);

// Link and inverse link.
double link(GlmFamily f, double mu);
double inverse_link(GlmFamily f, double eta);

}  // namespace velkan::passes
