// Response families: everything the engine and the Python package know about a
// distribution lives in its entry of the family table (registry.cpp), one class per
// family in a file of its own. The passes ask a family for the working weights and
// residuals of a block of rows; the Python package reads names, links, support messages
// and scale rules from the table and never branches on a family's name.
//
// A family with its link and the values of its extra parameters (a negative-binomial
// theta, a Tweedie power) is a `ResponseModel`: what a pass, a prediction or a model
// statistic needs.
#pragma once

#include <math.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/gam_error.h"
#include "engine/families/link.h"
#include "engine/families/random.h"
#include "linalg/matrix.h"

namespace velkan::families {

// How a fit estimates an extra parameter left free (NaN) by the user.
enum class ParameterEstimation : std::uint8_t {
  // A coordinate of the smoothing-parameter criterion beside the log smoothing parameters
  // (on the log scale), its derivatives from `Family::parameter_rows`.
  Criterion,
  // By the profile likelihood: whole fits at trial values, the log density from
  // `Family::profile_rows` at the fitted means, its scale maximised.
  Profile,
};

// An extra parameter of a family (negative binomial theta, Tweedie power).
struct Parameter {
  std::string_view name;
  double lower;   // open interval (lower, upper) of valid values
  double upper;
  std::string_view doc;
  ParameterEstimation estimation;
  double start;   // where an estimate starts
};

// What the table says about a family, read by the Python package.
struct FamilyInfo {
  std::string_view name;        // "poisson": the name users pass as family=
  std::string_view class_name;  // "Poisson": its class in the Python package
  std::string_view doc;         // one paragraph for that class's docstring
  std::span<const LinkId> links;  // allowed links; the first is the default
  bool scale_estimated;         // dispersion estimated (gaussian, gamma) or fixed at 1
  std::string_view support;     // the response's support in words: "non-negative counts"
  double support_lower;         // the support's lower end (-inf when unbounded)
  bool proportion;              // responses are proportions of trials (classification)
  bool normal_errors;           // y = mu + normal noise: prediction intervals apply
  // What a fit that reproduces every response exactly means for this family (perfect
  // separation of binary classes, say), for a warning; empty when it needs none.
  std::string_view exact_fit_warning;
  std::span<const Parameter> parameters;
};

// The rows of one block as a family sees them: response, linear predictor and prior
// weight (the number of trials for a binomial proportion), `count` of each.
struct RowsIn {
  const double* y;
  const double* eta;
  const double* prior_weight;
  std::size_t count;
};

// One row's share of a pass, per row of the block:
//   weight    prior_weight * (dmu/deta)^2 / V(mu)          (Fisher scoring)
//   residual  (y - mu) / (dmu/deta), 0 where the weight is 0
//   deviance  prior_weight * unit deviance
//   pearson   prior_weight * (y - mu)^2 / V(mu)
struct RowsOut {
  double* weight;
  double* residual;
  double* deviance;
  double* pearson;
};

// The observed information of a block's rows, per unit scale: the derivatives of each
// row's prior-weighted log-likelihood l in its linear predictor that a Newton step and the
// Laplace-approximate criterion need. Arrays not wanted (by `order`) may be null.
//   score     g = dl/deta = w_p (y - mu) mu' / V(mu)
//   weight    w = -d2l/deta2: the Newton weight (the Fisher weight for a canonical link;
//             it can be negative for other links far from the data)
//   dweight   dw/deta                         (order >= 1)
//   d2weight  d2w/deta2                       (order >= 2)
struct NewtonRowsOut {
  double* score;
  double* weight;
  double* dweight;
  double* d2weight;
};

// Per row, the derivatives in psi = log(parameter) of a family parameter that the
// criterion estimates (`ParameterEstimation::Criterion`), all prior-weighted:
//   loglik  l, with every normalising term that depends on the parameter
//   l1, l2  dl/dpsi, d2l/dpsi2
//   g1, g2  dg/dpsi, d2g/dpsi2       (g the score above)
//   w1, w2  dw/dpsi, d2w/dpsi2       (w the Newton weight)
//   w_eta   d2w/(deta dpsi)
struct ParameterRowsOut {
  double* loglik;
  double* l1;
  double* l2;
  double* g1;
  double* g2;
  double* w1;
  double* w2;
  double* w_eta;
};

// Per row, the log density at the mean and its first two derivatives in log(scale), for
// the profile likelihood of a parameter estimated by `ParameterEstimation::Profile`.
struct ProfileRowsOut {
  double* log_density;
  double* d1;
  double* d2;
};

// Sums of the response alone, gathered by a fit's first pass, from which the model
// statistics (null deviance, log-likelihood) follow without another pass. With e the
// response measured from the pass's expansion point:
struct ResponseSums {
  double response_sum = 0.0;         // sum w y
  double residual_sum = 0.0;         // sum w e
  double residual_square_sum = 0.0;  // sum w e^2
  double saturated_sum = 0.0;        // sum w h(y), h the family's saturated-likelihood part
  double log_normaliser = 0.0;       // sum of the log of the density's normalising constant
  double offset_rows = 0.0;          // rows with a non-zero offset
  double weight_sum = 0.0;           // sum w (set by the fit from the pass's sums)

