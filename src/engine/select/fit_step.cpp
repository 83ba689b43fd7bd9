#include "engine/select/fit_step.h"

#include <algorithm>
#include <cmath>

#include "engine/select/shape.h"
#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

namespace {

// Alternates the shape-constrained programme at the current smoothing parameters with the
// search on the problem its active set leaves, until the active set settles (shape.h).
Status shape_rounds(const StepInput& in, const SearchOptions& opt, const Matrix& a, StepResult& out) {
  const WorkingProblem& wp = out.problem;
  std::vector<bool> previous;
  Matrix n;
  for (std::size_t round = 0; round < kShapeRounds; ++round) {
    const Matrix h = penalized_matrix(wp, out.search.rho.view());
    auto qp = solve_shape_qp(h, penalized_rhs(wp), a);
    if (!qp) return fail(qp.error());
    if (round == 0 && std::none_of(qp->active.begin(), qp->active.end(), [](bool v) { return v; })) {
      return {};  // the unconstrained fit obeys the constraints
    }
    if (qp->active == previous) break;
    previous = qp->active;
    auto basis = active_null_basis(a, qp->active);
    if (!basis) return fail(basis.error());
    n = std::move(*basis);
    const WorkingProblem rp = restricted_problem(wp, n, *in.layout);
    auto search = newton_search(rp, in.criterion, in.known_scale, out.search.rho.view(), in.free, opt);
    if (!search) return fail(search.error());
    // Back to the full coefficients: beta = N theta, the edf diag(N H_N^-1 G_N N').
    Evaluation& at = search->at;
    const Matrix f = matmul(at.h_inverse.view(), rp.xtwx.view());
    const Matrix nf = matmul(n.view(), f.view());
    Vector edf(n.rows());
    for (std::size_t i = 0; i < n.rows(); ++i)
      for (std::size_t c = 0; c < n.cols(); ++c) edf[i] += nf(i, c) * n(i, c);
    at.beta = matvec(n.view(), at.beta.view());
    at.edf_per_coefficient = std::move(edf);
    out.search = std::move(*search);
  }
  out.constraint_basis = std::move(n);
  return {};
}

}  // namespace

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
  if (const Matrix a = layout.shape_rows(); a.rows() > 0) {
    if (auto ok = shape_rounds(in, opt, a, out); !ok) return fail(ok.error());
  }
  out.beta_raw = layout.expand(out.search.at.beta.view());
  return out;
}

}  // namespace velkan::select
