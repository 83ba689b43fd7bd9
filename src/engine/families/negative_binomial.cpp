// Overdispersed counts: the negative binomial with V(mu) = mu + mu^2 / theta, the scale
// fixed at 1 and the log link. theta is given (NegativeBinomial(theta=3)) or estimated with
// the smoothing parameters, as psi = log theta, from the derivatives in `parameter_rows`.
//
// Per row (prior weight 1; a weight multiplies everything), with mu = e^eta:
//   l  = lgamma(y + theta) - lgamma(theta) - lgamma(y + 1) + theta log(theta / (mu + theta))
//        + y log(mu / (mu + theta))
//   g  = dl/deta = theta (y - mu) / (mu + theta)
//   w  = -dg/deta = theta mu (y + theta) / (mu + theta)^2 > 0
// and their derivatives in eta and theta (written out below, each checked against finite
// differences by the tests).
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

// Largest mean count a row may draw from (its draws stay far inside a long long).
constexpr double kMaxDrawMean = 1e15;

constexpr std::array<LinkId, 1> kLinks{LinkId::Log};
constexpr std::array<Parameter, 1> kParameters{{
    {"theta", 0.0, std::numeric_limits<double>::infinity(),
     "the shape: V(mu) = mu + mu^2 / theta (None: estimated)", ParameterEstimation::Criterion,
     1.0},
}};

// Below this many terms, differences of digamma, trigamma and log-gamma at y + t and t for
// an integer y are summed term by term (exact, and free of the cancellation the difference
// of two large values suffers when t is large).
constexpr double kShortSum = 64.0;

double digamma(double x) {
  double acc = 0.0;
  for (; x < 8.0; x += 1.0) acc -= 1.0 / x;
  const double r = 1.0 / (x * x);
  return acc + std::log(x) - 0.5 / x -
         r * (1.0 / 12.0 - r * (1.0 / 120.0 - r * (1.0 / 252.0 - r * (1.0 / 240.0 - r / 132.0))));
}

double trigamma(double x) {
  double acc = 0.0;
  for (; x < 8.0; x += 1.0) acc += 1.0 / (x * x);
  const double r = 1.0 / (x * x);
  return acc + 1.0 / x + 0.5 * r +
         r / x * (1.0 / 6.0 - r * (1.0 / 30.0 - r * (1.0 / 42.0 - r * (1.0 / 30.0 - r * 5.0 / 66.0))));
}

bool short_integer(double y) { return y < kShortSum && y == std::floor(y); }

// psi(y + t) - psi(t), psi'(y + t) - psi'(t) and lgamma(y + t) - lgamma(t).
void gamma_differences(double y, double t, double& d0, double& d1, double& lg) {
  if (short_integer(y)) {
    d0 = d1 = lg = 0.0;
    for (double k = 0.0; k < y; k += 1.0) {
      const double r = 1.0 / (t + k);
      d0 += r;
      d1 -= r * r;
      lg += std::log(t + k);
    }
    return;
  }
  d0 = digamma(y + t) - digamma(t);
  d1 = trigamma(y + t) - trigamma(t);
  lg = log_gamma(y + t) - log_gamma(t);
}

