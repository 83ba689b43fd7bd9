#include "velkan_core/search/newton.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "common/interrupt.h"
#include "diag/clock.h"
#include "diag/sink.h"
#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"
#include "velkan_core/reml/derivatives.h"
#include "velkan_core/reml/gradient.h"
#include "velkan_core/reml/penalty_sqrt.h"

namespace velkan {

namespace {

using diag::Switch;
constexpr double kInf = std::numeric_limits<double>::infinity();

Vector exp_all(const Vector& rho) {
  Vector out(rho.size());
  for (std::size_t i = 0; i < rho.size(); ++i) out[i] = std::exp(rho[i]);
  return out;
}

double norm2(const Vector& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return std::sqrt(s);
}

// Largest |v_i|, 0 for an empty vector. A NaN entry makes the result NaN, so a broken
// gradient can never pass a convergence test.
double max_abs(const Vector& v) {
  double m = 0.0;
  for (double x : v) {
    const double a = std::fabs(x);
    if (std::isnan(a) || a > m) m = a;
    if (std::isnan(m)) break;
  }
  return m;
}

GamError shape_error(const char* what, std::size_t got, std::size_t m) {
  return GamError::dimension_mismatch(
      diag::format("{} has {} entries for {} smoothing parameters", {what, got, m}));
}

// Outcome of the step-halving search along one Newton direction.
struct LineSearch {
  double best_scale = 0.0;  // 0 when no trial beat the iteration's score
};

// Tries rho + 0.5^half delta for half = 0 .. max_half. Stops at the first trial that
// fails to beat an earlier improvement (keeping that improvement), or at the first halved
// trial that improves and passes the Armijo test against the iteration's own score. A
// full step is never accepted on Armijo alone: half 1 is still tried, because the
// criterion is often far from quadratic at the start and the shorter step may be better.
LineSearch line_search(NewtonObjective& f, const Vector& rho, const Vector& delta, double score,
                       double slope, int max_half) {
  LineSearch out;
  double best = score;
  double scale = 1.0;
  Vector trial(rho.size());
  for (int half = 0; half <= max_half; ++half, scale *= kStepHalving) {
    // Interrupted: no step (the search's own poll then ends it).
    if (stop_requested()) return LineSearch{};
    for (std::size_t i = 0; i < rho.size(); ++i) trial[i] = std::exp(rho[i] + scale * delta[i]);
    const auto value = f.score(trial.span());
    if (!value) {
      if (half < 3) diag::trace(Switch::Profile, "[PROFILE]     half={}: ERROR (numerical issue)\n", {half});
      continue;
    }
    const double reml_t = *value;
    // A non-finite trial score is no improvement, whatever its sign.
    if (!std::isfinite(reml_t)) continue;
    const bool armijo = reml_t <= score + kArmijoConstant * scale * slope;
    if (half < 3)
      diag::trace(Switch::Profile, "[PROFILE]     half={}: scale={:.4}, REML={:.6}, armijo={}\n",
                  {half, scale, reml_t, armijo});
    if (reml_t < best) {
      out.best_scale = scale;
      best = reml_t;
      if (armijo && half > 0) {
        diag::trace(Switch::Profile, "[PROFILE]   Armijo condition satisfied, accepting scale={:.4}\n",
                    {scale});
        return out;
      }
    } else if (out.best_scale > 0.0) {
      // Shorter steps stopped helping: keep the best one found so far.
      diag::trace(Switch::Profile, "[PROFILE]   Best step scale: {:.4}\n", {out.best_scale});
      return out;
    }
  }
  return out;
}

// Three fixed steps along the negative (uncached) gradient. On success rho is moved.
Result<bool> steepest_descent(NewtonObjective& f, Vector& rho, double score) {
  diag::trace(Switch::Profile, "[PROFILE]   Newton failed, trying steepest descent\n");
  const Vector lambda = exp_all(rho);
  auto g = f.gradient_uncached(lambda.span());
  if (!g) return std::unexpected(g.error());
  const std::size_t len = std::min(rho.size(), g->size());
  for (double s : kSteepestDescentScales) {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    Vector trial_rho = rho;
    for (std::size_t i = 0; i < len; ++i) trial_rho[i] = rho[i] - s * (*g)[i];
    const auto value = f.score(exp_all(trial_rho).span());
    if (!value) {
      diag::trace(Switch::Profile, "[PROFILE]     SD scale={}: REML computation failed\n", {s});
      continue;
    }
    const bool improvement = std::isfinite(*value) && *value < score;
    diag::trace(Switch::Profile,
                "[PROFILE]     SD scale={}: REML={:.6} (current={:.6}, improvement={})\n",
                {s, *value, score, improvement});
    if (improvement) {
      rho = std::move(trial_rho);
      diag::trace(Switch::Profile, "[PROFILE]   Steepest descent succeeded (scale={}): REML={:.6}\n",
                  {s, *value});
      return true;
    }
  }
  diag::trace(Switch::Profile, "[PROFILE]   Steepest descent failed at all scales\n");
  return false;
}

void trace_raw_hessian(const Vector& lambda, const Matrix& h, const Vector& g) {
  diag::trace(Switch::GradDebug, "\n[SMOOTH_DEBUG] Raw Hessian at λ={}:\n", {lambda.span()});
  for (std::size_t i = 0; i < h.rows(); ++i) {
    for (std::size_t j = 0; j < h.cols(); ++j)
      diag::trace(Switch::GradDebug, "  H[{},{}]={:.6e}", {i, j, h(i, j)});
    diag::trace(Switch::GradDebug, "\n");
  }
  diag::trace(Switch::GradDebug, "[SMOOTH_DEBUG] Gradient: {}\n", {g.span()});
}

// The REML score and its derivatives over the caches of one optimize call.
class RemlObjective final : public NewtonObjective {
 public:
  RemlObjective(VectorView y, MatrixView x, VectorView w, std::span<const Matrix> penalties,
                std::span<const Matrix> sqrt_penalties, const RemlCache& cache,
                const NewtonOptions& options)
      : y_(y), x_(x), w_(w), penalties_(penalties), sqrt_(sqrt_penalties), cache_(cache),
        options_(options),
        sums_(y, x, w, cache.xtwx, cache.xtwy, cache.ywy,
              options.memo ? &options.memo->anchor : nullptr),
        scored_(options.memo ? options.memo->scores : own_scores_) {}

