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

Result<StepResult> fit_step(const StepInput& in) {
  const terms::ModelLayout& layout = *in.layout;
  StepResult out;
  out.problem = working_problem(layout, *in.sums, in.beta0_raw.view());
  WorkingProblem& wp = out.problem;
  const std::size_t m = wp.penalties.size();
  const std::size_t p = wp.xtwx.rows();
  out.rho_balanced = balanced_rho(wp);

  Vector rho = in.rho_start;
  for (std::size_t j = 0; j < m; ++j) {
    if (!std::isfinite(rho[j])) rho[j] = out.rho_balanced[j];
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

  auto search = newton_search(wp, in.criterion, in.known_scale, rho.view(), in.free, opt);
  if (!search) return fail(search.error());
  out.search = std::move(*search);
  out.beta_raw = layout.expand(out.search.at.beta.view());
  return out;
}

}  // namespace velkan::select
