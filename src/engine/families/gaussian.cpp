// Normal responses: V(mu) = 1, the scale estimated.
#include <array>
#include <random>
#include <cmath>
#include <limits>
#include <numbers>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 3> kLinks{LinkId::Identity, LinkId::Log, LinkId::Inverse};

class Gaussian final : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "gaussian",
        .class_name = "Gaussian",
        .doc = "Normal responses with constant variance: V(mu) = 1, the scale estimated.",
        .links = kLinks,
        .scale_estimated = true,
        .support = "any finite value",
        .support_lower = -std::numeric_limits<double>::infinity(),
        .proportion = false,
        .normal_errors = true,
        .exact_fit_warning = "",
        .parameters = {},
    };
    return i;
  }
  bool in_support(double y) const override { return std::isfinite(y); }
  std::size_t first_outside_support(VectorView y) const override {
    return first_outside(*this, y);
  }
  bool valid_mean(double mu) const override { return std::isfinite(mu); }
  double variance(double, std::span<const double>) const override { return 1.0; }
  void variance_derivatives(double, std::span<const double>, double* d) const override {
    d[0] = d[1] = d[2] = 0.0;
  }
  bool newton_weights_positive(LinkId link) const override { return link == LinkId::Identity; }
  bool newton_is_fisher(LinkId link) const override { return link == LinkId::Identity; }
  double unit_deviance(double y, double mu, std::span<const double>) const override {
    return (y - mu) * (y - mu);
  }
  double starting_mean(double y, double) const override { return y; }

  double draw(double mu, double pw, double scale, std::span<const double>,
              RowRandom& rng) const override {
    return mu + std::sqrt(scale / pw) * std::normal_distribution<double>()(rng);
  }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    if (model.link_id() != LinkId::Identity) return Family::working(model, in, out);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double pw = in.prior_weight[i];
      const double r = in.y[i] - in.eta[i];
      out.weight[i] = pw;
      out.residual[i] = r;
      out.deviance[i] = pw * r * r;
      out.pearson[i] = out.deviance[i];
    }
  }

  void add_response_sums(std::span<const double>, const double*, const double*, std::size_t, ResponseSums&) const override {}

  // The residual sums are measured from a constant starting level, so the weighted sum of
  // squares about the mean keeps its digits however far the response sits from zero; it
  // is exact with an offset too.
  double null_deviance(std::span<const double>, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    return std::max(s.residual_square_sum - s.residual_sum * s.residual_sum / s.weight_sum, 0.0);
  }
  // At the maximum-likelihood scale deviance / sum of weights.
  double log_likelihood(std::span<const double>, double deviance, const ResponseSums& s) const override {
    const double phi = deviance / s.weight_sum;
    if (!(phi > 0.0)) return std::numeric_limits<double>::infinity();
    return -0.5 * s.weight_sum * (std::log(2.0 * std::numbers::pi * phi) + 1.0);
  }
};

}  // namespace

const Family& gaussian_family() {
  static const Gaussian f;
  return f;
}

}  // namespace velkan::families