  // The score is a deterministic function of lambda, and each iteration starts at the
  // point its predecessor's line search accepted, which was scored there: successful
  // scores are remembered by their exact lambdas and not evaluated twice (nor by a later
  // search over the same data, with a memo).
  Result<double> score(std::span<const double> lambdas) override {
    for (const auto& [at, value] : scored_)
      if (std::equal(at.begin(), at.end(), lambdas.begin(), lambdas.end())) return value;
    // Through the anchored sums: the trials of a line search lie near the coefficients of
    // the last data pass, so they read no data even for a response far from zero.
    auto value = reml_criterion_cached(y_, x_, w_, cache_, lambdas, penalties_, sums_);
    if (value) {
      if (scored_.size() >= kRememberedScores) scored_.erase(scored_.begin());
      scored_.emplace_back(std::vector<double>(lambdas.begin(), lambdas.end()), *value);
    }
    return value;
  }
  Result<Vector> gradient(std::span<const double> lambdas) override {
    return reml_gradient_blockwise(y_, x_, w_, lambdas, penalties_, sqrt_, &cache_.xtwx,
                                   &cache_.xtwy, &sums_);
  }
  Result<Vector> gradient_uncached(std::span<const double> lambdas) override {
    return reml_gradient_blockwise(y_, x_, w_, lambdas, penalties_);
  }
  Result<Matrix> hessian(std::span<const double> lambdas) override {
    auto d = reml_derivatives_cached(y_, x_, w_, cache_, lambdas, penalties_, sqrt_, sums_);
    if (!d) return std::unexpected(d.error());
    return std::move(d->hessian);
  }

