// Positive, right-skewed responses whose variance grows with the cube of the mean:
// V(mu) = mu^3, the scale estimated. The canonical link is 1/mu^2.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 4> kLinks{LinkId::InverseSquared, LinkId::Log, LinkId::Inverse,
                                       LinkId::Identity};

class InverseGaussian final : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "inverse_gaussian",
        .class_name = "InverseGaussian",
        .doc = "Positive responses whose variance grows with the cube of the mean: "
               "V(mu) = mu^3, the scale estimated.",
        .links = kLinks,
        .scale_estimated = true,
        .support = "positive values",
        .support_lower = 0.0,
        .proportion = false,
        .normal_errors = false,
        .exact_fit_warning = "",
        .parameters = {},
    };
    return i;
  }
  bool in_support(double y) const override { return y > 0.0 && std::isfinite(y); }
  std::size_t first_outside_support(VectorView y) const override {
    return first_outside(*this, y);
  }
  bool valid_mean(double mu) const override { return mu > 0.0 && std::isfinite(mu); }
  double variance(double mu, std::span<const double>) const override { return mu * mu * mu; }
  void variance_derivatives(double mu, std::span<const double>, double* d) const override {
    d[0] = 3.0 * mu * mu, d[1] = 6.0 * mu, d[2] = 6.0;
  }
  // The Newton weight of the canonical link is mu^3 / 4 > 0.
  bool newton_weights_positive(LinkId link) const override {
    return link == LinkId::InverseSquared;
  }
  bool newton_is_fisher(LinkId link) const override { return link == LinkId::InverseSquared; }
  // (y - mu)^2 / (y mu^2), written as r^2 / y with r = (y - mu) / mu so that it neither
  // overflows nor cancels for responses far from 1.
  double unit_deviance(double y, double mu, std::span<const double>) const override {
    const double r = (y - mu) / mu;
    return r * r / y;
  }
  double starting_mean(double y, double) const override { return y; }

  // The inverse gaussian of mean mu and shape lambda = w / phi (variance phi mu^3 / w) by
  // the transformation with multiple roots: z^2 of a standard normal z gives the smaller
  // root x = mu / (1 + r + sqrt(r (2 + r))), r = mu z^2 / (2 lambda) (a form without
  // cancellation), taken with probability mu / (mu + x), else mu^2 / x.
  double draw(double mu, double pw, double scale, std::span<const double>,
              RowRandom& rng) const override {
    if (!(mu > 0.0) || !std::isfinite(mu)) return std::numeric_limits<double>::quiet_NaN();
    const double z = std::normal_distribution<double>()(rng);
    const double r = mu * z * z * scale / (2.0 * pw);
    const double x = mu / (1.0 + r + std::sqrt(r * (2.0 + r)));
    const double u = std::uniform_real_distribution<double>()(rng);
    return u * (mu + x) <= mu ? x : mu * (mu / x);
  }
  std::string_view draw_requirement() const override { return "the mean must be positive"; }

  // h(y) = 1 / y; the normaliser -1/2 log(2 pi y^3).
  void add_response_sums(std::span<const double>, const double* y, const double* pw, std::size_t count,
                         ResponseSums& s) const override {
    for (std::size_t i = 0; i < count; ++i) {
      if (pw[i] == 0.0) continue;
      s.saturated_sum += pw[i] / y[i];
      s.log_normaliser -= 0.5 * pw[i] * (std::log(2.0 * std::numbers::pi) + 3.0 * std::log(y[i]));
    }
  }
  // sum w (y - m)^2 / (y m^2) = sum w / y - sum w / m at the weighted mean m.
  double null_deviance(std::span<const double>, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double mean = s.response_sum / s.weight_sum;
    return std::max(s.saturated_sum - s.weight_sum / mean, 0.0);
  }
  // At the maximum-likelihood scale deviance / sum of weights.
  double log_likelihood(std::span<const double>, double deviance, const ResponseSums& s) const override {
    const double phi = deviance / s.weight_sum;
    if (!(phi > 0.0)) return std::numeric_limits<double>::infinity();
    return s.log_normaliser - 0.5 * s.weight_sum * (std::log(phi) + 1.0);
  }
};

}  // namespace

const Family& inverse_gaussian_family() {
  static const InverseGaussian f;
  return f;
}

}  // namespace velkan::families
