#include "velkan_core/search/newton_pirls.h"

#include <cmath>
#include <initializer_list>

#include "common/interrupt.h"
#include "diag/format.h"
#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/reml/gradient.h"
#include "velkan_core/reml/hessian.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan {

namespace {

// Narration goes out only when the caller asked for it.
class Narrator {
 public:
  explicit Narrator(bool on) : on_(on) {}
  void operator()(std::string_view tmpl, std::initializer_list<diag::FormatArg> args = {}) const {
    if (on_) diag::write(diag::format(tmpl, args));
  }

 private:
  bool on_;
};

Vector exp_all(const Vector& rho) {
  Vector out(rho.size());
  for (std::size_t i = 0; i < rho.size(); ++i) out[i] = std::exp(rho[i]);
  return out;
}

// The score at exp(rho) from the cached cross products: the weights never change during
// this search, so no trial repeats the O(n p^2) pass.
class Scorer {
 public:
  Scorer(VectorView y, MatrixView x, VectorView w, std::span<const Matrix> penalties)
      : y_(y), x_(x), w_(w), penalties_(penalties), cache_(make_reml_cache(y, x, w)) {}
  Result<double> operator()(const Vector& rho) const {
    const Vector lambda = exp_all(rho);
    return reml_criterion_cached(y_, x_, w_, cache_, lambda.span(), penalties_);
  }

 private:
  VectorView y_;
  MatrixView x_;
  VectorView w_;
  std::span<const Matrix> penalties_;
  RemlCache cache_;
};

// Step-halving along d from rho: returns the first step that lowers the score, or, when
// none does, the step after the last halving (never tried). A failed trial counts as
// rejected; a failure at rho itself ends the search.
Result<double> line_search(const Scorer& score, const Vector& rho, const Vector& d,
                           const NewtonPirlsOptions& opt, const Narrator& say) {
  const auto f0_r = score(rho);
  if (!f0_r) return std::unexpected(f0_r.error());
  const double f0 = *f0_r;
  say("  Line search: REML_current = {:.6}\n", {f0});
  double t = 1.0;
  Vector trial(rho.size());
  for (std::size_t k = 0; k < opt.max_line_search; ++k) {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    for (std::size_t i = 0; i < rho.size(); ++i) trial[i] = rho[i] + t * d[i];
    const auto f = score(trial);
    if (f) {
      if (k < 5) say("    step={:.3e}: REML={:.6}, Δ={:.3e}\n", {t, *f, *f - f0});
      // A non-finite score (a system the ridge no longer keeps regular) is no decrease.
      if (std::isfinite(*f) && *f < f0) {
        say("  Accepted step: {:.6e}\n", {t});
        return t;
      }
    } else if (k < 5) {
      const std::string reason = f.error().display();
      say("    step={:.3e}: FAILED ({})\n", {t, reason});
    }
    t *= opt.step_shrink;
    if (t < opt.min_step) break;
  }
  say("  Line search failed, returning step={:.6e}\n", {t});
  return t;
}

// The gradient at lambda with its Euclidean norm and its largest magnitude.
struct GradientAt {
  Vector g;
  double norm = 0.0;
  double max_abs = 0.0;
};

Result<GradientAt> gradient_at(VectorView y, MatrixView x, VectorView w, const Vector& lambda,
                               std::span<const Matrix> penalties) {
  const std::size_t m = lambda.size();
  auto g = reml_gradient_multi_qr(y, x, w, lambda.span(), penalties);
  if (!g) return std::unexpected(g.error());
  if (g->size() != m)
    return std::unexpected(GamError::dimension_mismatch(diag::format(
        "Gradient has {} entries for {} smoothing parameters", {g->size(), m})));
  double sum_sq = 0.0, gmax = 0.0;
  for (double v : *g) {
    sum_sq += v * v;
    // NaN entries show as NaN rather than being skipped by the maximum.
    const double a = std::fabs(v);
    if (!std::isnan(gmax) && (std::isnan(a) || a > gmax)) gmax = a;
  }
  return GradientAt{std::move(*g), std::sqrt(sum_sq), gmax};
}

// The Newton direction -H^-1 g at lambda, or -g when that does not descend: an indefinite
// Hessian can point uphill; the negative gradient never does.
Result<Vector> search_direction(VectorView y, MatrixView x, VectorView w, const Vector& lambda,
                                std::span<const Matrix> penalties, const Vector& g,
                                const Narrator& say) {
  auto h = reml_hessian_multi_qr(y, x, w, lambda.span(), penalties);
  if (!h) return std::unexpected(h.error());
  auto d = newton_direction(*h, g);
  if (!d) return std::unexpected(d.error());
  const std::size_t m = g.size();
  double slope = 0.0;
  for (std::size_t i = 0; i < m; ++i) slope += g[i] * (*d)[i];
  say("  Descent check (g'·Δρ): {:.6e} (should be < 0)\n", {slope});
  if (slope > 0.0) {
    say("  WARNING: Not a descent direction, using steepest descent\n");
    for (std::size_t i = 0; i < m; ++i) (*d)[i] = -g[i];
  }
  return d;
}

// rho += t d, narrated.
void move_along(Vector& rho, double t, const Vector& d, const Narrator& say) {
  double step_sq = 0.0;
  for (std::size_t i = 0; i < rho.size(); ++i) {
    const double s = t * d[i];
    rho[i] += s;
    step_sq += s * s;
  }
  say("  Step norm: {:.6e}\n", {std::sqrt(step_sq)});
  say("  New ρ: {}\n", {rho.span()});
}

// The result at the final rho, with the score there.
Result<NewtonPirlsResult> final_result(const Scorer& score, Vector rho, std::string message,
                                       std::size_t iterations, double gnorm,
                                       const NewtonPirlsOptions& opt, const Narrator& say) {
  NewtonPirlsResult out;
  out.lambda = exp_all(rho);
  auto reml = score(rho);
  if (!reml) return std::unexpected(reml.error());
  say("\n{}\n", {message});
  say("Final ρ: {}\n", {rho.span()});
  say("Final λ: {}\n", {out.lambda.span()});
  say("Final REML: {:.6}\n", {*reml});
  say("Iterations: {}\n", {iterations});
  out.message = std::move(message);
  out.log_lambda = std::move(rho);
  out.reml = *reml;
  out.iterations = iterations;
  out.grad_norm = gnorm;
  out.converged = gnorm < opt.grad_tol;
  return out;
}

}  // namespace