 private:
  // Enough for the trials of several line searches (each at most 31).
  static constexpr std::size_t kRememberedScores = 64;
  VectorView y_;
  MatrixView x_;
  VectorView w_;
  std::span<const Matrix> penalties_;
  std::span<const Matrix> sqrt_;
  const RemlCache& cache_;
  NewtonOptions options_;
  // RSS and X'W r for the score, the gradient and the Hessian, anchored along the search.
  ResidualSums sums_;
  std::vector<std::pair<std::vector<double>, double>> own_scores_;
  std::vector<std::pair<std::vector<double>, double>>& scored_;
};

// The gradient and Hessian of one iteration.
struct Derivatives {
  Vector g;  // m
  Matrix h;  // m x m
};

// The Newton system in preconditioned variables: ht = D^-1 H D^-1 (ridged, and with its
// eigenvalues taken by magnitude when it is not positive definite), D = diag(d).
struct Preconditioned {
  Vector d;
  Matrix ht;
};

// Replaces the eigenvalues of the symmetric ht by their magnitudes, floored at
// kNewtonEigenFloor, when its smallest one is not above the floor. Far from the optimum the
// score need not be convex in rho: an indefinite Hessian gives a direction along which the
// score rises, and the line search then finds nothing. Magnitudes keep the curvature's
// scale in every direction and always yield a descent direction. A failed or non-finite
// eigen-decomposition leaves ht as it is.
void take_eigenvalue_magnitudes(Matrix& ht) {
  const std::size_t m = ht.rows();
  auto eig = symmetric_eigen(ht);
  if (!eig || m == 0 || eig->values[0] > kNewtonEigenFloor) return;
  for (double v : eig->values)
    if (!std::isfinite(v)) return;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      double v = 0.0;
      for (std::size_t c = 0; c < m; ++c)
        v += eig->vectors(i, c) * std::max(std::abs(eig->values[c]), kNewtonEigenFloor) *
             eig->vectors(j, c);
      ht(i, j) = v;
    }
  }
}

// Diagonal preconditioning: the entries of H differ by orders of magnitude between
// smooths, so the system is solved in the variables D rho with D = sqrt(diag H).
// Non-positive (or tiny) diagonal entries are left unscaled.
Preconditioned precondition(const Matrix& h) {
  const std::size_t m = h.rows();
  double dmin = kInf, dmax = 0.0;
  Vector d(m, 1.0);
  for (std::size_t i = 0; i < m; ++i) {
    dmin = std::min(dmin, h(i, i));
    dmax = std::max(dmax, h(i, i));
    if (h(i, i) > kNewtonDiagonalFloor) d[i] = std::sqrt(h(i, i));
  }
  const double condition = dmax / std::max(dmin, kNewtonDiagonalFloor);
  diag::trace(Switch::Profile,
              "[PROFILE]   Hessian diag range: [{:.6e}, {:.6e}], condition: {:.2e}\n",
              {dmin, dmax, condition});
  diag::trace(Switch::Profile, "[PROFILE]   Preconditioner: {}\n", {d.span()});
  Matrix ht(m, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) ht(i, j) = h(i, j) / (d[i] * d[j]);
  for (std::size_t i = 0; i < m; ++i) ht(i, i) += kNewtonPreconditionedRidge;
  take_eigenvalue_magnitudes(ht);
  return {std::move(d), std::move(ht)};
}

// A step in rho and its Euclidean norm.
struct Step {
  Vector delta;
  double norm = 0.0;
};

// The Newton step in rho from the preconditioned system, capped to kNewtonMaxStepNorm.
// Errors: those of solve().
Result<Step> newton_step(const Vector& g, Preconditioned pc) {
  const std::size_t m = g.size();
  Vector rhs(m);
  for (std::size_t i = 0; i < m; ++i) rhs[i] = -(g[i] / pc.d[i]);
  auto z = solve(std::move(pc.ht), std::move(rhs));
  if (!z) return std::unexpected(z.error());
  Vector delta(m);
  for (std::size_t i = 0; i < m; ++i) delta[i] = (*z)[i] / pc.d[i];
  double step_norm = norm2(delta);
  if (step_norm > kNewtonMaxStepNorm && m > 0) {
    const double shrink = kNewtonMaxStepNorm / step_norm;
    for (double& v : delta) v *= shrink;
    step_norm = kNewtonMaxStepNorm;
  }
  return Step{std::move(delta), step_norm};
}

// What one iteration of the search decided.
enum class Verdict { Moved, Converged, GaveUp };

// The state of one newton_search call: rho and the score of the previous iteration.
class NewtonSearch {
 public:
  NewtonSearch(NewtonObjective& f, const Vector& initial) : f_(f), rho_(initial.size()) {
    for (std::size_t i = 0; i < initial.size(); ++i) rho_[i] = std::log(initial[i]);
  }
  Result<Vector> run(SearchOutcome* outcome);

