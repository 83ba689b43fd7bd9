// The multi-smooth REML search: a damped Newton method over rho = log(lambda) with a
// diagonally preconditioned Hessian, a capped step, a step-halving Armijo line search and
// a steepest-descent fallback. Every decision is traced under VELKAN_PROFILE.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/reml/residual_sums.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan {

inline constexpr std::size_t kNewtonMaxIterations = 10;
// Floor of the Hessian diagonal for the preconditioner and the condition number.
inline constexpr double kNewtonDiagonalFloor = 1e-10;
// Added to the diagonal of the preconditioned Hessian so a singular one still solves.
inline constexpr double kNewtonPreconditionedRidge = 1e-7;
// Smallest eigenvalue the preconditioned Hessian keeps when it is made positive definite.
inline constexpr double kNewtonEigenFloor = 1e-6;
// Largest Euclidean norm of a step in rho: one step never moves lambda by more than e^4.
inline constexpr double kNewtonMaxStepNorm = 4.0;
inline constexpr double kArmijoConstant = 0.01;
inline constexpr double kStepHalving = 0.5;
// A line-search scale at or below this counts as "no step found".
inline constexpr double kNewtonMinScale = 1e-6;
inline constexpr double kSteepestDescentScales[] = {0.01, 0.001, 0.0001};
// Max-norm of the gradient below which the search has converged.
inline constexpr double kNewtonGradientTolerance = 0.05;
// Relative change of the score below which the search has converged (after 2 iterations).
inline constexpr double kNewtonRemlChangeTolerance = 1e-5;
inline constexpr std::size_t kNewtonRemlChangeMinIterations = 2;
// Max-norm of the gradient accepted when no step improves the score any more.
inline constexpr double kNewtonStallGradientTolerance = 0.1;
inline constexpr double kNewtonRemlChangeFloor = 1e-10;

// What the Newton search minimises. Every method receives smoothing parameters on the
// natural scale (the search exponentiates rho first) and returns derivatives with
// respect to rho. A failing `score` at a trial point is skipped by the search; every
// other failure ends it.
class NewtonObjective {
 public:
  virtual ~NewtonObjective() = default;
  virtual Result<double> score(std::span<const double> lambdas) = 0;
  // Gradient from the per-call caches, once per iteration.
  virtual Result<Vector> gradient(std::span<const double> lambdas) = 0;
  // Gradient without the caches, for the steepest-descent fallback and the last check.
  virtual Result<Vector> gradient_uncached(std::span<const double> lambdas) = 0;
  virtual Result<Matrix> hessian(std::span<const double> lambdas) = 0;
};

// Runs the search from rho = log(initial) over len(initial) parameters and returns the
// chosen lambdas. Errors of the objective (other than trial scores) and of the Newton
// solve are returned unchanged. A score that is not finite at the current point ends the
// search with the values reached so far (there is nothing to steer by). With `outcome`,
// how the search ended is stored there: IterationCap also when it stopped with a gradient
// still above the stall tolerance.
Result<Vector> newton_search(NewtonObjective& objective, const Vector& initial,
                             SearchOutcome* outcome = nullptr);

// What one REML search learns about its data that a later search over the very same y,
// x, w and penalties can use: the scores it computed, by their exact lambdas (the score is
// a deterministic function of them), and the anchor of its residual sums. A gaussian fit's
// searches all see the same data, and each repeats the previous one's path.
struct RemlSearchMemo {
  std::vector<std::pair<std::vector<double>, double>> scores;
  ResidualAnchor anchor;
};

struct NewtonOptions {
  // X'WX, X'Wy and y'Wy of the very (y, x, w) of the call, when the caller already holds
  // them (a gaussian fit forms them once for all its searches); otherwise the search forms
  // them itself. DimensionMismatch when they are not p x p and p.
  const RemlCache* cache = nullptr;
  // Kept across calls by a caller whose searches share their data (used only together
  // with `cache`); the caller guarantees that y, x, w and the penalties are the same.
  RemlSearchMemo* memo = nullptr;
};

// The REML search of `optimize` (method REML, algorithm Newton): builds the penalty square
// roots, X'WX and X'Wy once, then runs newton_search. The inputs are trusted to have
// the shapes `optimize` checks; state.lambda holds m values. On success state.lambda
// holds the chosen values; on failure it is left as it was.
Status optimize_reml_newton(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                            std::span<const Matrix> penalties, std::size_t m,
                            const NewtonOptions& options = {});

// First and second derivatives of the REML score with respect to rho, both from one
// inverse of A + delta I (A = X'WX + sum_j lambda_j S_j, delta the ridge of
// linalg/ridged_solve.h, independent of lambda) through reml/derivatives.h: the exact
// derivatives of reml_criterion, so the Hessian is the Jacobian of this gradient up to
// rounding.
struct RemlDerivatives {
  Vector gradient;  // m
  Matrix hessian;   // m x m, exactly symmetric
};

// From the cache of the same y, x, w: no O(n p^2) pass; one inverse of A, and a pass over
// the data (O(n p)) only when the residual sum cannot be taken from the normal equations
// without cancellation (see kRemlRssCancellationLimit). The penalty ranks used for the scale
// are the column counts of `sqrt_penalties` (one per penalty, as from penalty_sqrt).
// Errors: the SingularMatrix of `inverse`.
Result<RemlDerivatives> reml_derivatives_cached(VectorView y, MatrixView x, VectorView w,
                                                const RemlCache& cache,
                                                std::span<const double> lambdas,
                                                std::span<const Matrix> penalties,
                                                std::span<const Matrix> sqrt_penalties);

// The same, taking RSS and X'W r from `sums` (built over the same y, x, w and cache), so
// that successive calls along a search share its anchor and rarely read the data.
Result<RemlDerivatives> reml_derivatives_cached(VectorView y, MatrixView x, VectorView w,
                                                const RemlCache& cache,
                                                std::span<const double> lambdas,
                                                std::span<const Matrix> penalties,
                                                std::span<const Matrix> sqrt_penalties,
                                                ResidualSums& sums);

}  // namespace velkan
