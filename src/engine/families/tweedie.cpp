// Non-negative responses with a point mass at zero and a continuous positive part
// (insurance claims, rainfall): the Tweedie compound Poisson-gamma distribution with
// V(mu) = phi mu^p, 1 < p < 2, the scale phi estimated and the log link. The power p is
// given (Tweedie(power=1.5)) or estimated by its profile likelihood, from the density below.
//
// The density has no closed form. With theta = mu^(1-p) / (1-p), kappa = mu^(2-p) / (2-p):
//   y = 0:  log f = -kappa / phi
//   y > 0:  log f = -log y + log W + (y theta - kappa) / phi,   W = sum_{j >= 1} W_j,
//           log W_j = j log z - lgamma(j + 1) - lgamma(-j a),
//           a = (2 - p) / (1 - p) < 0,  log z = -a log y + a log(p - 1) - (1 - a) log phi - log(2 - p)
// (the compound Poisson sum over j events). The terms rise to a single maximum near
// j* = y^(2-p) / (phi (2-p)) and fall off on both sides faster than geometrically, so the
// sum runs outward from j* until the terms fall below e^-37 of the largest (their sum is
// then exact to rounding). The log-gamma values depend on p alone and are tabulated once
// per block of rows. The terms that matter span about 17 sqrt(j* / (1 - a)) values of j,
// so beyond j* = kSeriesLargestCentre (a small scale, a large response) the series would
// cost thousands of terms a row; there the density is the saddlepoint approximation
// log f = -log(2 pi phi y^p) / 2 - d(y, mu) / (2 phi), whose relative error is O(1 / j*)
// (below 1e-4 there), so that neither time nor memory grows without bound.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "engine/families/family.h"

namespace velkan::families {

namespace {

constexpr std::array<LinkId, 1> kLinks{LinkId::Log};
constexpr std::array<Parameter, 1> kParameters{{
    {"power", 1.0, 2.0, "the variance power p: V(mu) = phi mu^p (None: estimated)",
     ParameterEstimation::Profile, 1.5},
}};
// Terms below e^-kSeriesDrop of the largest are left out of the series.
constexpr double kSeriesDrop = 37.0;
// Below this |log(y / mu)| the unit deviance is summed as a series (12 terms: the first
// left out is below 1e-17 of the sum there).
constexpr double kDevianceSeriesBelow = 0.1;
constexpr int kDevianceSeriesTerms = 13;
// The largest centre of the series (see above), and a bound on the terms of one row that
// the series' shape keeps far above the number ever needed below that centre.
constexpr double kSeriesLargestCentre = 5e4;
constexpr std::size_t kMaxSeriesTerms = 200000;
// Largest expected number of gamma summands a drawn response may have.
constexpr double kMaxDrawCount = 1e15;

// lgamma(j + 1) + lgamma(-j a) for j = 1, 2, ..., extended as rows need more.
class SeriesTable {
 public:
  explicit SeriesTable(double a) : a_(a) {}
  double operator()(std::size_t j) {
    while (values_.size() < j) {
      const double k = static_cast<double>(values_.size() + 1);
      values_.push_back(log_gamma(k + 1.0) + log_gamma(-k * a_));
    }
    return values_[j - 1];
  }