 private:
  // Iteration k at lambda = exp(rho), whose score is `score`.
  Result<Verdict> iterate(std::size_t k, const Vector& lambda, double score);
  // Gradient and Hessian at lambda, timed, with their shapes checked.
  Result<Derivatives> derivatives(const Vector& lambda);
  // The convergence tests on the gradient and on the change of the score.
  bool converged(std::size_t k, double grad_linf, double reml_change) const;
  // After a line search that found no step: a small gradient ends the search, otherwise
  // steepest descent, and then the uncached gradient decides.
  Result<Verdict> without_newton_step(std::size_t k, const Vector& lambda, double score,
                                      double grad_linf);

  NewtonObjective& f_;
  Vector rho_;
  double previous_ = kInf;   // score of the last completed iteration
  std::size_t completed_ = 0;  // number of the last completed iteration
};

Result<Derivatives> NewtonSearch::derivatives(const Vector& lambda) {
  const std::size_t m = rho_.size();
  diag::Timer timer;
  auto g_r = f_.gradient(lambda.span());
  const double gradient_ms = timer.elapsed_ms();
  if (!g_r) return std::unexpected(g_r.error());
  timer.restart();
  auto h_r = f_.hessian(lambda.span());
  const double hessian_ms = timer.elapsed_ms();
  if (!h_r) return std::unexpected(h_r.error());
  Derivatives out{std::move(*g_r), std::move(*h_r)};
  if (out.g.size() != m) return std::unexpected(shape_error("Gradient", out.g.size(), m));
  if (out.h.rows() != m || out.h.cols() != m)
    return std::unexpected(GamError::dimension_mismatch(diag::format(
        "Hessian is {}x{} for {} smoothing parameters", {out.h.rows(), out.h.cols(), m})));
  diag::trace(Switch::Profile, "[PROFILE]     Gradient: {:.2}ms, Hessian: {:.2}ms\n",
              {gradient_ms, hessian_ms});
  trace_raw_hessian(lambda, out.h, out.g);
  return out;
}

bool NewtonSearch::converged(std::size_t k, double grad_linf, double reml_change) const {
  if (grad_linf < kNewtonGradientTolerance) {
    diag::trace(Switch::Profile,
                "[PROFILE] Converged after {} iterations (gradient criterion: {:.6} < 0.05)\n",
                {k, grad_linf});
    return true;
  }
  // The first two iterations never stop here: the first has no previous score and the
  // second compares against a start point that says little about the optimum.
  if (completed_ >= kNewtonRemlChangeMinIterations && reml_change < kNewtonRemlChangeTolerance) {
    diag::trace(Switch::Profile,
                "[PROFILE] Converged after {} iterations (REML change: {:.2e} < 1e-5)\n",
                {k, reml_change});
    return true;
  }
  return false;
}

Result<Verdict> NewtonSearch::iterate(std::size_t k, const Vector& lambda, double score) {
  auto derivs = derivatives(lambda);
  if (!derivs) return std::unexpected(derivs.error());
  const Vector& g = derivs->g;
  Preconditioned pc = precondition(derivs->h);

  const double grad_l2 = norm2(g);
  const double grad_linf = max_abs(g);
  const double reml_change = std::isfinite(previous_)
                                 ? std::fabs(score - previous_) /
                                       std::max(std::fabs(previous_), kNewtonRemlChangeFloor)
                                 : kInf;
  diag::trace(Switch::Profile,
              "[PROFILE] Newton iter {}: grad_L2={:.6}, grad_Linf={:.6}, REML={:.6}, "
              "REML_change={:.6e}\n",
              {k, grad_l2, grad_linf, score, reml_change});
  diag::trace(Switch::Profile, "[PROFILE]   lambda={}\n", {lambda.span()});
  diag::trace(Switch::Profile, "[PROFILE]   log_lambda={}\n", {rho_.span()});
  diag::trace(Switch::Profile, "[PROFILE]   gradient={}\n", {g.span()});
  if (converged(k, grad_linf, reml_change)) return Verdict::Converged;

  auto step = newton_step(g, std::move(pc));
  if (!step) return std::unexpected(step.error());
  const Vector& delta = step->delta;
  const std::size_t m = g.size();
  double slope = 0.0;
  for (std::size_t i = 0; i < m; ++i) slope += g[i] * delta[i];
  // Near the optimum fewer halvings are worth trying; far from it the quadratic model
  // can be poor and the useful step much shorter than the Newton step.
  const int max_half = grad_linf < 0.1 ? 10 : grad_linf < 1.0 ? 20 : 30;
  diag::trace(Switch::Profile,
              "[PROFILE]   Line search: step_norm={:.6}, current_REML={:.6}, max_half={}\n",
              {step->norm, score, max_half});
  diag::trace(Switch::Profile, "[PROFILE]     grad·step={:.6e} (expect decrease)\n", {slope});

  diag::Timer timer;
  const LineSearch ls = line_search(f_, rho_, delta, score, slope, max_half);
  if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
  diag::trace(Switch::Profile, "[PROFILE]     Line search: {:.2}ms\n", {timer.elapsed_ms()});
  if (!(ls.best_scale > kNewtonMinScale)) {
    diag::trace(Switch::Profile,
                "[PROFILE]   Newton step too small (scale={:.3e}), checking gradient\n",
                {ls.best_scale});
    return without_newton_step(k, lambda, score, grad_linf);
  }
  diag::trace(Switch::Profile, "[PROFILE]   Accepted Newton step, scale={:.4}\n", {ls.best_scale});
  for (std::size_t i = 0; i < m; ++i) rho_[i] += ls.best_scale * delta[i];
  return Verdict::Moved;
}

