#include "velkan_core/fit/gam_fit.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "diag/clock.h"
#include "diag/format.h"
#include "diag/sink.h"
#include "velkan_core/fit/design.h"
#include "velkan_core/fit/family.h"
#include "velkan_core/fit/pirls.h"
#include "velkan_core/fit/problem_size.h"
#include "linalg/products.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/search/gcv.h"
#include "velkan_core/search/newton.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan {

namespace {

using diag::Switch;

std::string str(std::size_t v) { return std::to_string(v); }

// The columns of x a model reads: all of them for automatic and manual models, the
// columns its terms name for formula models.
std::vector<std::size_t> used_columns(const GamModel& model, std::size_t d) {
  std::vector<std::size_t> cols;
  if (!model.formula_model) {
    for (std::size_t j = 0; j < d; ++j) cols.push_back(j);
    return cols;
  }
  for (const SmoothTerm& t : model.smooth_terms) cols.push_back(t.column);
  std::sort(cols.begin(), cols.end());
  cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
  return cols;
}

// The model's columns must exist in x: one per smooth for automatic and manual models,
// every term's own column for formula models.
Result<void> check_columns(const GamModel& model, MatrixView x) {
  const std::size_t m = model.smooth_terms.size();
  if (!model.formula_model) {
    if (x.cols != m)
      return fail(GamError::dimension_mismatch("X has " + str(x.cols) + " columns but model has " +
                                               str(m) + " smooth terms"));
    return {};
  }
  for (const SmoothTerm& t : model.smooth_terms)
    if (t.column >= x.cols)
      return fail(GamError::dimension_mismatch("X has " + str(x.cols) + " columns but smooth '" +
                                               t.name + "' uses column " + str(t.column)));
  return {};
}

bool all_ones(const Vector& v) {
  return std::all_of(v.begin(), v.end(), [](double e) { return e == 1.0; });
}

bool all_finite(VectorView v) {
  for (std::size_t i = 0; i < v.size; ++i)
    if (!std::isfinite(v[i])) return false;
  return true;
}

// Largest |ln lambda_i - ln lambda_old_i|; 0 without smooths.
double log_change(const Vector& lambda, const Vector& old) {
  double change = 0.0;
  for (std::size_t i = 0; i < lambda.size(); ++i) {
    const double c = std::abs(std::log(lambda[i]) - std::log(old[i]));
    // A NaN change never counts as settled, whatever the other smooths did.
    if (std::isnan(c)) return c;
    change = std::max(change, c);
  }
  return change;
}

// The cached path's start value: SSy * F1 / (Q + 1e-10) clamped to [1e-6, 1e6], with SSy
// the response's sum of squares about its mean, F1 the Frobenius norm of the first scaled
// penalty and Q the sum of squares of the raw inputs. NaN goes to the lower clamp.
double start_lambda(VectorView y, MatrixView x, const Matrix& first_penalty) {
  const std::size_t n = y.size;
  double mean = 0.0;
  for (std::size_t i = 0; i < n; ++i) mean += y[i];
  mean /= static_cast<double>(n);
  double ssy = 0.0;
  for (std::size_t i = 0; i < n; ++i) ssy += (y[i] - mean) * (y[i] - mean);
  double f1 = 0.0;
  for (std::size_t k = 0; k < first_penalty.size(); ++k)
    f1 += first_penalty.data()[k] * first_penalty.data()[k];
  f1 = std::sqrt(f1);
  double q = 0.0;
  for (std::size_t i = 0; i < x.rows; ++i)
    for (std::size_t j = 0; j < x.cols; ++j) q += x(i, j) * x(i, j);
  const double value = ssy * f1 / (q + 1e-10);
  if (std::isnan(value)) return kStartLambdaMin;
  return std::clamp(value, kStartLambdaMin, kStartLambdaMax);
}

// The GCV search refuses models with several smooths. That refusal is a limit of the
// method, not a numerical failure, so it reaches the user as its bare message; every
// other search error keeps its display text.
std::unexpected<ModelError> search_failure(const GamError& e) {
  if (e.kind() == GamErrorKind::NotImplemented && e.message() == kGcvMultipleSmoothsMessage)
    return fail_usage(e.message());
  return fail_model(e);
}

// The first response outside the family's support, as a UsageError naming the family and
// the value: binomial responses are proportions in [0, 1], poisson responses counts (not
// negative), gamma responses positive. Outside them the deviance and the working response
// have no meaning, and the fit would return numbers for a model that does not exist.
ModelResult<void> check_support(Family family, VectorView y) {
  const char* rule = nullptr;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double v = y[i];
    switch (family) {
      case Family::Gaussian: return {};
      case Family::Binomial:
        if (v < 0.0 || v > 1.0) rule = "must lie in [0, 1]";
        break;
      case Family::Poisson:
        if (v < 0.0) rule = "must not be negative";
        break;
      case Family::Gamma:
        if (v <= 0.0) rule = "must be positive";
        break;
    }
    if (rule)
      return fail_usage(diag::format("y[{}] = {} is outside the {} family's support: responses {}",
                                     {i, v, family_name(family), rule}));
  }
  return {};
}