class NegativeBinomial final : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "negative_binomial",
        .class_name = "NegativeBinomial",
        .doc = "Overdispersed counts: V(mu) = mu + mu^2 / theta, the scale fixed at 1; theta "
               "given or estimated with the smoothing parameters.",
        .links = kLinks,
        .scale_estimated = false,
        .support = "non-negative counts",
        .support_lower = 0.0,
        .proportion = false,
        .normal_errors = false,
        .exact_fit_warning = "",
        .parameters = kParameters,
    };
    return i;
  }
  bool in_support(double y) const override { return y >= 0.0 && std::isfinite(y); }
  std::size_t first_outside_support(VectorView y) const override {
    return first_outside(*this, y);
  }
  bool valid_mean(double mu) const override { return mu > 0.0 && std::isfinite(mu); }
  double variance(double mu, std::span<const double> p) const override { return mu + mu * mu / p[0]; }
  void variance_derivatives(double mu, std::span<const double> p, double* d) const override {
    d[0] = 1.0 + 2.0 * mu / p[0], d[1] = 2.0 / p[0], d[2] = 0.0;
  }
  bool newton_weights_positive(LinkId) const override { return true; }
  // 2 [y log(y / mu) - (y + theta) log((y + theta) / (mu + theta))], the second logarithm
  // as log1p((y - mu) / (mu + theta)).
  double unit_deviance(double y, double mu, std::span<const double> p) const override {
    const double t = p[0];
    return 2.0 * (xlogy(y, y / mu) - (y + t) * std::log1p((y - mu) / (mu + t)));
  }
  double starting_mean(double y, double) const override { return y + 0.1; }
  double starting_mean_of(double mean, double) const override { return mean + 0.1; }

  // w replicates of a count of mean mu sum to a negative binomial of mean w mu and shape
  // w theta; their mean is drawn as that sum over w, from its gamma-poisson mixture.
  double draw(double mu, double pw, double, std::span<const double> p,
              RowRandom& rng) const override {
    const double shape = pw * p[0], mean = pw * mu;
    if (!(mu > 0.0) || !(mean < kMaxDrawMean) || !(shape > 0.0) || !std::isfinite(shape))
      return std::numeric_limits<double>::quiet_NaN();
    const double rate = std::gamma_distribution<double>(shape, mean / shape)(rng);
    if (!(rate < kMaxDrawMean)) return std::numeric_limits<double>::quiet_NaN();
    return rate > 0.0 ? static_cast<double>(std::poisson_distribution<long long>(rate)(rng)) / pw : 0.0;
  }
  std::string_view draw_requirement() const override {
    return "the mean must be positive with the mean count (mean times prior weight) below 1e15, "
           "and theta known";
  }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    const double t = model.parameters()[0];
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], pw = in.prior_weight[i], mu = std::exp(in.eta[i]);
      const double v = mu + mu * mu / t;
      out.weight[i] = pw * mu * t / (mu + t);
      out.residual[i] = out.weight[i] > 0.0 ? y / mu - 1.0 : 0.0;
      out.deviance[i] = pw * unit_deviance(y, mu, model.parameters());
      out.pearson[i] = pw * (y - mu) * (y - mu) / v;
    }
  }

  void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
              int order) const override {
    const double t = model.parameters()[0];
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], pw = in.prior_weight[i], mu = std::exp(in.eta[i]);
      const double s = mu + t, a = pw * t * (y + t) * mu / (s * s);
      out.score[i] = pw * t * (y - mu) / s;
      out.weight[i] = a;
      if (order >= 1) out.dweight[i] = a * (t - mu) / s;
      if (order >= 2) out.d2weight[i] = a * (t * t - 4.0 * mu * t + mu * mu) / (s * s);
    }
  }

  void parameter_rows(const ResponseModel& model, const RowsIn& in,
                      const ParameterRowsOut& out) const override {
    const double t = model.parameters()[0];
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], pw = in.prior_weight[i], mu = std::exp(in.eta[i]);
      const double s = mu + t, s2 = s * s, s3 = s2 * s, s4 = s3 * s;
      double dg0 = 0.0, dg1 = 0.0, lg = 0.0;
      gamma_differences(y, t, dg0, dg1, lg);
      // Derivatives in theta, then by the chain rule in psi = log theta:
      // f_psi = t f_t, f_psipsi = t^2 f_tt + t f_t.
      const double l_t = dg0 - std::log1p(mu / t) + (mu - y) / s;
      const double l_tt = dg1 + 1.0 / t - 1.0 / s - (mu - y) / s2;
      const double g_t = (y - mu) * mu / s2, g_tt = -2.0 * (y - mu) * mu / s3;
      const double n = mu * (y + 2.0 * t) - y * t;
      const double w_t = mu * n / s3;
      const double w_tt = 2.0 * mu * (mu * mu - 2.0 * mu * t - 2.0 * mu * y + y * t) / s4;
      const double w_et = mu * ((n + mu * (y + 2.0 * t)) * s - 3.0 * mu * n) / s4;
      out.loglik[i] = pw * (lg - log_gamma(y + 1.0) - t * std::log1p(mu / t) + xlogy(y, mu / s));
      out.l1[i] = pw * t * l_t;
      out.l2[i] = pw * (t * t * l_tt + t * l_t);
      out.g1[i] = pw * t * g_t;
      out.g2[i] = pw * (t * t * g_tt + t * g_t);
      out.w1[i] = pw * t * w_t;
      out.w2[i] = pw * (t * t * w_tt + t * w_t);
      out.w_eta[i] = pw * t * w_et;
    }
  }

  // With theta known: h(y) = y log y - (y + theta) log(y + theta) and the normaliser
  // lgamma(y + theta) - lgamma(theta) - lgamma(y + 1) + theta log theta, so that
  // l = normaliser + h - deviance / 2.
  void add_response_sums(std::span<const double> p, const double* y, const double* pw,
                         std::size_t count, ResponseSums& s) const override {
    const double t = p[0];
    for (std::size_t i = 0; i < count; ++i) {
      if (pw[i] == 0.0) continue;
      double dg0 = 0.0, dg1 = 0.0, lg = 0.0;
      gamma_differences(y[i], t, dg0, dg1, lg);
      s.saturated_sum += pw[i] * (xlogx(y[i]) - (y[i] + t) * std::log(y[i] + t));
      s.log_normaliser += pw[i] * (lg - log_factorial(y[i]) + t * std::log(t));
    }
  }
  double null_deviance(std::span<const double> p, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double t = p[0], m = s.response_sum / s.weight_sum;
    return std::max(2.0 * (s.saturated_sum - xlogy(s.response_sum, m) +
                           (s.response_sum + t * s.weight_sum) * std::log(m + t)),
                    0.0);
  }
  double log_likelihood(std::span<const double>, double deviance,
                        const ResponseSums& s) const override {
    return s.log_normaliser + s.saturated_sum - 0.5 * deviance;
  }
};

}  // namespace

const Family& negative_binomial_family() {
  static const NegativeBinomial f;
  return f;
}

}  // namespace velkan::families