Result<Verdict> NewtonSearch::without_newton_step(std::size_t k, const Vector& lambda,
                                                  double score, double grad_linf) {
  if (grad_linf < kNewtonStallGradientTolerance) {
    diag::trace(Switch::Profile,
                "[PROFILE] Converged after {} iterations (gradient {:.6} < 0.1, no further "
                "progress possible)\n",
                {k, grad_linf});
    return Verdict::Converged;
  }
  auto moved = steepest_descent(f_, rho_, score);
  if (!moved) return std::unexpected(moved.error());
  if (*moved) return Verdict::Moved;
  auto g_last = f_.gradient_uncached(lambda.span());
  if (!g_last) return std::unexpected(g_last.error());
  const double last_linf = max_abs(*g_last);
  if (last_linf < kNewtonStallGradientTolerance) {
    diag::trace(Switch::Profile,
                "[PROFILE] Converged after {} iterations (gradient {:.6} < {:.6} at "
                "numerical limit)\n",
                {k, last_linf, kNewtonStallGradientTolerance});
    return Verdict::Converged;
  }
  diag::trace(Switch::Profile,
              "[PROFILE]   Gradient {:.6} still too large (tolerance={:.6}), stopping\n",
              {last_linf, kNewtonStallGradientTolerance});
  return Verdict::GaveUp;
}

Result<Vector> NewtonSearch::run(SearchOutcome* outcome) {
  if (outcome) *outcome = SearchOutcome::Converged;
  for (std::size_t k = 1; k <= kNewtonMaxIterations; ++k) {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    const Vector lambda = exp_all(rho_);
    const auto score = f_.score(lambda.span());
    if (!score) return std::unexpected(score.error());
    if (!std::isfinite(*score)) {
      if (outcome) *outcome = SearchOutcome::UndefinedScore;
      return lambda;
    }
    auto verdict = iterate(k, lambda, *score);
    if (!verdict) return std::unexpected(verdict.error());
    if (*verdict == Verdict::Converged) return lambda;
    if (*verdict == Verdict::GaveUp) break;
    previous_ = *score;
    completed_ = k;
  }
  // Out of iterations, or stopped on a gradient still too large: the values are kept, but
  // the caller learns that they are not a converged optimum.
  if (outcome) *outcome = SearchOutcome::IterationCap;
  diag::trace(Switch::Profile, "[PROFILE] Reached max iterations ({}) without convergence\n",
              {kNewtonMaxIterations});
  return exp_all(rho_);
}

}  // namespace

Result<Vector> newton_search(NewtonObjective& f, const Vector& initial, SearchOutcome* outcome) {
  return NewtonSearch(f, initial).run(outcome);
}

