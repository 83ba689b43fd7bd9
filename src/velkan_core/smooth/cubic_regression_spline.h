// Cubic regression spline basis: natural cubic splines that interpolate their
// coefficients at k evenly spaced knots, extrapolated linearly outside the knots.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/gam_error.h"
#include "velkan_core/smooth/spline_basis.h"

namespace velkan {

// Basis function j is the natural cubic spline through (t_m, [m == j]) at the knots t, so a
// coefficient vector holds the smooth's values at the knots. Outside [t_0, t_{k-1}] each
// function continues along the secant of its first (last) two knot values; rows sum to one
// everywhere. Immutable once built.
class CubicRegressionSpline final : public SplineBasis {
 public:
  // `knots` non-decreasing (equal knots give zero spacings and non-finite values, as the
  // recurrence does). The spline coefficients of every basis function are computed here,
  // once: they depend on the knots only. Any k is safe: k = 1 is the constant 1 (the only
  // natural spline through one point), k = 0 evaluates to n x 0.
  explicit CubicRegressionSpline(Vector knots);

  // n x k; O(n (k + log k)). A point equal to an interior knot belongs to the interval on
  // its left. NaN points give NaN rows.
  Result<Matrix> evaluate(VectorView x) const override;
  Status evaluate_into(VectorView x, double* out, std::size_t row_stride) const override;
  std::size_t num_basis() const override { return knots_.size(); }
  VectorView knots() const override { return knots_.view(); }

 private:
  Vector knots_;
  // Polynomial coefficients on interval i (k - 1 intervals) for every basis function j:
  // value = [i == j] + u b + u (u c) + u (u (u d)), u = x - t_i; stored as
  // coef_[(3 i + 0) k + j] = b, (3 i + 1) k + j = c, (3 i + 2) k + j = d.
  std::vector<double> coef_;
};

// A "cr" smooth with k knots spaced evenly from x_min to x_max and the "cr" penalty.
// Refused (InvalidParameter) before anything is allocated: k < 2, k > kMaxBasisFunctions,
// and a range that is not finite or has x_min > x_max (an empty or all-NaN column gives
// min +inf and max -inf: no knot could be placed). x_min == x_max is accepted and gives
// non-finite values, as the recurrence does. The term's column is 0; the caller sets it.
Result<SmoothTerm> new_cr_smooth(std::string name, std::size_t k, double x_min, double x_max);

}  // namespace velkan