  void add(const ResponseSums& o);
};

class ResponseModel;

template <class F>
std::size_t first_outside(const F& family, VectorView y) {
  for (std::size_t i = 0; i < y.size; ++i)
    if (!family.F::in_support(y[i])) return i;
  return y.size;
}

class Family {
 public:
  virtual ~Family() = default;
  virtual const FamilyInfo& info() const = 0;

  virtual bool in_support(double y) const = 0;
  // The index of the first y outside the support, or y.size. Each family overrides it
  // with `first_outside(*this, y)`: a loop that calls its own in_support directly, not
  // through the table of virtual functions once a row.
  virtual std::size_t first_outside_support(VectorView y) const = 0;
  // Whether mu is a mean the family can have (inside the domain a link may leave).
  virtual bool valid_mean(double mu) const = 0;
  virtual double variance(double mu, std::span<const double> parameters) const = 0;
  // d[k] = d^(k+1) V / d mu^(k+1), k = 0..2.
  virtual void variance_derivatives(double mu, std::span<const double> parameters,
                                    double* d) const = 0;
  virtual double unit_deviance(double y, double mu, std::span<const double> parameters) const = 0;

  // The mean a fit starts from for one row, from its response (and number of trials).
  virtual double starting_mean(double y, double prior_weight) const = 0;
  // The mean a fit's intercept starts from, from the weighted mean response of `rows` rows.
  virtual double starting_mean_of(double mean, double rows) const { (void)rows; return mean; }

  // Working weights and residuals of a block. The default composes the link with the
  // variance and unit deviance; families override it for their canonical link with forms
  // that keep their accuracy where the composition would overflow or cancel.
  virtual void working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const;
  // The observed information of a block (see NewtonRowsOut), order 0, 1 or 2. The default
  // differentiates the quasi-likelihood score (y - mu) mu' / V(mu) with jets of the link
  // and the variance; families override it where a closed form keeps more digits.
  virtual void newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
                      int order) const;
  // Whether the Newton weight is positive at every linear predictor and response in the
  // support for this link, so that penalized IRLS may step with it (a full Newton step).
  virtual bool newton_weights_positive(LinkId link) const { (void)link; return false; }
  // Whether the Newton weights and residuals equal the Fisher ones for this link (a
  // canonical link: the score's derivative in eta does not involve y), so that a pass with
  // the observed information gives the sums of a plain pass.
  virtual bool newton_is_fisher(LinkId link) const { (void)link; return false; }
  // The parameter derivatives of a block (families with a Criterion parameter only).
  virtual void parameter_rows(const ResponseModel& model, const RowsIn& in,
                              const ParameterRowsOut& out) const;
  // The log density of a block at scale `scale` (families with a Profile parameter only).
  virtual void profile_rows(const ResponseModel& model, const RowsIn& in, double scale,
                            const ProfileRowsOut& out) const;

  // Whether a response lies on the edge of the family's range (a binary 0 or 1, a count of
  // 0), where a fitted mean can only arrive at an infinite linear predictor. None do by
  // default.
  virtual bool on_edge(double y) const { (void)y; return false; }

  // Adds the family's response-only sums of a block (saturated_sum, log_normaliser).
  virtual void add_response_sums(std::span<const double> parameters, const double* y,
                                 const double* prior_weight, std::size_t count,
                                 ResponseSums& sums) const = 0;
  // One response drawn from the family's distribution with mean mu for a row of prior
  // weight w > 0 at dispersion phi: mean mu and variance phi V(mu) / w, a weight counting
  // replicates (binomial: y the proportion of successes in w trials; poisson: a count of
  // exposure w divided by w). NaN where the family defines no distribution to draw from
  // (a quasi-likelihood keeps this default) or none for this weight; `draw_requirement`
  // then says what is missing.
  virtual double draw(double mu, double prior_weight, double scale,
                      std::span<const double> parameters, RowRandom& rng) const {
    (void)mu, (void)prior_weight, (void)scale, (void)parameters, (void)rng;
    return std::numeric_limits<double>::quiet_NaN();
  }
  virtual std::string_view draw_requirement() const {
    return "it defines no distribution to draw responses from";
  }

  // Deviance of the constant-mean model; NaN where the sums cannot give it (an offset).
  virtual double null_deviance(std::span<const double> parameters,
                               const ResponseSums& sums) const = 0;
  // The log-likelihood of a fit of the given deviance (binomial: with the binomial
  // coefficient; an estimated scale at its maximum-likelihood value).
  virtual double log_likelihood(std::span<const double> parameters, double deviance,
                                const ResponseSums& sums) const = 0;
};

