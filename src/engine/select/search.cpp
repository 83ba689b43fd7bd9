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
  }
  return "?";
}

Result<SearchResult> newton_search(const WorkingProblem& wp, Criterion criterion,
                                   double known_scale, VectorView rho_start,
                                   const std::vector<bool>& free, const SearchOptions& opt) {
  const std::size_t m = rho_start.size;
  SearchResult res;
  res.rho = Vector::from(rho_start);
  auto clamp = [&](Vector& r) {
    for (std::size_t j = 0; j < m; ++j) r[j] = std::clamp(r[j], opt.lower[j], opt.upper[j]);
  };
  clamp(res.rho);
  std::vector<std::size_t> idx;
  for (std::size_t j = 0; j < m; ++j)
    if (free[j]) idx.push_back(j);

  auto eval = [&](const Vector& r, int order) {
    ++res.score_evaluations;
    return evaluate(wp, criterion, known_scale, r.view(), order);
  };
  auto first = eval(res.rho, 2);
  if (!first) return fail(first.error());
  if (!first->defined && first->solved && !(first->penalized_deviance > 0.0)) {
    res.at = std::move(*first);
    res.exit = SearchExit::ExactFit;
    return res;
  }
  // More penalty makes H "more" positive definite; try a few heavier starting points.
  for (int attempt = 0; !first->defined && attempt < 4 && !idx.empty(); ++attempt) {
    for (std::size_t j : idx) res.rho[j] = std::min(res.rho[j] + kMaxRhoStep, opt.upper[j]);
    first = eval(res.rho, 2);
    if (!first) return fail(first.error());
  }
  if (!first->defined) {
    return fail(GamError::optimization_failed(
        "the penalized least-squares problem has no solution at any starting smoothing parameter"));
  }
  res.at = std::move(*first);
  if (idx.empty()) {
    res.exit = SearchExit::NoFreeParameters;
    return res;
  }

  res.exit = SearchExit::IterationLimit;
  for (std::size_t it = 0; it < opt.max_iterations; ++it) {
    if (auto ok = poll_interrupt(); !ok) return fail(ok.error());
    // Free coordinates not held at a bound by an outward gradient.
    std::vector<std::size_t> act;
    double gmax = 0.0;
    for (std::size_t j : idx) {
      const double g = res.at.gradient[j];
      const bool held = (res.rho[j] <= opt.lower[j] && g > 0.0) || (res.rho[j] >= opt.upper[j] && g < 0.0);
      if (held) continue;
      act.push_back(j);
      gmax = std::max(gmax, std::abs(g));
    }
    if (act.empty() || gmax <= opt.gradient_tolerance) {
      res.exit = SearchExit::Converged;
      break;
    }
    const std::size_t k = act.size();
    Matrix hs(k, k);
    for (std::size_t a = 0; a < k; ++a)
      for (std::size_t b = 0; b < k; ++b) hs(a, b) = res.at.hessian(act[a], act[b]);
    auto eig = symmetric_eigen(hs.view());
    if (!eig) return fail(GamError::linalg_error("Newton step: " + eig.error().debug()));
    double emax = 0.0;
    for (double e : eig->values) emax = std::max(emax, std::abs(e));
    const double floor = std::max(emax * kEigenFloor, 1e-12);
    Vector step(m);
    for (std::size_t c = 0; c < k; ++c) {
      double proj = 0.0;
      for (std::size_t a = 0; a < k; ++a) proj += eig->vectors(a, c) * res.at.gradient[act[a]];
      const double e = std::max(std::abs(eig->values[c]), floor);
      for (std::size_t a = 0; a < k; ++a) step[act[a]] -= eig->vectors(a, c) * proj / e;
    }
    double smax = 0.0;
    for (std::size_t j : act) smax = std::max(smax, std::abs(step[j]));
    if (smax > kMaxRhoStep) {
      for (std::size_t j : act) step[j] *= kMaxRhoStep / smax;
    }
    double slope = 0.0;
    for (std::size_t j : act) slope += res.at.gradient[j] * step[j];
    // The decrease the quadratic model promises is below what the score can resolve.
    if (-0.5 * slope <= 1e-12 * (1.0 + std::abs(res.at.score))) {
      res.exit = SearchExit::Converged;
      break;
    }

    bool accepted = false;
    Vector trial;
    double alpha = 1.0;
    for (std::size_t h = 0; h <= kMaxHalvings; ++h, alpha *= 0.5) {
      trial = res.rho;
      for (std::size_t j : act) trial[j] += alpha * step[j];
      clamp(trial);
      double taken = 0.0;
      for (std::size_t j : act) taken += res.at.gradient[j] * (trial[j] - res.rho[j]);
      auto ev = eval(trial, 0);
      if (!ev) return fail(ev.error());
      if (ev->defined && ev->score <= res.at.score + kArmijo * taken) {
        accepted = true;
        break;
      }
    }
    ++res.iterations;
    if (!accepted) {
      // No step along a descent direction lowers the score: it is flat to within the
      // accuracy of its evaluation here. That is convergence unless the gradient is large.
      res.exit = gmax <= kFlatGradient ? SearchExit::Converged : SearchExit::StepFailed;
      break;
    }
    auto next = eval(trial, 2);
    if (!next) return fail(next.error());
    if (!next->defined) {
      res.exit = SearchExit::StepFailed;
      break;
    }
    res.rho = std::move(trial);
    res.at = std::move(*next);
  }
  return res;
}

}  // namespace velkan::select
