// Counts: V(mu) = mu, the scale fixed at 1. (Any non-negative response is accepted, as a
// quasi-count.)
#include <algorithm>
#include <array>
#include <random>
#include <cmath>
#include <limits>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 3> kLinks{LinkId::Log, LinkId::Identity, LinkId::Sqrt};
// Largest mean count a row may draw from (its draws stay far inside a long long).
constexpr double kMaxDrawMean = 1e15;

class Poisson : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "poisson",
        .class_name = "Poisson",
        .doc = "Counts: V(mu) = mu, the scale fixed at 1.",
        .links = kLinks,
        .scale_estimated = false,
        .support = "non-negative counts",
        .support_lower = 0.0,
        .proportion = false,
        .normal_errors = false,
        .exact_fit_warning =
            "the fitted means are numerically 0 wherever the counts are 0 and every count is "
            "reproduced (an all-zero response, or levels or regions with no counts at all), so "
            "the coefficients there have no finite maximum",
        .parameters = {},
    };
    return i;
  }
  bool in_support(double y) const override { return y >= 0.0 && std::isfinite(y); }
  std::size_t first_outside_support(VectorView y) const override {
    return first_outside(*this, y);
  }
  bool on_edge(double y) const override { return y <= 0.0; }
  bool valid_mean(double mu) const override { return mu > 0.0 && std::isfinite(mu); }
  double variance(double mu, std::span<const double>) const override { return mu; }
  void variance_derivatives(double, std::span<const double>, double* d) const override {
    d[0] = 1.0, d[1] = d[2] = 0.0;
  }
  bool newton_weights_positive(LinkId link) const override { return link == LinkId::Log; }
  bool newton_is_fisher(LinkId link) const override { return link == LinkId::Log; }
  // The log link is canonical: every derivative of the weight mu in eta is mu.
  void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
              int order) const override {
    if (model.link_id() != LinkId::Log) return Family::newton(model, in, out, order);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double pw = in.prior_weight[i], mu = std::exp(in.eta[i]);
      out.score[i] = pw * (in.y[i] - mu);
      out.weight[i] = pw * mu;
      if (order >= 1) out.dweight[i] = pw * mu;
      if (order >= 2) out.d2weight[i] = pw * mu;
    }
  }
  double unit_deviance(double y, double mu, std::span<const double>) const override {
    return 2.0 * (xlogx(y) - xlogy(y, mu) - (y - mu));
  }
  double starting_mean(double y, double) const override { return y + 0.1; }
  double starting_mean_of(double mean, double) const override { return mean + 0.1; }

  // A count of mean w mu divided by w (the scale is 1 by definition).
  double draw(double mu, double pw, double, std::span<const double>,
              RowRandom& rng) const override {
    // The standard distribution needs a positive mean whose draws fit in a long long.
    const double mean = pw * mu;
    if (mean == 0.0) return 0.0;
    if (!(mean > 0.0) || !(mean < kMaxDrawMean)) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(std::poisson_distribution<long long>(mean)(rng)) / pw;
  }
  std::string_view draw_requirement() const override {
    return "the mean count (mean times prior weight) must be below 1e15";
  }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    if (model.link_id() != LinkId::Log) return Family::working(model, in, out);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], eta = in.eta[i], pw = in.prior_weight[i];
      const double mu = std::exp(eta);
      out.weight[i] = pw * mu;
      out.residual[i] = mu > 0.0 ? y / mu - 1.0 : 0.0;
      // y (log y - eta) - (y - mu) = y (e^-a - 1 + a) with a = log y - eta, e^-a = mu / y.
      if (y > 0.0) {
        const double a = std::log(y) - eta;
        out.deviance[i] = 2.0 * pw * y * expm1_minus_x(-a, mu / y);
      } else {
        out.deviance[i] = 2.0 * pw * mu;
      }
      out.pearson[i] = mu > 0.0 ? pw * (y - mu) * (y - mu) / mu : 0.0;
      if (out.weight[i] == 0.0) out.residual[i] = 0.0;
    }
  }

  // h(y) = y log y; the normaliser -log y!.
  void add_response_sums(std::span<const double>, const double* y, const double* pw, std::size_t count,
                         ResponseSums& s) const override {
    for (std::size_t i = 0; i < count; ++i) {
      if (pw[i] == 0.0) continue;
      s.saturated_sum += pw[i] * xlogx(y[i]);
      s.log_normaliser -= pw[i] * log_factorial(y[i]);
    }
  }
  double null_deviance(std::span<const double>, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double mean = s.response_sum / s.weight_sum;
    return std::max(2.0 * (s.saturated_sum - xlogy(s.response_sum, mean)), 0.0);
  }
  double log_likelihood(std::span<const double>, double deviance, const ResponseSums& s) const override {
    return s.saturated_sum - s.response_sum + s.log_normaliser - 0.5 * deviance;
  }
};

// Overdispersed counts: the poisson mean and variance function with the scale estimated
// (F tests in the summary); a quasi-likelihood has no log-likelihood, so no AIC.
class QuasiPoisson final : public Poisson {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i = [] {
      FamilyInfo q = Poisson().info();
      q.name = "quasipoisson";
      q.class_name = "QuasiPoisson";
      q.doc = "Overdispersed counts: V(mu) = phi mu, the scale phi estimated.";
      q.scale_estimated = true;
      return q;
    }();
    return i;
  }
  double log_likelihood(std::span<const double>, double, const ResponseSums&) const override {
    return std::numeric_limits<double>::quiet_NaN();
  }
  double draw(double, double, double, std::span<const double>, RowRandom&) const override {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::string_view draw_requirement() const override {
    return "a quasi-likelihood defines no distribution to draw responses from";
  }
};

}  // namespace

const Family& poisson_family() {
  static const Poisson f;
  return f;
}

const Family& quasipoisson_family() {
  static const QuasiPoisson f;
  return f;
}

}  // namespace velkan::families
