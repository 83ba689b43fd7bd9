// The system's own dense solve, inverse and determinant: Gaussian elimination with
// partial pivoting below 1000 unknowns, LAPACK LU from 1000 on.
#pragma once

#include <cstddef>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// Size from which solve / inverse / determinant hand the work to LAPACK.
inline constexpr std::size_t kLapackThreshold = 1000;
// Largest remaining pivot magnitude below which solve and inverse report SingularMatrix.
inline constexpr double kSolvePivotFloor = 1e-14;
// Largest remaining pivot magnitude below which the determinant is exactly 0.
inline constexpr double kDeterminantPivotFloor = 1e-15;

// Solves A x = b. Errors: DimensionMismatch "Matrix must be square and match RHS",
// SingularMatrix (pivot below 1e-14, or any LAPACK failure from 1000 unknowns on; also an
// infinite or NaN entry in A or b).
Result<Vector> solve(Matrix a, Vector b);

// A^-1. Errors: DimensionMismatch "Matrix must be square", SingularMatrix (as for solve,
// non-finite entries included).
Result<Matrix> inverse(MatrixView a);

// det(A). Elimination with a 1e-15 pivot floor (determinant 0 below it) up to 999,
// dgetrf from 1000 on (a zero pivot gives 0, any other LAPACK failure SingularMatrix).
// Error: DimensionMismatch "Matrix must be square". 0 x 0 gives 1.
Result<double> determinant(MatrixView a);

// ln(det(A)) computed without forming det(A): the sum of the logs of the pivot
// magnitudes of the same factorisation `determinant` uses, so it cannot overflow or
// underflow. -inf when `determinant` would be 0 (a pivot below the floor), NaN when the
// determinant is negative; equal to ln(determinant(A)) wherever that is finite and > 0.
Result<double> log_determinant(MatrixView a);

}  // namespace velkan