// The checks of fit_gam(), in the order its header lists them; the selection method on
// success.
ModelResult<SelectionMethod> check_fit(const GamModel& model, MatrixView x, VectorView y,
                                       std::string_view method) {
  const auto selection = parse_selection_method(method);
  if (!selection) return fail_usage("method must be 'GCV' or 'REML'");
  if (x.rows != y.size)
    return fail_model(GamError::dimension_mismatch("X has " + str(x.rows) + " rows but y has " +
                                                   str(y.size) + " elements"));
  if (auto ok = check_columns(model, x); !ok) return fail_model(ok.error());
  std::size_t p = 0;
  for (const SmoothTerm& t : model.smooth_terms) p += t.width();
  // Before the passes over the data: a request the machine cannot hold fails at once.
  if (auto ok = check_problem_size(x.rows, p, model.smooth_terms.size()); !ok)
    return fail_model(ok.error());
  if (y.size == 0) return fail_usage("y is empty: a model needs at least one observation");
  // Fewer observations than coefficients leave the smoothing parameters without any
  // information (the fit interpolates at every lambda): no estimate exists to return.
  if (y.size < p)
    return fail_usage(diag::format(
        "n ({}) is smaller than the number of coefficients ({}): reduce k or add observations",
        {y.size, p}));
  if (!all_finite(y)) return fail_usage("y contains NaN or infinite values");
  if (auto ok = check_support(model.family, y); !ok) return std::unexpected(ok.error());
  for (std::size_t j : used_columns(model, x.cols))
    if (!all_finite(x.col(j))) return fail_usage("x contains NaN or infinite values");
  return *selection;
}

// Everything a fit builds once, before its loop: what does not depend on the smoothing
// parameters.
struct FitData {
  ModelDesign design;
  std::vector<Matrix> penalties;
  // Gaussian working weights are exactly 1 whatever the coefficients, so X'X and X'y are
  // the same for every PiRLS solve and every search of the fit: formed once, in one pass.
  std::optional<CrossProducts> unit_products;
  std::optional<RemlCache> unit_cache;

  PirlsOptions pirls_options() const {
    PirlsOptions options;
    if (unit_products) {
      options.unit_weight_products = &*unit_products;
      options.residual_sums = true;
    }
    return options;
  }
};

// The design, the scaled penalties (timed on the cached path) and the unit-weight products.
Result<FitData> build_fit_data(std::span<const SmoothTerm> terms, MatrixView x, VectorView y,
                               Family family, bool cached) {
  diag::Timer total_timer;
  diag::Timer phase_timer;
  auto design = build_design(terms, x);
  if (!design) return fail(design.error());
  if (cached)
    diag::trace(Switch::Profile, "[PROFILE] Basis evaluation: {:.2}ms\n", {phase_timer.elapsed_ms()});
  phase_timer.restart();
  FitData data{std::move(*design), {}, {}, {}};
  data.penalties = scaled_penalties(terms, data.design);
  if (cached) {
    diag::trace(Switch::Profile, "[PROFILE] Penalty computation: {:.2}ms\n", {phase_timer.elapsed_ms()});
    diag::trace(Switch::Profile, "[PROFILE] Total cache build: {:.2}ms\n", {total_timer.elapsed_ms()});
  }
  if (family == Family::Gaussian) {
    data.unit_products = compute_xtx_xty(data.design.x, y);
    double yty = 0.0;
    for (std::size_t i = 0; i < y.size; ++i) yty += y[i] * y[i];
    data.unit_cache = RemlCache{data.unit_products->xtwx, data.unit_products->xtwy, yty};
  }
  return data;
}

