// Proportions of successes in w trials (w the prior weight; Bernoulli rows have w = 1):
// V(mu) = mu (1 - mu), the scale fixed at 1.
#include <algorithm>
#include <array>
#include <random>
#include <cmath>
#include <limits>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 3> kLinks{LinkId::Logit, LinkId::Probit, LinkId::Cloglog};
// Largest number of trials a row may draw from (exactly representable counts).
constexpr double kMaxTrials = 9007199254740992.0;

class Binomial : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "binomial",
        .class_name = "Binomial",
        .doc = "Proportions of successes in a number of trials (the sample weight; 1 for "
               "binary responses): V(mu) = mu (1 - mu), the scale fixed at 1.",
        .links = kLinks,
        .scale_estimated = false,
        .support = "proportions in [0, 1]",
        .support_lower = 0.0,
        .proportion = true,
        .normal_errors = false,
        .exact_fit_warning =
            "the fitted probabilities are numerically 0 or 1 at every row: the classes are "
            "separated perfectly, and the coefficients have no finite maximum",
        .parameters = {},
    };
    return i;
  }
  bool in_support(double y) const override { return y >= 0.0 && y <= 1.0; }
  std::size_t first_outside_support(VectorView y) const override {
    return first_outside(*this, y);
  }
  bool valid_mean(double mu) const override { return mu > 0.0 && mu < 1.0; }
  bool on_edge(double y) const override { return y <= 0.0 || y >= 1.0; }
  double variance(double mu, std::span<const double>) const override { return mu * (1.0 - mu); }
  void variance_derivatives(double mu, std::span<const double>, double* d) const override {
    d[0] = 1.0 - 2.0 * mu, d[1] = -2.0, d[2] = 0.0;
  }
  bool newton_weights_positive(LinkId link) const override { return link == LinkId::Logit; }
  bool newton_is_fisher(LinkId link) const override { return link == LinkId::Logit; }
  // Logit link (canonical): w = mu (1 - mu) = v, w' = v (1 - 2 mu), w'' = v (1 - 6 v), with
  // v and 1 - 2 mu from e^-|eta| so that they keep their digits in the tails.
  void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
              int order) const override {
    if (model.link_id() != LinkId::Logit) return Family::newton(model, in, out, order);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double eta = in.eta[i], pw = in.prior_weight[i];
      const double e = std::exp(-std::abs(eta));
      const double v = e / ((1.0 + e) * (1.0 + e));
      const double mu = eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
      const double skew = (eta >= 0.0 ? -1.0 : 1.0) * (1.0 - e) / (1.0 + e);
      out.score[i] = pw * (in.y[i] - mu);
      out.weight[i] = pw * v;
      if (order >= 1) out.dweight[i] = pw * v * skew;
      if (order >= 2) out.d2weight[i] = pw * v * (1.0 - 6.0 * v);
    }
  }
  double unit_deviance(double y, double mu, std::span<const double>) const override {
    return 2.0 * (xlogx(y) - xlogy(y, mu) + xlogx(1.0 - y) - xlogy(1.0 - y, 1.0 - mu));
  }
  // Half a trial toward 1/2, so that no start sits at 0 or 1.
  double starting_mean(double y, double pw) const override { return (pw * y + 0.5) / (pw + 1.0); }
  double starting_mean_of(double mean, double rows) const override {
    return (mean * rows + 0.5) / (rows + 1.0);
  }

  // The proportion of successes in w trials; w must be a whole number.
  double draw(double mu, double pw, double, std::span<const double>,
              RowRandom& rng) const override {
    if (pw != std::floor(pw) || pw > kMaxTrials || !(mu >= 0.0 && mu <= 1.0))
      return std::numeric_limits<double>::quiet_NaN();
    const auto trials = static_cast<long long>(pw);
    return static_cast<double>(std::binomial_distribution<long long>(trials, mu)(rng)) / pw;
  }
  std::string_view draw_requirement() const override {
    return "its prior weights must be whole numbers of trials";
  }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    if (model.link_id() != LinkId::Logit) return Family::working(model, in, out);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], eta = in.eta[i], pw = in.prior_weight[i];
      // mu (1 - mu) = e^-|eta| / (1 + e^-|eta|)^2 keeps its relative accuracy in the tails,
      // where 1 - mu would round to 0 or 1.
      const double e = std::exp(-std::abs(eta));
      const double var = e / ((1.0 + e) * (1.0 + e));
      const double mu = eta >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
      out.weight[i] = pw * var;
      out.residual[i] = var > 0.0 ? (y - mu) / var : 0.0;
      // softplus(+-eta) = max(+-eta, 0) + log1p(e^-|eta|), from the exponential above.
      const double l1p = std::log1p(e);
      const double sp_pos = std::max(eta, 0.0) + l1p, sp_neg = std::max(-eta, 0.0) + l1p;
      const double entropy = (y > 0.0 && y < 1.0) ? xlogx(y) + xlogx(1.0 - y) : 0.0;
      out.deviance[i] = 2.0 * pw * (entropy + y * sp_neg + (1.0 - y) * sp_pos);
      out.pearson[i] = var > 0.0 ? pw * (y - mu) * (y - mu) / var : 0.0;
      if (out.weight[i] == 0.0) out.residual[i] = 0.0;
    }
  }

  // h(y) = y log y + (1 - y) log(1 - y); the normaliser log C(w, w y).
  void add_response_sums(std::span<const double>, const double* y, const double* pw, std::size_t count,
                         ResponseSums& s) const override {
    for (std::size_t i = 0; i < count; ++i) {
      if (pw[i] == 0.0) continue;
      s.saturated_sum += pw[i] * (xlogx(y[i]) + xlogx(1.0 - y[i]));
      s.log_normaliser += log_gamma(pw[i] + 1.0) - log_gamma(pw[i] * y[i] + 1.0) -
                          log_gamma(pw[i] * (1.0 - y[i]) + 1.0);
    }
  }
  double null_deviance(std::span<const double>, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double swy = s.response_sum, sw = s.weight_sum, mean = swy / sw;
    return std::max(2.0 * (s.saturated_sum - xlogy(swy, mean) - xlogy(sw - swy, 1.0 - mean)), 0.0);
  }
  double log_likelihood(std::span<const double>, double deviance, const ResponseSums& s) const override {
    return s.saturated_sum + s.log_normaliser - 0.5 * deviance;
  }
};

// Overdispersed proportions: the binomial mean and variance function with the scale
// estimated (F tests in the summary); a quasi-likelihood has no log-likelihood, so no AIC.
class QuasiBinomial final : public Binomial {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i = [] {
      FamilyInfo q = Binomial().info();
      q.name = "quasibinomial";
      q.class_name = "QuasiBinomial";
      q.doc = "Overdispersed proportions: V(mu) = phi mu (1 - mu), the scale phi estimated.";
      q.scale_estimated = true;
      q.proportion = false;
      q.exact_fit_warning = "";
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

const Family& binomial_family() {
  static const Binomial f;
  return f;
}

const Family& quasibinomial_family() {
  static const QuasiBinomial f;
  return f;
}

}  // namespace velkan::families
