// Link functions: eta = g(mu) and its inverse, with the derivatives of the inverse that
// working weights need. A family lists the links it allows; every link is one entry of
// the table in link.cpp.
//
// Each inverse is written to keep its accuracy in the tails: the logit through e^-|eta|,
// probit through erfc, cloglog through expm1. Nothing is clamped; a linear predictor
// whose mean cannot be represented gives an infinite or NaN mean, which the fit treats as
// a step too far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace velkan::families {

enum class LinkId : std::uint8_t {
  Identity, Log, Logit, Probit, Cloglog, Inverse, InverseSquared, Sqrt
};

// Derivatives of the inverse link at eta: d[k] = d^(k+1) mu / d eta^(k+1), k = 0..3. The
// observed information of a non-canonical link and the derivatives of the working weights
// that the Laplace-approximate criterion needs go up to the fourth.
inline constexpr std::size_t kLinkDerivatives = 4;
using LinkDerivatives = void (*)(double eta, double* d);

struct Link {
  LinkId id;
  std::string_view name;      // as users write it: "identity", "log", "logit", ...
  double (*link)(double mu);        // eta = g(mu)
  double (*inverse)(double eta);    // mu = g^-1(eta)
  double (*mu_eta)(double eta);     // d mu / d eta
  LinkDerivatives derivatives;      // d mu / d eta up to d^4 mu / d eta^4
};

const Link& link(LinkId id);
std::optional<LinkId> find_link(std::string_view name);
std::span<const Link> all_links();

}  // namespace velkan::families
