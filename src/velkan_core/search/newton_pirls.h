// A plain Newton search over the log smoothing parameters from caller-supplied start
// values, on the full (unscaled) REML Hessian with a step-halving line search that
// accepts any decrease. It reports its outcome as a message and a converged flag and can
// narrate every step. Used for comparison and diagnosis, not by the fits.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

struct NewtonPirlsOptions {
  std::size_t max_iter = 100;       // the iteration numbered max_iter stops before stepping
  double grad_tol = 1e-6;           // on the Euclidean norm of the gradient
  double min_step = 1e-10;          // a line search ending below this ends the search
  double step_shrink = 0.5;         // applied after each rejected trial
  std::size_t max_line_search = 20; // trials per line search
  bool verbose = false;             // narrate on standard output
};

struct NewtonPirlsResult {
  std::string message;     // status of the exit
  Vector log_lambda;       // final rho
  Vector lambda;           // exp(final rho)
  double reml = 0.0;       // REML score at the final lambda
  std::size_t iterations = 0;  // number of the last iteration started (= gradients evaluated)
  double grad_norm = 0.0;  // Euclidean norm of the last gradient
  bool converged = false;  // grad_norm < grad_tol
};

// Minimises the REML score over rho from initial_log_lambda (one entry per penalty).
// Errors: DimensionMismatch "Number of penalties ({}) must match log_lambda ({})", then
// DimensionMismatch for inputs of inconsistent shape; errors of the gradient, the Hessian,
// newton_direction and of the score at the current or final point, unchanged. Stopping
// without convergence is not an error: see message and converged.
Result<NewtonPirlsResult> newton_pirls(VectorView y, MatrixView x, VectorView w,
                                       VectorView initial_log_lambda,
                                       std::span<const Matrix> penalties,
                                       const NewtonPirlsOptions& options = {});

// The solution d of H d = -g by LU factorisation with partial pivoting (LAPACK), for
// every size and without pivot thresholds of its own. Errors: LinAlgError
// "LU factorization failed: {}" (an exactly singular H) and "LU solve failed: {}", with
// the linear algebra failure's debug rendering; DimensionMismatch when g does not match H.
Result<Vector> newton_direction(MatrixView hessian, VectorView gradient);

}  // namespace velkan
