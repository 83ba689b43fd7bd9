// Cubic B-spline basis on a clamped knot vector with interior knots at data quantiles,
// extrapolated linearly outside the boundary knots.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/gam_error.h"
#include "velkan_core/smooth/spline_basis.h"

namespace velkan {

// Fraction of the data range by which a quantile knot on the minimum or the maximum is
// pulled inside, so every stored knot lies strictly within the data.
inline constexpr double kKnotPullIn = 1e-6;
// Points within this distance of the boundary knots are evaluated just inside them ...
inline constexpr double kBoundaryTolerance = 1e-10;
// ... at this distance from the knot; beyond the tolerance the basis is extrapolated
// linearly from the same inside point.
inline constexpr double kBoundaryOffset = 2e-10;
// Buckets of the histogram through which the quantile knots of long columns are found.
inline constexpr std::size_t kQuantileBuckets = 4096;

// Value at x of the degree-d B-spline i on the knot vector t, by the Cox-de Boor
// recursion. Degree-0 splines are the half-open span indicators, the last span closed;
// terms whose knot index passes the end of t, or whose denominator is not above
// kSplineDenominatorFloor in magnitude, count as zero. Any i, d and t are safe.
double bspline_value(std::size_t i, std::size_t d, std::span<const double> t, double x);

// k cubic B-splines on the clamped knot vector q_0 (x3), q_0 .. q_{m-1}, q_{m-1} (x3) built
// from m = k - 2 stored knots q. Inside [q_0, q_{m-1}] rows are a partition of unity; outside,
// each function continues along its tangent at the boundary, so rows still sum to one.
class BSplineBasis final : public SplineBasis {
 public:
  // `knots` non-decreasing; refused unless k >= 4 and knots.size() == k - 2.
  static Result<std::unique_ptr<BSplineBasis>> create(std::size_t k, Vector knots);

  // n x k. Each row has at most four non-zero entries, found by binary search for the
  // knot span and computed by the same recursion as bspline_value (values identical).
  // NaN points give NaN rows.
  Result<Matrix> evaluate(VectorView x) const override;
  Status evaluate_into(VectorView x, double* out, std::size_t row_stride) const override;
  std::size_t num_basis() const override { return k_; }
  VectorView knots() const override { return knots_.view(); }

  // The full clamped knot vector, length k + 4.
  std::span<const double> full_knots() const { return full_; }

 private:
  BSplineBasis(std::size_t k, Vector knots);

  // The regular span of x (t[3] <= x < t[k] assumed): the last knot t[s] <= x, 3 <= s < k.
  std::size_t span_of(double x) const;
  // Where a point inside the boundary tolerance is evaluated (see evaluation_point()).
  double inner_lo() const;
  double inner_hi() const;
  // Writes the k values (and derivatives, when `deriv` is given) at x into row / deriv,
  // by the recursion restricted to the non-zero functions when x lies in a regular span.
  void values_at(double x, double* row, double* deriv) const;

  std::size_t k_;
  Vector knots_;
  std::vector<double> full_;
};

// A "bs" smooth with k basis functions and k - 2 stored knots at the quantiles
// (i + 1) / (k - 1) of `x` (linear interpolation between order statistics), each pulled
// inside the open data range by kKnotPullIn times the range, and the "cubic" penalty.
// Refused (InvalidParameter) before anything is allocated: k < 2, k > kMaxBasisFunctions,
// an empty column, a column holding NaN or infinity. k = 2 and 3 reach the penalty, which
// fails with "Need at least 2 knots for penalty matrix". The term's column is 0.
Result<SmoothTerm> new_bs_smooth(std::string name, std::size_t k, VectorView x);

// A "bs" smooth on the given stored knots (k - 2 of them, non-decreasing) with the "cubic"
// penalty. Refused: k < 2, k > kMaxBasisFunctions, a knot count other than k - 2; then
// the penalty's own errors.
Result<SmoothTerm> new_bs_smooth_from_knots(std::string name, std::size_t k, Vector knots);

// The hand-configured cubic spline: num_basis - 2 knots spaced evenly from x_min to x_max,
// both ends included (x_min + i (x_max - x_min) / (num_basis - 3)); with fewer than two
// knots the spacing is 0 (one knot at x_min for num_basis 3, none for 2), which the
// penalty then refuses with "Need at least 2 knots for penalty matrix". num_basis < 2 and
// num_basis > kMaxBasisFunctions are refused before anything is allocated.
Result<SmoothTerm> new_bs_smooth_even_knots(std::string name, std::size_t num_basis,
                                            double x_min, double x_max);

}  // namespace velkan
