// LAPACK-backed factorizations. Each copies its input, whatever its strides, into a dense
// column-major buffer, so the triangle and transposition letters mean what they mean for
// the caller's matrix; runs a workspace query where the routine has one; and reports
// failures as LinalgFailure.
#pragma once

#include <cstdint>
#include <vector>

#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"

namespace velkan {

struct QrResult {
  Matrix q;  // m x k, orthonormal columns, k = min(m, n)
  Matrix r;  // k x n, upper triangular (zero below the diagonal)
};

// Reduced QR: A = Q R.
LinalgResult<QrResult> qr(MatrixView a);

// The R factor of the reduced QR of A (k x n, k = min(m, n), zero below the diagonal)
// without forming Q. R'R equals the R'R of qr(a).
LinalgResult<Matrix> qr_r(MatrixView a);

// Cholesky factor. uplo 'U': upper R with A = R'R; 'L': lower L with A = L L'. The other
// strict triangle is zero. A non-positive leading minor of order k gives
// Lapack(LapackComputationalFailure { return_code: k }); a non-square input NotSquare.
LinalgResult<Matrix> cholesky(MatrixView a, char uplo);

// Solves A X = B for triangular A (uplo 'U' or 'L', non-unit diagonal). B is n x r.
// A zero diagonal element gives LapackComputationalFailure.
LinalgResult<Matrix> solve_triangular(MatrixView a, char uplo, MatrixView b);
LinalgResult<Vector> solve_triangular(MatrixView a, char uplo, VectorView b);

struct LuFactors {
  Matrix lu;                        // packed L\U, row-major, m x n
  std::vector<std::int32_t> pivots; // 1-based row pivots as LAPACK reports them
};
LinalgResult<LuFactors> lu_factor(MatrixView a);
LinalgResult<Matrix> lu_inverse(const LuFactors& f);
// Solves A x = b from the factors of a square A (dgetrs, no transposition).
LinalgResult<Vector> lu_solve(const LuFactors& f, VectorView b);

struct SymmetricEigen {
  Vector values;   // ascending
  Matrix vectors;  // n x n, column c is the eigenvector of values[c]
};
// dsyev with JOBZ 'V', UPLO 'U' (the upper triangle of A is read).
LinalgResult<SymmetricEigen> symmetric_eigen(MatrixView a);
// The `low` smallest and `high` largest eigenpairs only (every pair when they overlap), in
// the same form: values ascending, n x (number of pairs) vectors. One reduction to
// tridiagonal form, then bisection and inverse iteration for each index range (dsyevr's
// steps for part of the spectrum): far cheaper than every pair when few are wanted. The
// upper triangle of A is read.
LinalgResult<SymmetricEigen> symmetric_eigen_extremes(MatrixView a, std::size_t low,
                                                      std::size_t high);

}  // namespace velkan