// The search state at the start of a fit: the plain path starts every smoothing parameter
// at kPlainStartLambda, the cached path at its data-driven start value.
SmoothingParameter initial_state(SelectionMethod method, std::size_t m, bool cached,
                                 VectorView y, MatrixView x, const FitData& data) {
  SmoothingParameter state;
  state.method = method;
  state.reml_algorithm = REMLAlgorithm::Newton;
  state.lambda = Vector(m, kPlainStartLambda);
  if (cached && m > 0) {
    const double lambda0 = start_lambda(y, x, data.penalties.front());
    for (double& l : state.lambda) l = lambda0;
  }
  return state;
}

// What the outer loop leaves: its latest PiRLS fit with the smoothing parameters that fit
// was made with, and the time spent in PiRLS and in the searches.
struct OuterLoop {
  std::optional<PirlsResult> last_fit;
  Vector last_lambda;
  double pirls_ms = 0.0;
  double search_ms = 0.0;
};

// Alternates PiRLS at fixed smoothing parameters with one search given its working
// weights, until the log smoothing parameters stop moving or after `iterations` rounds.
ModelResult<OuterLoop> outer_loop(SmoothingParameter& state, const FitData& data, VectorView y,
                                  Family family, std::size_t iterations, bool cached) {
  const Matrix& X = data.design.x;
  const PirlsOptions pirls_options = data.pirls_options();
  const std::size_t m = state.lambda.size();
  RemlSearchMemo memo;
  OuterLoop out;
  for (std::size_t it = 1; it <= iterations; ++it) {
    if (auto ok = poll_interrupt(); !ok) return fail_model(ok.error());
    diag::Timer t;
    auto fit = pirls(y, X, state.lambda.span(), data.penalties, family, pirls_options);
    out.pirls_ms += t.elapsed_ms();
    if (!fit) return fail_model(fit.error());
    const Vector lambda_old = state.lambda;
    t.restart();
    // The cached products are X'WX for unit weights only: checked, not assumed. With
    // them every search sees the same data, and what one learnt serves the next.
    SearchReuse reuse;
    if (data.unit_cache && all_ones(fit->weights)) {
      reuse = SearchReuse{&*data.unit_cache, &memo};
      // The residual sums PiRLS formed with its X beta anchor the search's own, so that
      // its first derivatives need no pass over the data.
      if (!memo.anchor.valid && fit->residual_sums)
        memo.anchor = ResidualAnchor{true, fit->coefficients, *fit->residual_sums};
    }
    auto searched = optimize(state, y, X, fit->weights, data.penalties, m, reuse);
    out.search_ms += t.elapsed_ms();
    if (!searched) return search_failure(searched.error());
    out.last_fit = std::move(*fit);
    out.last_lambda = lambda_old;
    const double tolerance =
        cached && it >= kRelaxFromIteration ? kRelaxedOuterTolerance : kOuterTolerance;
    if (log_change(state.lambda, lambda_old) < tolerance) break;
  }
  return out;
}

// One sentence per part of the fit that stopped without converging.
std::vector<std::string> convergence_notes(const PirlsResult& fit, SearchOutcome outcome) {
  std::vector<std::string> notes;
  if (!fit.converged)
    notes.push_back(diag::format(
        "penalized IRLS did not converge in {} iterations; the results are those of its last "
        "iteration",
        {fit.iterations}));
  if (outcome == SearchOutcome::IterationCap)
    notes.push_back(diag::format(
        "the smoothing-parameter search stopped after {} iterations without converging; the "
        "smoothing parameters are its last values",
        {kNewtonMaxIterations}));
  if (outcome == SearchOutcome::UndefinedScore)
    notes.push_back(
        "the REML score is undefined here (the working response is fitted exactly, so its "
        "scale is zero): the smoothing parameters are not determined by the data and keep "
        "the values the search had reached");
  return notes;
}

