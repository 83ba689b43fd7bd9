// Passes over the rows: each evaluates the raw design block by block and reduces it at
// once, so no pass holds more than a block of the n x p design. Memory beyond the inputs
// is O(threads * (block * p + p^2)).
//
// A pass of the fit linearises the model at an expansion point. Rows get the linear
// predictor eta = offset + x'beta0 (or, on the first pass of a non-gaussian fit, the
// starting value from the response), and from it a working weight w and working response
// z = eta + (y - mu) / (dmu/deta). The pass accumulates
//
//   X'WX,   X'W t,   t'W t     with  t = z - offset - X beta0,
//
// i.e. the working response measured from the expansion point. Near convergence t is the
// small working residual, so the sums keep their digits even for a response far from
// zero (a gaussian response shifted by 1e6 loses nothing when beta0 carries the shift).
//
// Threads split the rows into contiguous ranges, each with its own accumulators, summed
// in range order at the end: results depend on the thread count only through the order
// of that summation.
//
// The Laplace-approximate criterion asks more of a pass (all optional, see PassOptions):
// the observed information in place of the expected one, the derivatives of the
// log-likelihood in a family parameter the criterion estimates, the log density at a given
// scale for a profile likelihood, and, given H^-1 and d beta / d coordinate at the fitted
// coefficients, the sums over rows from which the criterion's exact gradient and Hessian
// follow (DerivativeSums).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "engine/families/family.h"
#include "engine/terms/layout.h"

namespace velkan::passes {

// Rows evaluated and reduced at a time.
inline constexpr std::size_t kPassBlockRows = 2048;

// The rows a pass reads. Every view has the same length (rows); weights and offset may be
// empty (all ones, all zeros).
struct RowData {
  std::span<const VectorView> columns;
  VectorView response;
  VectorView weights;
  VectorView offset;
  std::size_t rows() const { return response.size; }
};

// The sums of a family parameter estimated by the criterion (psi = log parameter), see
// families::ParameterRowsOut: log-likelihood, its first two derivatives in psi, and X'g1,
// X'g2 over the raw design.
struct ParameterSums {
  double loglik = 0.0;
  double l1 = 0.0;
  double l2 = 0.0;
  Vector xg1;
  Vector xg2;
  void add(const ParameterSums& o);
};

// Sums of the prior-weighted log density at a given scale and of its first two
// derivatives in log(scale) (a profile likelihood's pass).
struct ProfileSums {
  double log_density = 0.0;
  double d1 = 0.0;
  double d2 = 0.0;
  void add(const ProfileSums& o);
};

// What the derivative sums need, in the raw design's coordinates: B = Z H^-1 Z' (width x
// width, H the penalized observed information at the fitted coefficients) and the columns
// of d beta / d x_k (width x K) for the criterion's K coordinates, the last of which is
// the family parameter psi when `parameter`.
struct DerivativeRequest {
  Matrix h_inverse;
  Matrix dbeta;
  bool parameter = false;
  // False: the gradient's sums alone (t; the others stay zero), without the K rank-k
  // updates of the a_k that only the Hessian needs (about half the pass's cost).
  bool hessian = true;
};

// The derivative sums, with h_i = x_i'B x_i, e_ik = x_i' d beta_k (the change of row i's
// linear predictor), w the Newton weight and w', w'' its derivatives in eta, and for the
// family parameter w1 = dw/dpsi, w2 = d2w/dpsi2, w_eta = d2w/(deta dpsi), g2 = d2g/dpsi2:
//   a_k = X' diag(c_k) X,  c_k = w' e_k (+ w1 for psi)     (the change of X'WX)
//   t_k = sum h c_k                                       (tr(H^-1 dH_k), data part)
//   v   = X'(w' h)
//   q   = sum h w'' e_j e_k                               (K x K)
// and, with a parameter: r_k = sum h w_eta e_k, s = sum h w2, u_k = X'(w1 e_k), xg2 = X'g2.
struct DerivativeSums {
  std::vector<Matrix> a;
  Vector t;
  Vector v;
  Matrix q;
  Vector r;
  double s = 0.0;
  Matrix u;  // width x K
  bool hessian = true;  // false: made for the gradient alone (t only; the rest zero)
  void add(const DerivativeSums& o);
};

struct PassSums {
  Matrix xtwx;             // width x width
  Vector xtwt;             // X'W t
  double ttwt = 0.0;       // t'W t
  double deviance = 0.0;   // sum of prior-weighted unit deviances at eta
  double pearson = 0.0;    // sum of prior-weighted (y - mu)^2 / V(mu)
  double weight_sum = 0.0; // sum of prior weights
  double rows = 0.0;       // rows with a positive prior weight
  Vector column_sums;      // prior-weighted raw design column sums (when requested)
  // Sums of the response alone, for the null deviance and the log-likelihood; collected
  // on a first pass (`from_response`) only, zero otherwise. There e = y - offset - x'beta0
  // is the response measured from the expansion point, which on a first pass is a
  // constant starting level, so that the gaussian null deviance sum w e^2 - (sum w e)^2 /
  // sum w keeps its digits however far the response sits from zero.
  families::ResponseSums response;
  // False when some row's mean, weight or deviance came out non-finite (a step too far);
  // the cross products are then incomplete (each thread stops adding to them there) and
  // only the scalar sums and step_reach are meaningful.
  bool finite = true;
  // Whether xtwx / xtwt hold the observed information (Newton weights, see
  // PassOptions::observed_information); `correction` = X'(W_obs - W_exp)X then holds what
  // the expected-information sums lack (empty when they already are observed).
  bool observed = false;
  Matrix correction;
  ParameterSums parameter;      // with PassOptions::parameter_sums
  ProfileSums profile;          // with PassOptions::profile_scale
  DerivativeSums derivatives;   // with PassOptions::derivatives
  // For the families that warn about exact fits: rows whose response lies on the edge of
  // the family's range (Family::on_edge; first pass only) and, of those, the rows whose
  // working weight is below kEdgeWeight of their prior weight (fitted on the edge).
  double edge_responses = 0.0;
  double edge_rows = 0.0;
  // With PassOptions::step_origin: the largest fraction t in [0, 1] of the step from the
  // origin's linear predictor to this pass's that keeps every row's mean inside the
  // family's domain under its link (1 when every row is inside; 0 when a row is outside
  // at the origin already). Within kReachPrecision of the edge, on its inner side.
  double step_reach = 1.0;

