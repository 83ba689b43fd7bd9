// The polymorphic spline basis a smooth term owns, and the smooth term record.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

class SplineBasis {
 public:
  virtual ~SplineBasis() = default;
  // Basis values at n points: an n x k matrix, row i for x[i]. NaN points give NaN rows.
  virtual Result<Matrix> evaluate(VectorView x) const = 0;
  virtual std::size_t num_basis() const = 0;
  virtual VectorView knots() const = 0;
  // The values evaluate() returns, written into caller-owned memory instead: row i of
  // the n x k block starts at out + i * row_stride (row_stride >= k), and all k entries of
  // every row are written. Lets a design matrix be filled in place, without an n x k
  // temporary and its copy.
  virtual Status evaluate_into(VectorView x, double* out, std::size_t row_stride) const = 0;
};

struct SmoothTerm {
  std::string name;
  std::unique_ptr<SplineBasis> basis;
  Matrix penalty;                  // k x k
  // The input column this smooth is evaluated on (formula terms name their own column).
  std::size_t column = 0;

  // Width of the term's block in the design matrix.
  std::size_t width() const { return basis->num_basis(); }
};

}  // namespace velkan
