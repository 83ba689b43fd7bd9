// One-dimensional spline bases of the modelling engine, each with its wiggliness penalty.
//
//   "ps"  cubic B-splines on evenly spaced knots covering [lo, hi] (the knot grid extends
//         three spacings beyond each end, so every function has the same shape), with the
//         second-order difference penalty on the coefficients. Null space: straight lines.
//   "cr"  natural cubic regression spline: coefficients are the function's values at k
//         knots (first and last at the ends of the data), penalty the integrated squared
//         second derivative. Null space: straight lines.
//   "cc"  cyclic cubic regression spline on k + 1 knots whose last lies one period after
//         the first: k coefficients, the values at the first k knots; the function and its
//         first two derivatives join up across the period. Null space: constants.
//
// Outside [lo, hi] the "ps" and "cr" bases continue along their tangent at the nearer
// end (value and slope), never as a cubic, or (held_at_ends) keep the value at that end;
// "cc" repeats with its period.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "common/gam_error.h"
#include "engine/terms/term_basis.h"
#include "linalg/matrix.h"

namespace velkan::terms {

enum class BasisKind { PSpline, CubicRegression, CyclicCubic };

// "ps", "cr", "cc".
std::optional<BasisKind> parse_basis(std::string_view name);
const char* basis_name(BasisKind kind);

// Smallest basis size of each kind: a cubic B-spline basis needs one knot interval
// (4 functions); the regression splines need three knots.
std::size_t min_basis_size(BasisKind kind);

// What the Python package reads about each kind.
struct MarginalKindInfo {
  BasisKind kind;
  std::string_view name;
  std::size_t min_size;
  bool needs_distinct;  // knots are quantiles of the column's distinct values
  bool periodic;        // takes a period
  bool shapes;          // takes a shape constraint (1-D smooths)
};
std::span<const MarginalKindInfo> marginal_kinds();

// A column whose range is below this fraction of its magnitude cannot carry a smooth: the
// basis could not tell its values apart.
inline constexpr double kRangeResolution = 1e-12;

// The closest two knots of a basis of default size may lie, as a fraction of the mean gap
// between the column's distinct values ((hi - lo) / (distinct - 1)). Quantile knots follow
// the rows, so a skewed column keeps its knots where its rows are; but where a default
// size has about as many knots as the column has distinct values, a dense stretch gets a
// knot at nearly every value, and a fit can follow a single row there (and carry its slope
// beyond the range). The floor thins such knots to no more than twice the mean density of
// the values, and leaves the knots of a column with many more distinct values than knots
// as they are (its quantile intervals each span many gaps).
inline constexpr double kDefaultKnotSpacing = 0.5;

// Sorted knots thinned to a minimum spacing `least` (less a relative 1e-9 of slack, so
// that evenly spaced values up to rounding all stay): the first and last knots stay; an
// interior knot stays when it lies at least `least` from the last one kept and from the
// last knot. Returns the knots unchanged when thinning would leave fewer than `min_size`.
// knots: sorted, at least two.
Vector thin_knots(VectorView knots, double least, std::size_t min_size);

// The knots of a basis of size k from the first pass's summary of its column: the range
// [lo, hi]; for kinds that need them, the sorted distinct values (or a sorted sample that
// keeps both ends); for a periodic kind the period, given as nothing (the range), one
// value (its length, from lo) or two (start, end). Knots are "ps": [lo, hi]; "cr": the
// quantiles of the distinct values at k evenly spaced probabilities (linear interpolation
// between order statistics), thinned (thin_knots, to kDefaultKnotSpacing of the mean gap
// between distinct values) when k is the default size, so that a default "cr" basis may
// have fewer than k knots; "cc": k + 1
// evenly spaced over the period. Refused (InvalidParameter, naming `what` and the column
// `label`): a constant column, too few distinct values, a period that does not end after
// it starts.
Result<Vector> place_knots(BasisKind kind, std::size_t k, double lo, double hi,
                           VectorView distinct, VectorView period, std::string_view what,
                           std::string_view label, bool default_size = false);

class MarginalBasis {
 public:
  // knots: "ps" [lo, hi] with lo < hi; "cr" k strictly increasing knots; "cc" k + 1
  // strictly increasing knots (the last one period after the first). All finite.
  // Refused (InvalidParameter, naming what is wrong): an unknown size, too few or too many
  // functions, knots of the wrong count, unordered or non-finite knots.
  static Result<MarginalBasis> create(BasisKind kind, std::size_t k, VectorView knots);

  BasisKind kind() const { return kind_; }
  std::size_t size() const { return k_; }
  const Vector& knots() const { return knots_; }

  // Writes the size() basis values at x into out[0 .. size()). x must not be NaN.
  void evaluate(double x, double* out) const;
  // The same basis, except that outside [lo, hi] it takes its value at the nearer end
  // instead of continuing along the tangent (a periodic basis is returned unchanged).
  MarginalBasis held_at_ends() const;

  // k x k, symmetric positive semi-definite.
  const Matrix& penalty() const { return penalty_; }
  // Dimension of the penalty's range (structural: k - 2, k - 2, k - 1).
  std::size_t penalty_rank() const { return rank_; }
  // The penalty's eigenvalues, ascending; the k - rank smallest are exactly zero.
  const Vector& penalty_eigenvalues() const { return eigenvalues_; }
  // A square root of the penalty: rank x k with root' root = penalty. Quadratic forms are
  // computed as |root beta|^2, which stays accurate where beta'S beta would cancel (a
  // coefficient vector close to the null space times a very large smoothing parameter).
  const Matrix& penalty_root() const { return root_; }

 private:
  MarginalBasis() = default;

  Status set_regression_penalty();
  void set_end_slopes(double h0, double hn);
  Status set_penalty_root();
  void evaluate_pspline(double x, double* out) const;
  void evaluate_natural(double x, double* out) const;
  void evaluate_cyclic(double x, double* out) const;
  // Writes the cubic-spline row for x in knot interval j (x between t_j and t_{j+1}) of a
  // spline whose knot values are the coefficients and whose second derivatives at the
  // knots are second_[knot] . coefficients; `next` is the knot index of t_{j+1}'s value.
  void interval_row(double x, std::size_t j, std::size_t next, double* out) const;
  // The interval j in [0, last) of knots t_0 .. t_last that holds x (t_j <= x < t_{j+1},
  // the last interval closed).
  std::size_t knot_interval(double x, std::size_t last) const;

  BasisKind kind_ = BasisKind::PSpline;
  std::size_t k_ = 0;
  Vector knots_;
  // "ps": knot spacing and number of intervals over [lo, hi].
  double spacing_ = 0.0;
  std::size_t intervals_ = 0;
  // "cr" / "cc": the map from coefficients to second derivatives at the knots, one row
  // per knot (k x k; for "cr" its first and last rows are zero), and for "cr" the slopes
  // at both ends as rows over the coefficients.
  Matrix second_;
  Vector slope_lo_, slope_hi_;
  Matrix penalty_;
  Vector eigenvalues_;
  Matrix root_;
  std::size_t rank_ = 0;
  bool held_ = false;  // evaluated at x clamped to [lo, hi]
};

}  // namespace velkan::terms