// The plain residual sum of squares, the stored deviance whatever the family.
double response_rss(VectorView y, const Vector& fitted) {
  double rss = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double r = y[i] - fitted[i];
    rss += r * r;
  }
  return rss;
}

}  // namespace

ModelResult<void> fit_gam(GamModel& model, MatrixView x, VectorView y, std::string_view method,
                          std::optional<std::size_t> max_iter, FitPath path) {
  const auto selection = check_fit(model, x, y, method);
  if (!selection) return std::unexpected(selection.error());
  const bool cached = path == FitPath::Cached;
  const std::span<const SmoothTerm> terms(model.smooth_terms);
  auto data = build_fit_data(terms, x, y, model.family, cached);
  if (!data) return fail_model(data.error());
  SmoothingParameter state = initial_state(*selection, terms.size(), cached, y, x, *data);
  auto loop = outer_loop(state, *data, y, model.family,
                         max_iter.value_or(kDefaultOuterIterations), cached);
  if (!loop) return std::unexpected(loop.error());

  // PiRLS is a deterministic function of the smoothing parameters: when the search
  // returned exactly the values the loop's last fit was made with (a gaussian fit's second
  // search repeats its first), the final fit is that fit.
  diag::Timer t;
  Result<PirlsResult> fit = loop->last_fit && loop->last_lambda == state.lambda
                                ? Result<PirlsResult>(std::move(*loop->last_fit))
                                : pirls(y, data->design.x, state.lambda.span(), data->penalties,
                                        model.family, data->pirls_options());
  loop->pirls_ms += t.elapsed_ms();
  if (!fit) return fail_model(fit.error());
  if (cached) {
    diag::trace(Switch::Profile, "[PROFILE] PiRLS iterations: {:.2}ms\n", {loop->pirls_ms});
    diag::trace(Switch::Profile, "[PROFILE] REML optimization: {:.2}ms\n", {loop->search_ms});
  }
  const double rss = response_rss(y, fit->fitted_values);
  // An interrupt that arrived during the last pass (or under the last diagnostic line)
  // still stops the fit here, before anything is stored.
  if (auto ok = poll_interrupt(); !ok) return fail_model(ok.error());

  // Every result field is replaced together, only now that nothing can fail.
  model.convergence_notes = convergence_notes(*fit, state.outcome);
  model.coefficients = std::move(fit->coefficients);
  model.fitted_values = std::move(fit->fitted_values);
  model.linear_predictor = std::move(fit->linear_predictor);
  model.weights = std::move(fit->weights);
  model.design_matrix = std::move(data->design.x);
  model.deviance = rss;
  model.lambdas = std::move(state.lambda);
  model.selection_method = state.method;
  model.fitted_terms_version = model.terms_version;
  model.fitted_columns = x.cols;
  model.fitted = true;
  return {};
}

Result<Vector> predict_gam(const GamModel& model, MatrixView x) {
  if (!model.fitted || !model.coefficients)
    return fail(GamError::invalid_parameter("Model has not been fitted yet"));
  if (model.formula_model && x.cols != model.fitted_columns)
    return fail(GamError::dimension_mismatch("X has " + str(x.cols) +
                                             " columns but the model was fitted on " +
                                             str(model.fitted_columns) + " columns"));
  if (auto ok = check_columns(model, x); !ok) return fail(ok.error());
  // Coefficients belong to the smooths they were fitted with; a later (failed) setup may
  // have replaced the smooths, and evaluating new bases against old coefficients would be
  // a silently wrong answer.
  if (model.fitted_terms_version != model.terms_version)
    return fail(GamError::dimension_mismatch(
        "the smooth terms changed since the model was fitted; fit the model again"));
  if (auto ok = check_design_size(x.rows, model.coefficients->size()); !ok)
    return fail(ok.error());
  auto design = build_design(model.smooth_terms, x);
  if (!design) return fail(design.error());
  if (design->x.cols() != model.coefficients->size())
    return fail(GamError::dimension_mismatch(
        "design matrix has " + str(design->x.cols()) + " columns but the model has " +
        str(model.coefficients->size()) + " coefficients"));
  Vector mu = matvec(design->x, *model.coefficients);
  for (double& v : mu) v = linkinv(model.family, v);
  return mu;
}

}  // namespace velkan