Status optimize_reml_newton(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                            std::span<const Matrix> penalties, std::size_t m,
                            const NewtonOptions& options) {
  penalties = penalties.first(m);
  diag::Timer timer;
  std::vector<Matrix> sqrt_penalties;
  sqrt_penalties.reserve(m);
  for (const Matrix& s : penalties) {
    auto l = penalty_sqrt(s);
    if (!l) return std::unexpected(l.error());
    sqrt_penalties.push_back(std::move(*l));
  }
  diag::trace(Switch::Profile, "[PROFILE] Pre-computed sqrt_penalties: {:.2}ms\n",
              {timer.elapsed_ms()});

  // The one O(n p^2) pass of the search (none when the caller holds the products): every
  // score, gradient and Hessian below works from these while the weights stay fixed.
  timer.restart();
  const std::size_t p = x.cols;
  if (options.cache && (options.cache->xtwx.rows() != p || options.cache->xtwx.cols() != p ||
                        options.cache->xtwy.size() != p))
    return std::unexpected(GamError::dimension_mismatch(
        diag::format("Cached cross products are {}x{} and {} but X has {} columns",
                     {options.cache->xtwx.rows(), options.cache->xtwx.cols(),
                      options.cache->xtwy.size(), p})));
  // Formed here, X'WX and X'Wy come from one pass over the design (the values of
  // make_reml_cache up to rounding).
  RemlCache own;
  if (!options.cache) {
    CrossProducts products = compute_xtwx_xtwy(x, w, y);
    double ywy = 0.0;
    for (std::size_t i = 0; i < y.size; ++i) ywy += w[i] * y[i] * y[i];
    own = RemlCache{std::move(products.xtwx), std::move(products.xtwy), ywy};
  }
  const RemlCache& cache = options.cache ? *options.cache : own;
  diag::trace(Switch::Profile, "[PROFILE] Pre-computed X'WX and X'Wy: {:.2}ms\n",
              {timer.elapsed_ms()});

  NewtonOptions used = options;
  if (!options.cache) used.memo = nullptr;  // a memo belongs to the caller's products
  RemlObjective objective(y, x, w, penalties, sqrt_penalties, cache, used);
  SearchOutcome outcome = SearchOutcome::Converged;
  auto lambda = newton_search(objective, state.lambda, &outcome);
  if (!lambda) return std::unexpected(lambda.error());
  state.lambda = std::move(*lambda);
  state.outcome = outcome;
  return {};
}

Result<RemlDerivatives> reml_derivatives_cached(VectorView y, MatrixView x, VectorView w,
                                                const RemlCache& cache,
                                                std::span<const double> lambdas,
                                                std::span<const Matrix> penalties,
                                                std::span<const Matrix> sqrt_penalties) {
  ResidualSums sums(y, x, w, cache.xtwx, cache.xtwy, cache.ywy);
  return reml_derivatives_cached(y, x, w, cache, lambdas, penalties, sqrt_penalties, sums);
}

// y and w reach this overload through `sums`.
Result<RemlDerivatives> reml_derivatives_cached(VectorView /*y*/, MatrixView x, VectorView /*w*/,
                                                const RemlCache& cache,
                                                std::span<const double> lambdas,
                                                std::span<const Matrix> penalties,
                                                std::span<const Matrix> sqrt_penalties,
                                                ResidualSums& sums) {
  const std::size_t m = lambdas.size();
  if (penalties.size() < m || sqrt_penalties.size() < m)
    return std::unexpected(GamError::dimension_mismatch(
        "Number of penalties and square roots must match number of lambdas"));
  RemlDerivatives out{Vector(m), Matrix(m, m)};
  if (m == 0) return out;

  // The criterion's A + delta I, inverted once; beta and every derivative solve refined
  // through it (reml/derivatives.h), so these are the derivatives of that very score.
  Matrix a = cache.xtwx;
  for (std::size_t j = 0; j < m; ++j) a.add_scaled(penalties[j], lambdas[j]);
  auto system = RidgedSolver::from_matrix(std::move(a), normal_matrix_ridge(cache.xtwx, m));
  if (!system) return std::unexpected(system.error());
  auto beta = system->solve(cache.xtwy);
  if (!beta) return std::unexpected(beta.error());
  // RSS and X'W r from the cross products relative to the anchor of `sums` when the
  // cancellation is small enough (the cached criterion's test), else from one pass.
  const ResidualProducts residuals = sums.at(*beta);
  auto first = reml_first_order(*system, lambdas, penalties.first(m), sqrt_penalties.first(m),
                                std::move(*beta), residuals, x.rows);
  if (!first) return std::unexpected(first.error());
  auto h = reml_second_order(*first, *system, cache.xtwx, lambdas, penalties.first(m),
                             /*trace=*/false);
  if (!h) return std::unexpected(h.error());
  out.gradient = std::move(first->gradient);
  out.hessian = std::move(*h);
  return out;
}

}  // namespace velkan
