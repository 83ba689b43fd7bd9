// Newton's method on the smoothing-parameter criterion over rho = log lambda.
//
// Each iteration takes the exact gradient and Hessian (criterion.h) over the free
// parameters, makes the Hessian positive definite (eigenvalues replaced by their
// magnitudes, floored relative to the largest) so that the step is a descent direction,
// caps the step at kMaxRhoStep in every coordinate, keeps rho within its bounds, and halves
// the step until the score decreases (Armijo). Parameters sitting on a bound with the
// gradient pushing outward are held there. The search stops when
//   - every free gradient component is below the tolerance, or the decrease the Newton
//     step predicts is below rounding of the score (converged),
//   - no step along the direction lowers the score (step failed), or
//   - the iteration cap is reached (iteration limit).
// The caller reports the last two; the best point found is always returned.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/select/criterion.h"

namespace velkan::select {

inline constexpr double kMaxRhoStep = 5.0;

// ExactFit: the data leave no residual variation at all (an all-zero response, say), so
// every smoothing parameter fits them exactly and the criterion is undefined; the
// coefficients at the start are returned. NoResidualDf: the model has as many determined
// unpenalized directions as rows (or GCV's tau reaches n at every start), so no scale can
// be estimated; the coefficients at the start are returned for the caller to report.
enum class SearchExit { Converged, NoFreeParameters, ExactFit, StepFailed, IterationLimit, NoResidualDf };
const char* search_exit_name(SearchExit e);

struct SearchOptions {
  std::size_t max_iterations = 200;
  double gradient_tolerance = 1e-6;
  Vector lower;  // bounds on rho, one per penalty
  Vector upper;
};

struct SearchResult {
  Vector rho;
  Evaluation at;  // evaluated with order 2 at rho
  std::size_t iterations = 0;
  std::size_t score_evaluations = 0;
  SearchExit exit = SearchExit::Converged;
};

// `free[j]` false holds rho_j at its start value. Fails when the criterion is undefined at
// the start (and stays so after raising every free rho by up to four capped steps) for
// another reason than the two exits above.
Result<SearchResult> newton_search(const WorkingProblem& problem, Criterion criterion,
                                   double known_scale, VectorView rho_start,
                                   const std::vector<bool>& free, const SearchOptions& options);

}  // namespace velkan::select
