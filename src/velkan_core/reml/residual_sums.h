// The weighted residual sums the REML score and derivatives need at given coefficients,
// for data (y, x, w) that stay fixed while a search moves the coefficients:
//   RSS = sum_i w_i (y_i - x_i beta)^2   and   X'W r,  r = y - X beta.
//
// Both follow from the cross products without touching the data, relative to an anchor
// beta0 at which they are known:
//   X'W r = X'W r0 - X'WX d,   RSS = r0'W r0 - d'(X'W r0 + X'W r),   d = beta - beta0.
// The anchor beta0 = 0 has r0 = y, so X'Wy and y'Wy anchor it before any data pass. The
// RSS formula cancels terms of size up to (sqrt(r0'W r0) + sum_j |d_j| sqrt(X'WX_jj))^2,
// so it is used only when RSS is at least kRemlRssCancellationLimit times that bound (the
// cached criterion's own test); otherwise the sums come from one pass over the data, and
// that pass's coefficients become the new anchor. Anchored at a nearby earlier point, the
// cancelling terms are of the size of the residuals themselves, so along a search the
// data is read only when the coefficients move far.
#pragma once

#include "linalg/matrix.h"
#include "linalg/products.h"

namespace velkan {

// Coefficients at which RSS and X'W r are known from the data (or, at beta = 0, from y'Wy
// and X'Wy).
struct ResidualAnchor {
  bool valid = false;
  Vector beta;
  ResidualProducts sums;
};

class ResidualSums {
 public:
  // Every evaluation reads the data.
  ResidualSums(VectorView y, MatrixView x, VectorView w);
  // With X'WX, X'Wy and y'Wy of the same (y, x, w); `xtwx` is borrowed and must outlive
  // this object. A NaN y'Wy leaves no anchor until the first data pass. With `shared`,
  // the anchor lives there instead (a valid one is used from the start, and every new one
  // is stored there), so that several evaluators over the same data can pass it on.
  ResidualSums(VectorView y, MatrixView x, VectorView w, const Matrix& xtwx, const Vector& xtwy,
               double ywy, ResidualAnchor* shared = nullptr);
  // Not copyable: the anchor may be the object's own.
  ResidualSums(const ResidualSums&) = delete;
  ResidualSums& operator=(const ResidualSums&) = delete;

  // RSS and X'W r at beta (length p = x.cols). Whenever they come from a pass over the
  // data (and the cross products were given), beta and the fresh sums become the anchor.
  ResidualProducts at(const Vector& beta);

 private:
  VectorView y_;
  MatrixView x_;
  VectorView w_;
  const Matrix* xtwx_ = nullptr;
  ResidualAnchor own_;
  ResidualAnchor* anchor_ = &own_;
};

}  // namespace velkan
