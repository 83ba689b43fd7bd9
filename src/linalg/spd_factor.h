// Cholesky factorisation of a symmetric positive definite matrix after symmetric diagonal
// scaling: A = D^-1 R'R D^-1 with D = diag(1 / sqrt(a_ii)). The scaled matrix has a unit
// diagonal, so the factorisation's success and accuracy do not depend on how differently
// scaled the unknowns are (an intercept beside a coefficient of a tiny basis function).
#pragma once

#include <cstddef>
#include <vector>

#include "linalg/linalg_failure.h"
#include "linalg/matrix.h"

namespace velkan {

class SpdFactor {
 public:
  // Only the upper triangle of `a` is read. Fails (LapackComputationalFailure) when `a` is
  // not numerically positive definite, a diagonal entry not positive included.
  static LinalgResult<SpdFactor> factor(MatrixView a);

  std::size_t size() const { return n_; }
  // ln det A.
  double log_determinant() const;
  // A^-1 b.
  Vector solve(VectorView b) const;
  // A^-1 B for an n x r B, all columns in one blocked solve (the same arithmetic per
  // column as solve()).
  Matrix solve(MatrixView b) const;
  // A^-1 (exactly symmetric).
  Matrix inverse() const;

 private:
  std::size_t n_ = 0;
  std::vector<double> r_;  // upper triangle of R, column-major n x n
  Vector d_;               // the scaling 1 / sqrt(a_ii)
};

// Numerical rank of a symmetric positive semi-definite matrix by Cholesky factorisation
// with complete pivoting of its diagonally scaled form, stopping at pivots below
// `relative_tolerance` (the scaled diagonal is 1). `order` lists the pivots: the first
// `rank` indices are independent, the rest depend on them. A non-positive diagonal entry
// counts as a dependent index.
struct PivotedRank {
  std::size_t rank = 0;
  std::vector<std::size_t> order;
};
LinalgResult<PivotedRank> pivoted_rank(MatrixView a, double relative_tolerance);

}  // namespace velkan