 private:
  double a_;
  std::vector<double> values_;
};

// log W and the mean and variance of j under the weights W_j / W.
struct Series {
  double log_w = 0.0;
  double mean_j = 0.0;
  double var_j = 0.0;
};

Series series(double log_z, double j_star, SeriesTable& table) {
  const auto centre = static_cast<std::size_t>(std::max(1.0, std::round(j_star)));
  auto term = [&](std::size_t j) { return static_cast<double>(j) * log_z - table(j); };
  // The largest term: the maximum of a concave sequence, searched from the centre.
  std::size_t top = centre;
  while (top > 1 && term(top - 1) > term(top)) --top;
  while (term(top + 1) > term(top)) ++top;
  const double peak = term(top);
  double s0 = 0.0, s1 = 0.0, s2 = 0.0;
  auto add = [&](std::size_t j) {
    const double e = std::exp(term(j) - peak), x = static_cast<double>(j);
    s0 += e, s1 += e * x, s2 += e * x * x;
    return term(j) - peak > -kSeriesDrop;
  };
  add(top);
  for (std::size_t j = top + 1; j < top + kMaxSeriesTerms && add(j); ++j) {}
  for (std::size_t j = top - 1; j >= 1 && add(j); --j) {}
  Series s;
  s.log_w = peak + std::log(s0);
  s.mean_j = s1 / s0;
  s.var_j = std::max(s2 / s0 - s.mean_j * s.mean_j, 0.0);
  return s;
}

class Tweedie final : public Family {
 public:
  const FamilyInfo& info() const override {
    static const FamilyInfo i{
        .name = "tweedie",
        .class_name = "Tweedie",
        .doc = "Non-negative responses with a point mass at zero and a continuous positive "
               "part (compound Poisson-gamma): V(mu) = phi mu^p with 1 < p < 2, the scale "
               "estimated; p given or estimated by its profile likelihood.",
        .links = kLinks,
        .scale_estimated = true,
        .support = "non-negative values",
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
  double variance(double mu, std::span<const double> p) const override { return std::pow(mu, p[0]); }
  void variance_derivatives(double mu, std::span<const double> p, double* d) const override {
    const double q = p[0], v = std::pow(mu, q);
    d[0] = q * v / mu;
    d[1] = q * (q - 1.0) * v / (mu * mu);
    d[2] = q * (q - 1.0) * (q - 2.0) * v / (mu * mu * mu);
  }
  bool newton_weights_positive(LinkId) const override { return true; }
  // 2 [y^(2-p) / ((1-p)(2-p)) - y mu^(1-p) / (1-p) + mu^(2-p) / (2-p)]
  //   = 2 mu^b (e^(b a) - b e^a + b - 1) / ((b - 1) b),  a = log(y / mu), b = 2 - p,
  // whose bracket is sum_{k >= 2} (b^k - b) a^k / k!: summed as a series near y = mu, where
  // the closed form cancels (it would give rounding noise of either sign for y = mu).
  double unit_deviance(double y, double mu, std::span<const double> p) const override {
    const double b = 2.0 - p[0], mb = std::pow(mu, b);
    if (y == 0.0) return 2.0 * mb / b;
    const double a = std::log(y / mu);
    double bracket = 0.0;
    if (std::abs(a) < kDevianceSeriesBelow) {
      double term = a, bk = b;  // a^k / k!, b^k
      for (int k = 2; k <= kDevianceSeriesTerms; ++k) {
        term *= a / k;
        bk *= b;
        bracket += (bk - b) * term;
      }
    } else {
      bracket = std::expm1(b * a) - b * std::expm1(a);
    }
    return std::max(2.0 * mb * bracket / ((b - 1.0) * b), 0.0);
  }
  double starting_mean(double y, double) const override { return y + 0.1; }
  double starting_mean_of(double mean, double) const override { return mean + 0.1; }

  // The compound poisson-gamma at dispersion phi / w: N ~ Poisson(lambda) gamma summands of
  // shape a = (2 - p) / (p - 1) and scale (phi / w) (p - 1) mu^(p - 1), with
  // lambda = mu^(2 - p) / ((phi / w) (2 - p)); their sum is one gamma of shape N a.
  double draw(double mu, double pw, double scale, std::span<const double> p,
              RowRandom& rng) const override {
    const double q = p[0], phi = scale / pw;
    if (!(mu > 0.0) || !std::isfinite(mu) || !(q > 1.0 && q < 2.0))
      return std::numeric_limits<double>::quiet_NaN();
    const double lambda = std::pow(mu, 2.0 - q) / (phi * (2.0 - q));
    if (!(lambda < kMaxDrawCount)) return std::numeric_limits<double>::quiet_NaN();
    const long long count = std::poisson_distribution<long long>(lambda)(rng);
    if (count == 0) return 0.0;
    const double shape = static_cast<double>(count) * (2.0 - q) / (q - 1.0);
    return std::gamma_distribution<double>(shape, phi * (q - 1.0) * std::pow(mu, q - 1.0))(rng);
  }
  std::string_view draw_requirement() const override {
    return "the mean must be positive with fewer than 1e15 expected gamma summands "
           "(mu^(2-p) w / (phi (2-p))), and the power known";
  }

  void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const override {
    const auto p = model.parameters();
    const double q = p[0];
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], pw = in.prior_weight[i], mu = std::exp(in.eta[i]);
      const double m2 = std::exp((2.0 - q) * in.eta[i]);  // mu^(2-p) = mu^2 / V
      out.weight[i] = pw * m2;
      out.residual[i] = out.weight[i] > 0.0 ? y / mu - 1.0 : 0.0;
      out.deviance[i] = pw * unit_deviance(y, mu, p);
      out.pearson[i] = pw * (y - mu) * (y - mu) * m2 / (mu * mu);
    }
  }

