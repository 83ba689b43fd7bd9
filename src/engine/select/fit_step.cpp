#include "engine/select/fit_step.h"

#include <algorithm>
#include <cmath>

#include "engine/select/blocked.h"
#include "engine/select/removal.h"
#include "engine/select/shape.h"
#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

namespace {

// The search on the problem that the active set of `a` leaves (beta = N theta), from the
// current smoothing parameters (held where `free` says), mapped back to the full
// coefficients: beta = N theta, the edf diag(N H_N^-1 G_N N'). Sets `n` to N.
Status restricted_search(const StepInput& in, double known_scale, const SearchOptions& opt, const Matrix& a,
                         const std::vector<bool>& active, const std::vector<bool>& free, StepResult& out,
                         Matrix& n) {
  auto basis = active_null_basis(a, active);
  if (!basis) return fail(basis.error());
  n = std::move(*basis);
  const WorkingProblem rp = restricted_problem(out.problem, n, *in.layout);
  auto search = newton_search(rp, in.criterion, known_scale, out.search.rho.view(), free, opt);
  if (!search) return fail(search.error());
  Evaluation& at = search->at;
  const Matrix f = matmul(at.h_inverse.view(), rp.xtwx.view());
  const Matrix nf = matmul(n.view(), f.view());
  Vector edf(n.rows());
  for (std::size_t i = 0; i < n.rows(); ++i)
    for (std::size_t c = 0; c < n.cols(); ++c) edf[i] += nf(i, c) * n(i, c);
  at.beta = matvec(n.view(), at.beta.view());
  at.edf_per_coefficient = std::move(edf);
  out.search = std::move(*search);
  return {};
}

// Alternates the shape-constrained programme at the current smoothing parameters with the
// search on the problem its active set leaves, until the active set settles (shape.h).
// An active set that has not settled after kShapeRounds (it can alternate as the
// smoothing parameters move) would leave the last search's fit, which need not obey the
// constraints; the fit is then the programme's at the last smoothing parameters, held.
// known_scale: the caller's, times the weight scale the sums were multiplied by.
Status shape_rounds(const StepInput& in, double known_scale, const SearchOptions& opt, const Matrix& a,
                    StepResult& out) {
  std::vector<bool> previous;
  Matrix n;
  for (std::size_t round = 0; round <= kShapeRounds; ++round) {
    auto qp = solve_shape_qp(penalized_matrix(out.problem, out.search.rho.view()),
                             penalized_rhs(out.problem), a);
    if (!qp) return fail(qp.error());
    if (round == 0 && std::none_of(qp->active.begin(), qp->active.end(), [](bool v) { return v; })) {
      return {};  // the unconstrained fit obeys the constraints
    }
    if (qp->active == previous) break;
    previous = qp->active;
    if (round < kShapeRounds) {
      if (auto ok = restricted_search(in, known_scale, opt, a, qp->active, in.free, out, n); !ok) return ok;
      continue;
    }
    const SearchExit exit = out.search.exit;
    const std::size_t iterations = out.search.iterations, evaluations = out.search.score_evaluations;
    const std::vector<bool> held(in.free.size(), false);
    if (auto ok = restricted_search(in, known_scale, opt, a, qp->active, held, out, n); !ok) return ok;
    out.search.exit = exit;
    out.search.iterations = iterations;
    out.search.score_evaluations = evaluations;
  }
  out.constraint_basis = std::move(n);
  return {};
}

// The directions neither the data nor the penalties determine, by pivoted Cholesky of
// G + sum_j lambda_j S_j at the balanced lambdas (block by block with a sparse block).
Result<std::vector<std::size_t>> undetermined_directions(const WorkingProblem& wp, VectorView rho) {
  if (wp.sparse) return blocked_undetermined(wp, rho, kIdentifiabilityTolerance);
  const Matrix h = penalized_matrix(wp, rho);
  auto rank = pivoted_rank(h.view(), kIdentifiabilityTolerance);
  if (!rank) return fail(GamError::linalg_error("rank check failed: " + rank.error().debug()));
  std::vector<std::size_t> out(rank->order.begin() + static_cast<std::ptrdiff_t>(rank->rank), rank->order.end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

WorkingProblem working_problem(const terms::ModelLayout& layout, const passes::PassSums& sums,
                               VectorView beta0_raw, bool blocked) {
  WorkingProblem wp;
  wp.xtwx = layout.constrain(sums.xtwx);
  wp.xtwt = layout.constrain(sums.xtwt.view());
  wp.ttwt = sums.ttwt;
  wp.beta0 = layout.constrain(beta0_raw);
  wp.rows = sums.rows;
  if (!blocked || !blocked_problem(layout, wp)) wp.penalties = layout.constrained_penalties();
  wp.log_det_penalty = [&layout](VectorView rho) { return layout.log_pseudo_determinant(rho); };
  wp.null_space_dimension = layout.null_space_dimension();
  return wp;
}

bool blocked_problem(const terms::ModelLayout& layout, WorkingProblem& wp) {
  const auto& sp = layout.sparse();
  if (!sp || !layout.is_centred()) return false;
  auto compact = layout.constrained_penalties(true);
  const std::size_t o = sp->offset, q = sp->groups * sp->block;
  for (const auto& pen : compact) {
    const std::size_t end = pen.offset + pen.repeat * pen.matrix.rows();
    const bool on_block = pen.offset == o && end == o + q && pen.matrix.rows() == sp->block;
    if (!(on_block || end <= o || pen.offset >= o + q)) return false;
  }
  wp.penalties = std::move(compact);
  wp.sparse = SparseBlock{o, sp->groups, sp->block};
  return true;
}

Vector balanced_rho(const WorkingProblem& wp) {
  Vector rho(wp.penalties.size());
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    const auto& pen = wp.penalties[j];
    double tg = 0.0, ts = 0.0;
    for (std::size_t a = 0; a < pen.matrix.rows() * pen.repeat; ++a) tg += wp.xtwx(pen.offset + a, pen.offset + a);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a) ts += pen.matrix(a, a) * static_cast<double>(pen.repeat);
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

// The removal check (removal.h) on a REML search's end point, where the step asks for it;
// shape-constrained models keep their terms (their end point is the active-set programme's).
Status remove_terms(const StepInput& in, double known_scale, const SearchOptions& opt, StepResult& out) {
  const SearchExit e = out.search.exit;
  if (in.removable.empty() || in.criterion != Criterion::Reml || !out.search.at.defined ||
      e == SearchExit::ExactFit || e == SearchExit::NoResidualDf || in.layout->shape_rows().rows() > 0) {
    return {};
  }
  RemovalInput r;
  r.problem = &out.problem;
  r.known_scale = known_scale;
  r.options = &opt;
  r.free = in.free;
  r.groups = removable_groups(*in.layout, in.removable);
  if (r.groups.empty()) return {};
  r.removed_rho = Vector(out.rho_balanced.size());
  for (std::size_t j = 0; j < r.removed_rho.size(); ++j) r.removed_rho[j] = out.rho_balanced[j] + kRhoAbove;
  auto gone = remove_weak_terms(r, out.search);
  if (!gone) return fail(gone.error());
  for (std::size_t g : *gone) out.removed_terms.push_back(in.layout->penalties()[r.groups[g].front()].term);
  return {};
}

}  // namespace

Result<StepResult> fit_step(const StepInput& in) {
  const terms::ModelLayout& layout = *in.layout;
  StepResult out;
  out.problem = working_problem(layout, *in.sums, in.beta0_raw.view(), in.criterion == Criterion::Reml);
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
  auto undetermined = undetermined_directions(wp, out.rho_balanced.view());
  if (!undetermined) return fail(undetermined.error());
  if (!undetermined->empty()) {
    // The ridge's scale: the largest diagonal entry of G + S_lambda at the balanced lambdas.
    Vector diag(p);
    for (std::size_t i = 0; i < p; ++i) diag[i] = wp.xtwx(i, i);
    for (std::size_t j = 0; j < m; ++j) {
      const auto& pen = wp.penalties[j];
      const double lambda = std::exp(out.rho_balanced[j]);
      for (std::size_t a = 0; a < pen.matrix.rows() * pen.repeat; ++a)
        diag[pen.offset + a] += lambda * pen.matrix(a % pen.matrix.rows(), a % pen.matrix.rows());
    }
    double dmax = 0.0;
    for (std::size_t i = 0; i < p; ++i) dmax = std::max(dmax, diag[i]);
    if (!(dmax > 0.0)) dmax = 1.0;
    wp.ridge = Vector(p);
    for (std::size_t i : *undetermined) wp.ridge[i] = kIdentifiabilityRidge * dmax;
    out.undetermined = std::move(*undetermined);
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
  if (auto ok = remove_terms(in, in.known_scale * s, opt, out); !ok) return fail(ok.error());
  if (const Matrix a = layout.shape_rows(); a.rows() > 0) {
    if (auto ok = shape_rounds(in, in.known_scale * s, opt, a, out); !ok) return fail(ok.error());
  }
  unscale(s, layout, in.criterion, out);
  out.beta_raw = layout.expand(out.search.at.beta.view());
  return out;
}

}  // namespace velkan::select
