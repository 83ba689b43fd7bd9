#include "engine/select/search.h"

#include <algorithm>
#include <cmath>
#include "diag/format.h"

#include "common/interrupt.h"
#include "linalg/factorizations.h"

namespace velkan::select {

namespace {

// Eigenvalues below this fraction of the largest magnitude are raised to it.
constexpr double kEigenFloor = 1e-7;
constexpr double kArmijo = 1e-4;
constexpr std::size_t kMaxHalvings = 30;
// Largest gradient component with which a failed line search still counts as convergence.
constexpr double kFlatGradient = 1e-2;

}  // namespace

const char* search_exit_name(SearchExit e) {
  switch (e) {
    case SearchExit::Converged: return "converged";
    case SearchExit::NoFreeParameters: return "no free parameters";
    case SearchExit::ExactFit: return "exact fit";
    case SearchExit::StepFailed: return "step failed";
    case SearchExit::IterationLimit: return "iteration limit";
    case SearchExit::NoResidualDf: return "no residual degrees of freedom";
  }
  return "?";
}

namespace {

// One search: its problem, options and state, with the start, the Newton direction and the
// line search as steps of their own.
class Search {
 public:
  Search(const WorkingProblem& wp, Criterion criterion, double known_scale,
         const std::vector<bool>& free, const SearchOptions& opt)
      : wp_(wp), criterion_(criterion), known_scale_(known_scale), opt_(opt) {
    for (std::size_t j = 0; j < free.size(); ++j)
      if (free[j]) idx_.push_back(j);
  }

  // Evaluates the start (raising every free rho while the criterion is undefined there);
  // true when the search is already over (an exact fit, nothing free).
  Result<bool> start(VectorView rho_start);
  // One Newton iteration; true when the search has ended (res_.exit says how).
  Result<bool> iterate();
  SearchResult& result() { return res_; }

 private:
  Result<Evaluation> eval(const Vector& r, int order) {
    ++res_.score_evaluations;
    return evaluate(wp_, criterion_, known_scale_, r.view(), order);
  }
  void clamp(Vector& r) const {
    for (std::size_t j = 0; j < r.size(); ++j) r[j] = std::clamp(r[j], opt_.lower[j], opt_.upper[j]);
  }
  // Free coordinates not held at a bound by an outward gradient, and the largest gradient
  // component among them.
  std::vector<std::size_t> active(double& gmax) const;
  // The Newton step over `act` with the Hessian's eigenvalues taken by magnitude (floored),
  // capped at kMaxRhoStep in every coordinate.
  Result<Vector> direction(const std::vector<std::size_t>& act) const;
  // Halves the step until the score decreases enough (Armijo); false when none does.
  Result<bool> line_search(const std::vector<std::size_t>& act, const Vector& step, Vector& trial);

