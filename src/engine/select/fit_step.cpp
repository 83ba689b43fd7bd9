#include "engine/select/fit_step.h"

#include <algorithm>
#include <cmath>

#include "linalg/spd_factor.h"

namespace velkan::select {

WorkingProblem working_problem(const terms::ModelLayout& layout, const passes::PassSums& sums,
                               VectorView beta0_raw) {
  WorkingProblem wp;
  wp.xtwx = layout.constrain(sums.xtwx);
  wp.xtwt = layout.constrain(sums.xtwt.view());
  wp.ttwt = sums.ttwt;
  wp.beta0 = layout.constrain(beta0_raw);
  wp.rows = sums.rows;
  wp.penalties = layout.constrained_penalties();
  wp.log_det_penalty = [&layout](VectorView rho) { return layout.log_pseudo_determinant(rho); };
  wp.null_space_dimension = layout.null_space_dimension();
  return wp;
}

Vector balanced_rho(const WorkingProblem& wp) {
  Vector rho(wp.penalties.size());
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    const auto& pen = wp.penalties[j];
    double tg = 0.0, ts = 0.0;
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a) {
      tg += wp.xtwx(pen.offset + a, pen.offset + a);
      ts += pen.matrix(a, a);
    }
    rho[j] = (tg > 0.0 && ts > 0.0) ? std::log(tg / ts) : 0.0;
  }
  return rho;
}

namespace {

// The power of two s by which a pass's sums are multiplied before the search: 1 unless the
// mean prior weight lies beyond 2^+-kWeightExponent (weights near 1e-200 or 1e200), where
// products of the sums would under- or overflow.
double weight_scale(const passes::PassSums& sums) {
  const double mean = sums.weight_sum / sums.rows;
  if (!(mean > 0.0) || !std::isfinite(mean)) return 1.0;
  const int e = std::ilogb(mean);
  return std::abs(e) > kWeightExponent ? std::ldexp(1.0, -e) : 1.0;
}

// Weights multiplied by s are the same model with the scale multiplied by s: G, r, c,
// the deviances, lambda and phi scale by s, beta and tau do not. These map a search on
// the scaled sums back (wp.rows, M and the ranks being unchanged).
void unscale(double s, const terms::ModelLayout& layout, Criterion criterion, StepResult& out) {
  if (s == 1.0) return;
  const double log_s = std::log(s);
  WorkingProblem& wp = out.problem;
  Evaluation& at = out.search.at;
  for (std::size_t j = 0; j < out.search.rho.size(); ++j) out.search.rho[j] -= log_s;
  for (std::size_t j = 0; j < out.rho_balanced.size(); ++j) out.rho_balanced[j] -= log_s;
  for (std::size_t i = 0; i < wp.xtwx.size(); ++i) wp.xtwx.data()[i] /= s;
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) wp.ridge[i] /= s;
  at.deviance /= s;
  at.penalized_deviance /= s;
  at.scale /= s;
  if (criterion == Criterion::Reml) {
    // ln|H|, ln|S_lambda|_+ and (n - M) ln phi each move by a multiple of ln s.
    const double m0 = static_cast<double>(layout.null_space_dimension());
    at.score -= 0.5 * (m0 + wp.rows - static_cast<double>(wp.null_space_dimension)) * log_s;
    return;
  }
  at.score /= s;
  for (std::size_t j = 0; j < at.gradient.size(); ++j) at.gradient[j] /= s;
  for (std::size_t i = 0; i < at.hessian.size(); ++i) at.hessian.data()[i] /= s;
}

}  // namespace

Result<StepResult> fit_step(const StepInput& in) {
  const terms::ModelLayout& layout = *in.layout;
  StepResult out;
  out.problem = working_problem(layout, *in.sums, in.beta0_raw.view());
  WorkingProblem& wp = out.problem;
  const std::size_t m = wp.penalties.size();
  const std::size_t p = wp.xtwx.rows();
  const double s = weight_scale(*in.sums);
  if (s != 1.0) {
    for (std::size_t i = 0; i < wp.xtwx.size(); ++i) wp.xtwx.data()[i] *= s;
    for (std::size_t i = 0; i < p; ++i) wp.xtwt[i] *= s;
    wp.ttwt *= s;
  }
  out.rho_balanced = balanced_rho(wp);

  Vector rho = in.rho_start;
  for (std::size_t j = 0; j < m; ++j) {
    rho[j] = std::isfinite(rho[j]) ? rho[j] + std::log(s) : out.rho_balanced[j];
  }
  SearchOptions opt;
  opt.max_iterations = in.max_iterations;
  opt.gradient_tolerance = in.gradient_tolerance;
  opt.lower = Vector(m);
  opt.upper = Vector(m);
  for (std::size_t j = 0; j < m; ++j) {
    // Fixed parameters may lie anywhere; free ones search around the balanced value.
    opt.lower[j] = in.free[j] ? out.rho_balanced[j] - kRhoBelow : rho[j];
    opt.upper[j] = in.free[j] ? out.rho_balanced[j] + kRhoAbove : rho[j];
  }

  // Directions that neither the data nor the penalties determine (aliased linear terms, a
  // factor level without weight, more unpenalized coefficients than rows) get a fixed ridge.
  // They are the null space of G + sum_j S_j, whatever the lambdas; the balanced lambdas
  // keep the sum well scaled, so that the rank test sees structure, not conditioning.
  Matrix h = wp.xtwx;
  for (std::size_t j = 0; j < m; ++j) {
    const auto& pen = wp.penalties[j];
    const double lambda = std::exp(out.rho_balanced[j]);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b)
        h(pen.offset + a, pen.offset + b) += lambda * pen.matrix(a, b);
  }
  auto rank = pivoted_rank(h.view(), kIdentifiabilityTolerance);
  if (!rank) return fail(GamError::linalg_error("rank check failed: " + rank.error().debug()));
  if (rank->rank < p) {
    double dmax = 0.0;
    for (std::size_t i = 0; i < p; ++i) dmax = std::max(dmax, h(i, i));
    if (!(dmax > 0.0)) dmax = 1.0;
    wp.ridge = Vector(p);
    for (std::size_t r = rank->rank; r < p; ++r) {
      wp.ridge[rank->order[r]] = kIdentifiabilityRidge * dmax;
      out.undetermined.push_back(rank->order[r]);
    }
    std::sort(out.undetermined.begin(), out.undetermined.end());
  }

  wp.null_space_dimension -= std::min(wp.null_space_dimension, out.undetermined.size());
  if (in.frequency_weights) wp.rows = in.sums->weight_sum;
  if (in.shrink.size() == p) {
    if (wp.ridge.empty()) wp.ridge = Vector(p);
    for (std::size_t i = 0; i < p; ++i) wp.ridge[i] += s * in.shrink[i];
  }

  auto search = newton_search(wp, in.criterion, in.known_scale * s, rho.view(), in.free, opt);
  if (!search) return fail(search.error());
  out.search = std::move(*search);
  unscale(s, layout, in.criterion, out);
  out.beta_raw = layout.expand(out.search.at.beta.view());
  return out;
}

}  // namespace velkan::select