// The family table: every family the engine knows, in the order users see them.
std::span<const Family* const> all_families();
const Family* find_family(std::string_view name);

// A family with its link and parameter values.
class ResponseModel {
 public:
  // Refused (InvalidParameter, naming the family and what is wrong): an unknown family, a
  // link the family does not allow, parameters of the wrong number or outside their range.
  // An empty link means the family's default.
  static Result<ResponseModel> create(std::string_view family, std::string_view link,
                                      std::vector<double> parameters);

  const Family& family() const { return *family_; }
  const FamilyInfo& info() const { return family_->info(); }
  const Link& link() const { return families::link(link_); }
  LinkId link_id() const { return link_; }
  bool canonical() const { return link_ == info().links[0]; }
  // Whether penalized IRLS may step with the Newton weights of this family and link.
  bool newton_weights_positive() const { return family_->newton_weights_positive(link_); }
  bool newton_is_fisher() const { return family_->newton_is_fisher(link_); }
  // Index of the parameter the criterion estimates (ParameterEstimation::Criterion, left
  // NaN by the user), or -1.
  int criterion_parameter() const;
  // This model with parameter values `values` (same count; NaN: estimate), checked.
  Result<ResponseModel> with_parameters(std::vector<double> values) const;
  std::span<const double> parameters() const { return parameters_; }
  // Whether one pass at the start already gives the fit (normal errors, identity link):
  // the working weights do not depend on the coefficients.
  bool linear() const { return info().normal_errors && link_ == LinkId::Identity; }

  // Index of the first response in y outside the family's support, or y.size if none.
  std::size_t first_outside_support(VectorView y) const;
  // The starting linear predictor of each row of a block (a row whose starting mean the
  // link cannot represent keeps the value `eta` holds).
  void starting_eta(const double* y, const double* prior_weight, std::size_t count,
                    double* eta) const;
  void working(const RowsIn& in, const RowsOut& out) const { family_->working(*this, in, out); }
  void newton(const RowsIn& in, const NewtonRowsOut& out, int order) const {
    family_->newton(*this, in, out, order);
  }

 private:
  const Family* family_ = nullptr;
  LinkId link_ = LinkId::Identity;
  std::vector<double> parameters_;
};

// A row whose response lies on the edge of its family's range and whose working weight has
// fallen below this share of its prior weight counts as fitted on the edge (a logit beyond
// +-23, a log mean below -23): the fit is driving its linear predictor to infinity, as
// only separated rows make it do.
inline constexpr double kEdgeWeight = 1e-10;

// x log x with 0 log 0 = 0, and x log y with 0 log y = 0.
inline double xlogx(double x) { return x > 0.0 ? x * std::log(x) : 0.0; }
inline double xlogy(double x, double y) { return x != 0.0 ? x * std::log(y) : 0.0; }
// e^x - 1 - x without cancellation, given ex = e^x (to a few ulps; a caller usually has
// it as a ratio of two means): for |x| < 1/2, where the subtraction would lose digits, the
// Taylor series sum over n >= 2 of x^n / n! (terms beyond n = 17 are below 2^-53 of the
// sum), evaluated by Estrin's scheme so that its additions do not wait on one another;
// the subtraction beyond. Both are computed and one is chosen, without a branch on the
// data: a few times cheaper than expm1.
inline double expm1_minus_x(double x, double ex) {
  constexpr double c[16] = {
      1.0 / 2.0, 1.0 / 6.0, 1.0 / 24.0, 1.0 / 120.0, 1.0 / 720.0, 1.0 / 5040.0,
      1.0 / 40320.0, 1.0 / 362880.0, 1.0 / 3628800.0, 1.0 / 39916800.0, 1.0 / 479001600.0,
      1.0 / 6227020800.0, 1.0 / 87178291200.0, 1.0 / 1307674368000.0,
      1.0 / 20922789888000.0, 1.0 / 355687428096000.0};
  const double x2 = x * x, x4 = x2 * x2, x8 = x4 * x4;
  double q[8];
  for (int j = 0; j < 8; ++j) q[j] = c[2 * j] + c[2 * j + 1] * x;
  const double r0 = q[0] + q[1] * x2, r1 = q[2] + q[3] * x2;
  const double r2 = q[4] + q[5] * x2, r3 = q[6] + q[7] * x2;
  const double series = x2 * ((r0 + r1 * x4) + (r2 + r3 * x4) * x8);
  const double direct = (ex - 1.0) - x;
  return std::abs(x) < 0.5 ? series : direct;
}
// log Gamma(x) for x > 0 without the global sign variable std::lgamma writes: passes run
// on several threads.
inline double log_gamma(double x) {
  int sign = 0;
  return ::lgamma_r(x, &sign);
}

// log y! for a count y >= 0 (log Gamma(y + 1) for any y > -1): from a table for the
// small whole numbers most counts are, computed once, else log_gamma.
double log_factorial(double y);

}  // namespace velkan::families