  // Adds another pass's sums over other rows (shapes must agree).
  void add(const PassSums& other);
};

struct PassOptions {
  // Linearise at the starting linear predictor from the response instead of at beta0
  // (t then also carries eta_start - offset - X beta0).
  bool from_response = false;
  bool column_sums = false;
  std::size_t threads = 1;
  std::size_t block_rows = kPassBlockRows;
  // The observed information: X'WX and X'Wt with the Newton weights and working residuals
  // g / w where the model's Newton weights are positive (a full Newton step), else the
  // Fisher weights as usual plus `correction`.
  bool observed_information = false;
  // The family's response-only sums at the model's parameter values (every first pass
  // adds them; a later pass when the parameters have changed since).
  bool response_sums = false;
  bool parameter_sums = false;
  double profile_scale = 0.0;   // > 0: profile sums at this scale
  // The derivative sums at the request's point. Such a pass is made at coefficients whose
  // cross products an earlier pass already has: it leaves xtwx, xtwt and ttwt zero (their
  // rank-k update is a fifth of its cost) and gives the scalar sums as usual.
  const DerivativeRequest* derivatives = nullptr;
  // The coefficients a step started from (raw, width() entries; empty: none): the pass
  // then also gives PassSums::step_reach, so that a step that left the mean's domain is
  // cut back to its edge at once instead of by trial passes.
  VectorView step_origin{};
  // False: leave xtwx, xtwt and ttwt incomplete (their rank-k updates are most of a pass),
  // for a pass asked for other sums alone (a profile density at fixed coefficients).
  bool cross_products = true;
};

// The step_reach of a row is found by bisection to within this fraction of the step.
inline constexpr double kReachPrecision = 1e-9;

// Ok when `columns` holds at least the layout's input columns, every one of length n, and
// weights and offset are empty or of length n; DimensionMismatch naming the first misfit.
Status check_row_inputs(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                        std::size_t n, VectorView weights, VectorView offset);

// One pass. beta0 has layout.width() entries (raw coefficients). Refused: inputs of
// unequal lengths or too few columns, a factor code outside its levels; a response outside
// the family's support is refused on a first pass (`from_response`) and otherwise counts
// as a non-finite row.
Result<PassSums> accumulate(const terms::ModelLayout& layout, const RowData& data,
                            const families::ResponseModel& model, VectorView beta0,
                            const PassOptions& options);

// offset + X beta for every row (beta raw, width() entries), into `out` (rows entries).
Status linear_predictor(const terms::ModelLayout& layout, std::span<const VectorView> columns,
                        VectorView beta, VectorView offset, std::span<double> out,
                        std::size_t threads = 1);

}  // namespace velkan::passes