  const WorkingProblem& wp_;
  Criterion criterion_;
  double known_scale_;
  const SearchOptions& opt_;
  std::vector<std::size_t> idx_;
  SearchResult res_;
};

Result<bool> Search::start(VectorView rho_start) {
  res_.rho = Vector::from(rho_start);
  clamp(res_.rho);
  auto first = eval(res_.rho, 2);
  if (!first) return fail(first.error());
  if (!first->defined && first->solved && !(first->penalized_deviance > 0.0)) {
    res_.at = std::move(*first);
    res_.exit = SearchExit::ExactFit;
    return true;
  }
  // More penalty makes H "more" positive definite; try a few heavier starting points.
  for (int attempt = 0; !first->defined && attempt < 4 && !idx_.empty(); ++attempt) {
    for (std::size_t j : idx_) res_.rho[j] = std::min(res_.rho[j] + kMaxRhoStep, opt_.upper[j]);
    first = eval(res_.rho, 2);
    if (!first) return fail(first.error());
  }
  if (!first->defined && first->solved && first->saturated) {
    res_.at = std::move(*first);
    res_.exit = SearchExit::NoResidualDf;
    return true;
  }
  if (!first->defined) {
    return fail(GamError::optimization_failed(
        "the penalized least-squares problem has no solution at any starting smoothing parameter"));
  }
  res_.at = std::move(*first);
  if (idx_.empty()) {
    res_.exit = SearchExit::NoFreeParameters;
    return true;
  }
  res_.exit = SearchExit::IterationLimit;
  return false;
}

std::vector<std::size_t> Search::active(double& gmax) const {
  std::vector<std::size_t> act;
  gmax = 0.0;
  for (std::size_t j : idx_) {
    const double g = res_.at.gradient[j];
    const bool held = (res_.rho[j] <= opt_.lower[j] && g > 0.0) || (res_.rho[j] >= opt_.upper[j] && g < 0.0);
    if (held) continue;
    act.push_back(j);
    gmax = std::max(gmax, std::abs(g));
  }
  return act;
}

Result<Vector> Search::direction(const std::vector<std::size_t>& act) const {
  const std::size_t k = act.size();
  Matrix hs(k, k);
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = 0; b < k; ++b) hs(a, b) = res_.at.hessian(act[a], act[b]);
  auto eig = symmetric_eigen(hs.view());
  if (!eig) return fail(GamError::linalg_error("Newton step: " + eig.error().debug()));
  double emax = 0.0;
  for (double e : eig->values) emax = std::max(emax, std::abs(e));
  const double floor = std::max(emax * kEigenFloor, 1e-12);
  Vector step(res_.rho.size());
  for (std::size_t c = 0; c < k; ++c) {
    double proj = 0.0;
    for (std::size_t a = 0; a < k; ++a) proj += eig->vectors(a, c) * res_.at.gradient[act[a]];
    const double e = std::max(std::abs(eig->values[c]), floor);
    for (std::size_t a = 0; a < k; ++a) step[act[a]] -= eig->vectors(a, c) * proj / e;
  }
  double smax = 0.0;
  for (std::size_t j : act) smax = std::max(smax, std::abs(step[j]));
  if (smax > kMaxRhoStep) {
    for (std::size_t j : act) step[j] *= kMaxRhoStep / smax;
  }
  return step;
}

Result<bool> Search::line_search(const std::vector<std::size_t>& act, const Vector& step,
                                 Vector& trial) {
  double alpha = 1.0;
  for (std::size_t h = 0; h <= kMaxHalvings; ++h, alpha *= 0.5) {
    trial = res_.rho;
    for (std::size_t j : act) trial[j] += alpha * step[j];
    clamp(trial);
    double taken = 0.0;
    for (std::size_t j : act) taken += res_.at.gradient[j] * (trial[j] - res_.rho[j]);
    auto ev = eval(trial, 0);
    if (!ev) return fail(ev.error());
    if (ev->defined && ev->score <= res_.at.score + kArmijo * taken) return true;
  }
  return false;
}

Result<bool> Search::iterate() {
  if (auto ok = poll_interrupt(); !ok) return fail(ok.error());
  double gmax = 0.0;
  const std::vector<std::size_t> act = active(gmax);
  if (act.empty() || gmax <= opt_.gradient_tolerance) {
    res_.exit = SearchExit::Converged;
    return true;
  }
  auto step = direction(act);
  if (!step) return fail(step.error());
  double slope = 0.0;
  for (std::size_t j : act) slope += res_.at.gradient[j] * (*step)[j];
  // The decrease the quadratic model promises is below what the score can resolve.
  if (-0.5 * slope <= 1e-12 * (1.0 + std::abs(res_.at.score))) {
    res_.exit = SearchExit::Converged;
    return true;
  }
  Vector trial;
  auto accepted = line_search(act, *step, trial);
  if (!accepted) return fail(accepted.error());
  ++res_.iterations;
  if (!*accepted) {
    // No step along a descent direction lowers the score: it is flat to within the
    // accuracy of its evaluation here. That is convergence unless the gradient is large.
    res_.exit = gmax <= kFlatGradient ? SearchExit::Converged : SearchExit::StepFailed;
    return true;
  }
  auto next = eval(trial, 2);
  if (!next) return fail(next.error());
  if (!next->defined) {
    res_.exit = SearchExit::StepFailed;
    return true;
  }
  res_.rho = std::move(trial);
  res_.at = std::move(*next);
  return false;
}

}  // namespace

Result<SearchResult> newton_search(const WorkingProblem& wp, Criterion criterion,
                                   double known_scale, VectorView rho_start,
                                   const std::vector<bool>& free, const SearchOptions& opt) {
  Search search(wp, criterion, known_scale, free, opt);
  auto done = search.start(rho_start);
  if (!done) return fail(done.error());
  for (std::size_t it = 0; !*done && it < opt.max_iterations; ++it) {
    done = search.iterate();
    if (!done) return fail(done.error());
  }
  return std::move(search.result());
}

}  // namespace velkan::select