Result<Vector> newton_direction(MatrixView hessian, VectorView gradient) {
  if (hessian.rows != hessian.cols || gradient.size != hessian.rows)
    return std::unexpected(GamError::dimension_mismatch(
        diag::format("Hessian is {}x{} but the gradient has {} entries",
                     {hessian.rows, hessian.cols, gradient.size})));
  auto lu = lu_factor(hessian);
  if (!lu)
    return std::unexpected(GamError::linalg_error(
        diag::format("LU factorization failed: {}", {lu.error().debug()})));
  Vector rhs(gradient.size);
  for (std::size_t i = 0; i < gradient.size; ++i) rhs[i] = -gradient[i];
  auto d = lu_solve(*lu, rhs);
  if (!d)
    return std::unexpected(GamError::linalg_error(
        diag::format("LU solve failed: {}", {d.error().debug()})));
  return std::move(*d);
}

Result<NewtonPirlsResult> newton_pirls(VectorView y, MatrixView x, VectorView w,
                                       VectorView initial_log_lambda,
                                       std::span<const Matrix> penalties,
                                       const NewtonPirlsOptions& opt) {
  const std::size_t m = initial_log_lambda.size;
  if (penalties.size() != m)
    return std::unexpected(GamError::dimension_mismatch(diag::format(
        "Number of penalties ({}) must match log_lambda ({})", {penalties.size(), m})));
  // The criterion and its derivatives index y, w and the penalties by the shape of x.
  if (auto ok = check_search_inputs(y, x, w, penalties, m); !ok) return std::unexpected(ok.error());

  const Narrator say(opt.verbose);
  const Scorer score(y, x, w, penalties);
  Vector rho = Vector::from(initial_log_lambda);
  std::size_t iteration = 0;
  double gnorm = 0.0;
  std::string message;
  say("Newton-PIRLS Optimization\n");
  say("========================\n");
  say("Initial ρ: {}\n", {rho.span()});
  say("Using line search\n");

  // The iteration number counts gradient evaluations: the loop stops on the gradient test
  // or the iteration cap before stepping, so max_iter iterations take max_iter - 1 steps.
  while (true) {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    ++iteration;
    const Vector lambda = exp_all(rho);
    auto grad = gradient_at(y, x, w, lambda, penalties);
    if (!grad) return std::unexpected(grad.error());
    gnorm = grad->norm;
    say("\nIteration {}: max|grad| = {:.6e}\n", {iteration, grad->max_abs});
    if (gnorm < opt.grad_tol) {
      message = diag::format("Converged: gradient norm {:.6e} < {:.6e}", {gnorm, opt.grad_tol});
      break;
    }
    if (iteration >= opt.max_iter) {
      message = diag::format("Max iterations ({}) reached", {opt.max_iter});
      break;
    }
    auto d = search_direction(y, x, w, lambda, penalties, grad->g, say);
    if (!d) return std::unexpected(d.error());
    // A search that finds no decrease still returns a (tiny) step: rho then moves by it,
    // and only a step below min_step ends the search.
    auto t = line_search(score, rho, *d, opt, say);
    if (!t) return std::unexpected(t.error());
    say("  Line search result: step = {:.6e}\n", {*t});
    if (*t < opt.min_step) {
      message = diag::format("Line search failed: step size {:.6e} < {:.6e}", {*t, opt.min_step});
      break;
    }
    move_along(rho, *t, *d, say);
  }
  return final_result(score, std::move(rho), std::move(message), iteration, gnorm, opt, say);
}

}  // namespace velkan
