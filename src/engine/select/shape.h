// Shape constraints A beta >= 0 on the penalized working fit (monotone or convex smooths).
//
// At fixed smoothing parameters the constrained fit is the quadratic programme
//
//   minimise  beta'H beta / 2 - b'beta   subject to  A beta >= 0,   H = G + ridge + S_lambda,
//
// solved by a primal active-set method from beta = 0 (feasible: the constraints are
// homogeneous). The smoothing parameters are then chosen by the criterion on the working
// problem restricted to the subspace where the active constraints hold with equality
// (beta = N theta, N an orthonormal basis of the null space of the active rows): the
// criterion of the fit that the active set leaves, an approximation that treats the
// active set as known. The two steps alternate until the active set stops changing.
// Covariances are those of theta mapped back, N Cov(theta) N': intervals conditional on
// the active set, zero across the active directions.
#pragma once

#include <cstddef>
#include <vector>

#include "common/gam_error.h"
#include "engine/select/criterion.h"
#include "engine/terms/layout.h"
#include "linalg/matrix.h"

namespace velkan::select {

// Active-set changes allowed per constraint row before the programme is abandoned.
inline constexpr std::size_t kActiveSetSweeps = 8;
// Alternations of the programme and the smoothing-parameter search.
inline constexpr std::size_t kShapeRounds = 12;

struct ShapeSolution {
  Vector beta;
  std::vector<bool> active;  // one per row of A
};

// Refused (LinAlgError) when H is not positive definite on a working subspace.
Result<ShapeSolution> solve_shape_qp(const Matrix& h, const Vector& b, const Matrix& a);

// An orthonormal basis of the null space of the rows of A flagged active (p columns of
// the identity when none is).
Result<Matrix> active_null_basis(const Matrix& a, const std::vector<bool>& active);

// H = G + ridge + sum_j lambda_j S_j and b = r + G beta0 of a working problem at rho.
Matrix penalized_matrix(const WorkingProblem& wp, VectorView rho);
Vector penalized_rhs(const WorkingProblem& wp);

// The working problem restricted to beta = N theta (see the header comment); `penalty_of`
// gives, for the log-determinant, the one penalty of the constrained terms whose rank the
// restriction changes (the shape-constrained smooths have exactly one each).
WorkingProblem restricted_problem(const WorkingProblem& wp, const Matrix& n,
                                  const terms::ModelLayout& layout);

}  // namespace velkan::select
