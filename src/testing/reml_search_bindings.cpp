// Test access to the REML criterion and its derivatives, and to the smoothing-parameter
// searches. Where a core function leaves a shape check to its caller, the binding makes it.
#include <bit>
#include <cstdint>

#include "testing/binding.h"
#include "velkan_core/reml/augmented.h"
#include "velkan_core/reml/blockwise_qr.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/reml/gradient.h"
#include "velkan_core/reml/penalty_sqrt.h"
#include "velkan_core/reml/residual_sums.h"
#include "velkan_core/search/fellner_schall.h"
#include "velkan_core/search/gcv.h"
#include "velkan_core/search/newton.h"
#include "velkan_core/search/newton_pirls.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan::testing {
namespace {

using Matrices = std::vector<Matrix>;

Status same_rows(VectorView y, MatrixView x, VectorView w) {
  if (y.size != x.rows || w.size != x.rows)
    return fail(GamError::dimension_mismatch("y, X and w must have the same number of rows"));
  return {};
}

// 1 when `evaluate` read the data, 0 otherwise. The evaluator shares `anchor`, which
// moves to the evaluated coefficients and their fresh sums exactly when a pass is made.
template <class F>
std::size_t counting_passes(const ResidualAnchor& anchor, F evaluate) {
  const ResidualAnchor before = anchor;
  evaluate();
  const bool moved = anchor.valid != before.valid || anchor.beta != before.beta ||
                     std::bit_cast<std::uint64_t>(anchor.sums.rss) !=
                         std::bit_cast<std::uint64_t>(before.sums.rss);
  return moved ? 1 : 0;
}

// search_optimize(y, x, w, penalties, lambda0, method="REML", algorithm="Newton",
//                 direct=False) -> (lambda, error or None).
// Through optimize unless `direct` is asked for, which runs the chosen search on lambda0
// as given (after the same checks, without the reset to ones).
std::tuple<Vector, std::optional<std::string>> search_optimize(
    VectorView y, MatrixView x, VectorView w, Matrices pens, Vector lambda0,
    std::optional<std::string> method, std::optional<std::string> algorithm,
    std::optional<bool> direct) {
  SmoothingParameter state;
  state.lambda = std::move(lambda0);
  const std::size_t m = pens.size();
  if (method.value_or("REML") == "GCV") state.method = SelectionMethod::GCV;
  if (algorithm.value_or("Newton") == "FellnerSchall") state.reml_algorithm = REMLAlgorithm::FellnerSchall;
  Status status;
  if (!direct.value_or(false)) {
    status = optimize(state, y, x, w, pens, m);
  } else {
    status = check_search_inputs(y, x, w, pens, m);
    if (status && m != state.lambda.size())
      status = fail(GamError::dimension_mismatch("one lambda per penalty"));
    if (!status) {
    } else if (state.method == SelectionMethod::GCV) {
      status = optimize_gcv(state, y, x, w, pens, m);
    } else if (state.reml_algorithm == REMLAlgorithm::FellnerSchall) {
      status = optimize_reml_fellner_schall(state, y, x, w, pens, m);
    } else {
      status = optimize_reml_newton(state, y, x, w, pens, m);
    }
  }
  std::optional<std::string> error;
  if (!status) error = status.error().display();
  return {std::move(state.lambda), error};
}

void define() {
  def("reml_penalty_sqrt", [](MatrixView s) { return penalty_sqrt(s); });
  def("reml_compute_r_blockwise", [](MatrixView x, VectorView w, std::vector<double> lambdas,
                                     Matrices sqrts) { return compute_r_blockwise(x, w, lambdas, sqrts); });
  // R of the augmented matrix (no ridge), printing its diagnostic lines.
  def("reml_augmented_triangle", [](MatrixView x, VectorView w, std::vector<double> lambdas,
                                    Matrices sqrts) -> LinalgResult<Matrix> {
    if (w.size != x.rows) return std::unexpected(LinalgFailure::invalid_shape());
    for (const Matrix& l : sqrts)
      if (l.rows() != x.cols) return std::unexpected(LinalgFailure::invalid_shape());
    return augmented_triangle(x, w, lambdas, sqrts, /*trace=*/true);
  });
  def("reml_gradient_multi_qr", [](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                                   Matrices pens, std::optional<Matrices> sqrts) {
    return reml_gradient_multi_qr(y, x, w, lambdas, pens, sqrts.value_or(Matrices{}));
  });
  def("reml_gradient_blockwise", [](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                                    Matrices pens, std::optional<Matrices> sqrts,
                                    std::optional<Matrix> xtwx, std::optional<Vector> xtwy) {
    return reml_gradient_blockwise(y, x, w, lambdas, pens, sqrts.value_or(Matrices{}),
                                   xtwx ? &*xtwx : nullptr, xtwy ? &*xtwy : nullptr);
  });
  def("fit_reml_criterion", [](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                               Matrices pens) { return reml_criterion(y, x, w, lambdas, pens); });
  def("fit_make_reml_cache", [](VectorView y, MatrixView x, VectorView w)
                                 -> Result<std::tuple<Matrix, Vector, double>> {
    if (auto ok = same_rows(y, x, w); !ok) return fail(ok.error());
    RemlCache c = make_reml_cache(y, x, w);
    return std::tuple{std::move(c.xtwx), std::move(c.xtwy), c.ywy};
  });
  // ywy NaN: the cache holds no y'Wy.
  def("fit_reml_criterion_cached", [](VectorView y, MatrixView x, VectorView w, Matrix xtwx, Vector xtwy,
                                      double ywy, std::vector<double> lambdas, Matrices pens) {
    return reml_criterion_cached(y, x, w, RemlCache{std::move(xtwx), std::move(xtwy), ywy}, lambdas, pens);
  });
  // ([(RSS, X'W r) per row of betas], data passes) of one evaluator anchored on the cache
  // of (y, x, w).
  def("reml_residual_sums", [](VectorView y, MatrixView x, VectorView w, MatrixView betas)
                                -> Result<std::tuple<std::vector<std::tuple<double, Vector>>, std::size_t>> {
    if (auto ok = same_rows(y, x, w); !ok) return fail(ok.error());
    if (betas.cols != x.cols) return fail(GamError::dimension_mismatch("betas"));
    const RemlCache cache = make_reml_cache(y, x, w);
    ResidualAnchor anchor;
    ResidualSums sums(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, &anchor);
    std::vector<std::tuple<double, Vector>> out;
    std::size_t passes = 0;
    for (std::size_t i = 0; i < betas.rows; ++i) {
      passes += counting_passes(anchor, [&] {
        ResidualProducts r = sums.at(Vector::from(betas.row(i)));
        out.emplace_back(r.rss, std::move(r.xtwr));
      });
    }
    return std::tuple{std::move(out), passes};
  });
  // ([score per row of lambda_sets], data passes): the scores of a search's trials, all
  // through one evaluator anchored on the cache.
  def("reml_criterion_anchored", [](VectorView y, MatrixView x, VectorView w, MatrixView lambda_sets,
                                    Matrices pens) -> Result<std::tuple<std::vector<double>, std::size_t>> {
    if (auto ok = same_rows(y, x, w); !ok) return fail(ok.error());
    const RemlCache cache = make_reml_cache(y, x, w);
    ResidualAnchor anchor;
    ResidualSums sums(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, &anchor);
    std::vector<double> scores;
    std::size_t passes = 0;
    for (std::size_t i = 0; i < lambda_sets.rows; ++i) {
      const Vector lambdas = Vector::from(lambda_sets.row(i));
      Result<double> s;
      passes += counting_passes(
          anchor, [&] { s = reml_criterion_cached(y, x, w, cache, lambdas.span(), pens, sums); });
      if (!s) return fail(s.error());
      scores.push_back(*s);
    }
    return std::tuple{std::move(scores), passes};
  });

  def("search_optimize", search_optimize);
  def("search_gcv_score", [](VectorView y, MatrixView x, VectorView w, MatrixView s, double lambda)
                              -> Result<double> {
    if (auto ok = same_rows(y, x, w); !ok) return fail(ok.error());
    if (s.rows != x.cols || s.cols != x.cols) return fail(GamError::dimension_mismatch("s"));
    return gcv_score(y, x, w, s, lambda);
  });
  def("search_cached_derivatives", [](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                                      Matrices pens) -> Result<std::tuple<Vector, Matrix>> {
    if (lambdas.size() != pens.size()) return fail(GamError::dimension_mismatch("one lambda per penalty"));
    if (auto ok = check_search_inputs(y, x, w, pens, lambdas.size()); !ok) return fail(ok.error());
    auto roots = penalty_sqrts(pens);
    if (!roots) return fail(roots.error());
    auto r = reml_derivatives_cached(y, x, w, make_reml_cache(y, x, w), lambdas, pens, *roots);
    if (!r) return fail(r.error());
    return std::tuple{std::move(r->gradient), std::move(r->hessian)};
  });
  // search_optimize_reused(y, x, w, penalties, calls) -> ([lambda per call], [remembered
  // scores after each call]): REML searches through optimize sharing one cache and memo.
  def("search_optimize_reused", [](VectorView y, MatrixView x, VectorView w, Matrices pens,
                                   std::size_t calls)
                                    -> Result<std::tuple<std::vector<Vector>, std::vector<std::size_t>>> {
    if (auto ok = same_rows(y, x, w); !ok) return fail(ok.error());
    const RemlCache cache = make_reml_cache(y, x, w);
    RemlSearchMemo memo;
    std::vector<Vector> lambdas;
    std::vector<std::size_t> remembered;
    for (std::size_t c = 0; c < calls; ++c) {
      SmoothingParameter state;
      state.lambda = Vector(pens.size(), 1.0);
      if (auto ok = optimize(state, y, x, w, pens, pens.size(), SearchReuse{&cache, &memo}); !ok)
        return fail(ok.error());
      lambdas.push_back(std::move(state.lambda));
      remembered.push_back(memo.scores.size());
    }
    return std::tuple{std::move(lambdas), std::move(remembered)};
  });
  // search_newton_pirls(y, x, w, init, penalties, max_iter, grad_tol, min_step, step_shrink,
  //   max_line_search, verbose) -> (log_lambda, lambda, reml, iterations, grad_norm, converged, message)
  def("search_newton_pirls", [](VectorView y, MatrixView x, VectorView w, VectorView init, Matrices pens,
                                std::size_t max_iter, double grad_tol, double min_step, double shrink,
                                std::size_t max_line_search, bool verbose)
                                 -> Result<std::tuple<Vector, Vector, double, std::size_t, double, bool,
                                                      std::string>> {
    NewtonPirlsOptions o{max_iter, grad_tol, min_step, shrink, max_line_search, verbose};
    auto r = newton_pirls(y, x, w, init, pens, o);
    if (!r) return fail(r.error());
    return std::tuple{std::move(r->log_lambda), std::move(r->lambda), r->reml, r->iterations,
                      r->grad_norm, r->converged, std::move(r->message)};
  });
  def("search_newton_direction", [](MatrixView h, VectorView g) { return newton_direction(h, g); });
}

Definitions defs{define};

}  // namespace
}  // namespace velkan::testing