  // g = w_p (y mu^(1-p) - mu^(2-p)); w = w_p ((p-1) y mu^(1-p) + (2-p) mu^(2-p)); each
  // derivative in eta multiplies the two parts by -(p-1) and (2-p).
  void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
              int order) const override {
    const double q = model.parameters()[0], a = q - 1.0, b = 2.0 - q;
    for (std::size_t i = 0; i < in.count; ++i) {
      const double pw = in.prior_weight[i];
      const double u = pw * in.y[i] * std::exp(-a * in.eta[i]), v = pw * std::exp(b * in.eta[i]);
      out.score[i] = u - v;
      out.weight[i] = a * u + b * v;
      if (order >= 1) out.dweight[i] = -a * a * u + b * b * v;
      if (order >= 2) out.d2weight[i] = a * a * a * u + b * b * b * v;
    }
  }

  void profile_rows(const ResponseModel& model, const RowsIn& in, double scale,
                    const ProfileRowsOut& out) const override {
    const double q = model.parameters()[0], a = (2.0 - q) / (1.0 - q);
    const double log_phi = std::log(scale);
    const double base = a * std::log(q - 1.0) - (1.0 - a) * log_phi - std::log(2.0 - q);
    SeriesTable table(a);
    for (std::size_t i = 0; i < in.count; ++i) {
      const double y = in.y[i], pw = in.prior_weight[i];
      const double mu = std::exp(in.eta[i]);
      const double kappa = std::exp((2.0 - q) * in.eta[i]) / (2.0 - q);
      if (y == 0.0) {
        out.log_density[i] = -pw * kappa / scale;
        out.d1[i] = pw * kappa / scale;
        out.d2[i] = -pw * kappa / scale;
        continue;
      }
      const double theta = mu * std::exp(-q * in.eta[i]) / (1.0 - q);
      const double e = (y * theta - kappa) / scale;
      const double j_star = std::pow(y, 2.0 - q) / (scale * (2.0 - q));
      if (!(j_star <= kSeriesLargestCentre)) {
        const double d = unit_deviance(y, mu, model.parameters()) / (2.0 * scale);
        out.log_density[i] = pw * (-0.5 * (std::log(2.0 * std::numbers::pi * scale) + q * std::log(y)) - d);
        out.d1[i] = pw * (-0.5 + d);
        out.d2[i] = -pw * d;
        continue;
      }
      const Series s = series(base - a * std::log(y), j_star, table);
      out.log_density[i] = pw * (s.log_w - std::log(y) + e);
      out.d1[i] = pw * (-(1.0 - a) * s.mean_j - e);
      out.d2[i] = pw * ((1.0 - a) * (1.0 - a) * s.var_j + e);
    }
  }

  // h(y) = y^(2-p), which the null deviance needs (p known).
  void add_response_sums(std::span<const double> p, const double* y, const double* pw,
                         std::size_t count, ResponseSums& s) const override {
    for (std::size_t i = 0; i < count; ++i)
      if (pw[i] != 0.0) s.saturated_sum += pw[i] * std::pow(y[i], 2.0 - p[0]);
  }
  double null_deviance(std::span<const double> p, const ResponseSums& s) const override {
    if (!(s.weight_sum > 0.0) || s.offset_rows > 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double q = p[0], m = s.response_sum / s.weight_sum;
    return std::max(2.0 * (s.saturated_sum / ((1.0 - q) * (2.0 - q)) -
                           std::pow(m, 1.0 - q) * s.response_sum / (1.0 - q) +
                           std::pow(m, 2.0 - q) * s.weight_sum / (2.0 - q)),
                    0.0);
  }
  // The density has no closed form in the sums: the log-likelihood comes from profile
  // passes (`profile_rows`) at the fitted means.
  double log_likelihood(std::span<const double>, double, const ResponseSums&) const override {
    return std::numeric_limits<double>::quiet_NaN();
  }
};

}  // namespace

const Family& tweedie_family() {
  static const Tweedie f;
  return f;
}

}  // namespace velkan::families
