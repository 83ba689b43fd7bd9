// Positive responses with a constant coefficient of variation: V(mu) = mu^2, the scale
// estimated.
#include <algorithm>
#include <array>
#include <random>
#include <cmath>
#include <limits>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 3> kLinks{LinkId::Log, LinkId::Inverse, LinkId::Identity};

class Gamma final : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "gamma",
        .class_name = "Gamma",
        .doc = "Positive responses with a constant coefficient of variation: V(mu) = mu^2, "
               "the scale estimated.",
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
  double variance(double mu, std::span<const double>) const override { return mu * mu; }
  void variance_derivatives(double mu, std::span<const double>, double* d) const override {
    d[0] = 2.0 * mu, d[1] = 2.0, d[2] = 0.0;
  }
  bool newton_weights_positive(LinkId link) const override { return link == LinkId::Log; }
  // Log link: with b = log y - eta the score is expm1(b) and the Newton weight y / mu = e^b,
  // whose derivatives in eta alternate in sign.
  void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
              int order) const override {
    if (model.link_id() != LinkId::Log) return Family::newton(model, in, out, order);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double pw = in.prior_weight[i], b = std::log(in.y[i]) - in.eta[i];
      const double w = pw * std::exp(b);
      out.score[i] = pw * std::expm1(b);
      out.weight[i] = w;
      if (order >= 1) out.dweight[i] = -w;
      if (order >= 2) out.d2weight[i] = w;
    }
  }
  double unit_deviance(double y, double mu, std::span<const double>) const override {
    return 2.0 * ((y - mu) / mu - std::log(y / mu));
  }
  double starting_mean(double y, double) const override { return y; }

  // Shape w / phi and scale mu phi / w.
  double draw(double mu, double pw, double scale, std::span<const double>,
              RowRandom& rng) const override {
    if (!(mu > 0.0) || !std::isfinite(mu)) return std::numeric_limits<double>::quiet_NaN();
    return std::gamma_distribution<double>(pw / scale, mu * scale / pw)(rng);
  }
  std::string_view draw_requirement() const override { return "the mean must be positive"; }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    if (model.link_id() != LinkId::Log) return Family::working(model, in, out);
    for (std::size_t i = 0; i < in.count; ++i) {
      // With the log link the Fisher weight is the prior weight whatever the mean, and the
      // deviance 2 ((y - mu) / mu - log(y / mu)) = 2 (expm1(b) - b), b = log y - eta.
      const double pw = in.prior_weight[i];
      const double b = std::log(in.y[i]) - in.eta[i];
      const double ratio = std::expm1(b);  // (y - mu) / mu
      out.weight[i] = pw;
      out.residual[i] = ratio;
      out.deviance[i] = 2.0 * pw * (ratio - b);
      out.pearson[i] = pw * ratio * ratio;
    }
  }

  // h(y) = log y.
  void add_response_sums(std::span<const double>, const double* y, const double* pw, std::size_t count,
                         ResponseSums& s) const override {
    for (std::size_t i = 0; i < count; ++i)
      if (pw[i] != 0.0) s.saturated_sum += pw[i] * std::log(y[i]);
  }
  double null_deviance(std::span<const double>, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double mean = s.response_sum / s.weight_sum;
    return std::max(2.0 * (s.weight_sum * std::log(mean) - s.saturated_sum), 0.0);
  }
  // At the maximum-likelihood shape, approximated by sum of weights / deviance.
  double log_likelihood(std::span<const double>, double deviance, const ResponseSums& s) const override {
    if (!(deviance > 0.0)) return std::numeric_limits<double>::infinity();
    const double sw = s.weight_sum, shape = sw / deviance;
    return sw * (shape * std::log(shape) - log_gamma(shape)) - shape * (0.5 * deviance + sw) -
           s.saturated_sum;
  }
};

}  // namespace

const Family& gamma_family() {
  static const Gamma f;
  return f;
}

}  // namespace velkan::families
