#include "velkan_core/smooth/penalty.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "diag/format.h"
#include "splines/natural_cubic_spline.h"

namespace velkan {

namespace {

// ---------------------------------------------------------------------------------------
// Cubic regression spline penalty.
//
// S = D' B^-1 D with D and B the bands of splines/natural_cubic_spline.h (D takes second
// divided differences of the knot values, B is the Gram matrix of the natural spline's
// curvature at the interior knots). R = B^-1 D is formed by tridiagonal elimination
// without pivoting (B is strictly diagonally dominant for increasing knots), on all k
// columns at once.
Matrix cr_penalty(std::size_t k, VectorView x) {
  Matrix s(k, k);
  // With two knots or fewer the natural spline is a straight line (or a constant): it has
  // no curvature, and the penalty is zero.
  if (k < 3) return s;
  const std::size_t n = k - 2;
  const NaturalSplineSystem system = natural_spline_system(x);
  // D is stored by its three non-zero entries per row: D[i][i], D[i][i+1], D[i][i+2].
  const std::vector<std::array<double, 3>>& d_band = system.d;
  const std::vector<double>& diag = system.b_diag;
  const std::vector<double>& off = system.b_off;
  std::vector<double> c(n - 1);

  // R, n x k, row-major. Row i of D is zero outside columns i .. i + 2; the elimination
  // below still runs over full rows because R = B^-1 D is dense.
  Matrix r(n, k);
  auto d_entry = [&](std::size_t i, std::size_t col) {
    return (col >= i && col <= i + 2) ? d_band[i][col - i] : 0.0;
  };
  for (std::size_t col = 0; col < k; ++col) r(0, col) = d_entry(0, col) / diag[0];
  if (n >= 2) c[0] = off[0] / diag[0];
  for (std::size_t i = 1; i < n; ++i) {
    const double m = diag[i] - off[i - 1] * c[i - 1];
    if (i + 1 < n) c[i] = off[i] / m;
    const double e = off[i - 1];
    double* ri = r.row_ptr(i);
    const double* rp = r.row_ptr(i - 1);
    for (std::size_t col = 0; col < k; ++col) ri[col] = (d_entry(i, col) - e * rp[col]) / m;
  }
  for (std::size_t i = n - 1; i-- > 0;) {
    double* ri = r.row_ptr(i);
    const double* rn = r.row_ptr(i + 1);
    for (std::size_t col = 0; col < k; ++col) ri[col] = ri[col] - c[i] * rn[col];
  }

  // S = D' R. Column a of D' has its non-zeros in rows a - 2 .. a of D, so each entry is a
  // sum of at most three products, taken in ascending row order as the dense product
  // would. The dense product also multiplies the structural zeros of D by R: that changes
  // nothing while R is finite, but 0 * inf is NaN, so a non-finite R[i][b] outside the band
  // of column a makes S[a][b] NaN (degenerate knot spacings).
  std::vector<std::size_t> nonfinite_in_col(k, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t b = 0; b < k; ++b) {
      if (!std::isfinite(r(i, b))) ++nonfinite_in_col[b];
    }
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t a = 0; a < k; ++a) {
    const std::size_t i_first = a >= 2 ? a - 2 : 0;
    const std::size_t i_last = std::min(a, n - 1);
    double* sa = s.row_ptr(a);
    for (std::size_t b = 0; b < k; ++b) {
      double sum = 0.0;
      std::size_t nonfinite_in_band = 0;
      for (std::size_t i = i_first; i <= i_last; ++i) {
        sum += d_band[i][a - i] * r(i, b);
        if (!std::isfinite(r(i, b))) ++nonfinite_in_band;
      }
      sa[b] = nonfinite_in_col[b] > nonfinite_in_band ? nan : sum;
    }
  }
  return s;
}

// ---------------------------------------------------------------------------------------
// B-spline second-derivative penalty.

// 10-point Gauss-Legendre rule on [-1, 1], nodes ascending.
constexpr std::array<double, 10> kGaussNodes = {
    -0.973906528517171720077964012084, -0.865063366688984510732096688423,
    -0.679409568299024406234327365115, -0.433395394129247190799265943166,
    -0.148874338981631210884826001130, 0.148874338981631210884826001130,
    0.433395394129247190799265943166,  0.679409568299024406234327365115,
    0.865063366688984510732096688423,  0.973906528517171720077964012084};
constexpr std::array<double, 10> kGaussWeights = {
    0.0666713443086881375935688098933, 0.149451349150580593145776339658,
    0.219086362515982043995534934228,  0.269266719309996355091226921569,
    0.295524224714752870173892994651,  0.295524224714752870173892994651,
    0.269266719309996355091226921569,  0.219086362515982043995534934228,
    0.149451349150580593145776339658,  0.0666713443086881375935688098933};

// Spans shorter than this contribute nothing (coincident end knots give the zero matrix).
constexpr double kMinSpanWidth = 1e-14;
// The integration range is widened by this fraction of its width on each side before the
// evenly spaced knot vector is laid out.
constexpr double kRangeMargin = 0.001;

// Second derivative of the cubic B-spline i on the knot vector t (any length L), written
// out through the degree-1 splines and the degree-0 indicators. Quotients with a
// denominator not above kSplineDenominatorFloor, or that reach past the last knot, are 0.
class SecondDerivative {
 public:
  explicit SecondDerivative(const std::vector<double>& t) : t_(t) {}

  double operator()(std::size_t i, double x) const {
    return quotient(3.0, i + 3, i) * p(i, x) - quotient(3.0, i + 4, i + 1) * p(i + 1, x);
  }

 private:
  // num / (t[hi] - t[lo]), or 0.
  double quotient(double num, std::size_t hi, std::size_t lo) const {
    if (hi >= t_.size()) return 0.0;
    const double den = t_[hi] - t_[lo];
    return std::fabs(den) <= kSplineDenominatorFloor ? 0.0 : num / den;
  }
  double indicator(std::size_t i, double x) const {
    const std::size_t l = t_.size();
    if (i + 1 >= l) return 0.0;
    if (i + 2 == l) return (t_[i] <= x && x <= t_[i + 1]) ? 1.0 : 0.0;
    return (t_[i] <= x && x < t_[i + 1]) ? 1.0 : 0.0;
  }
  double linear(std::size_t i, double x) const {
    double left = 0.0, right = 0.0;
    if (i + 1 < t_.size()) {
      const double den = t_[i + 1] - t_[i];
      if (std::fabs(den) > kSplineDenominatorFloor) left = (x - t_[i]) / den * indicator(i, x);
    }
    if (i + 2 < t_.size()) {
      const double den = t_[i + 2] - t_[i + 1];
      if (std::fabs(den) > kSplineDenominatorFloor) {
        right = (t_[i + 2] - x) / den * indicator(i + 1, x);
      }
    }
    return left + right;
  }
  double p(std::size_t i, double x) const {
    return quotient(2.0, i + 2, i) * linear(i, x) - quotient(2.0, i + 3, i + 1) * linear(i + 1, x);
  }

  const std::vector<double>& t_;
};

// Integral of B''_i B''_j over [first knot, last knot], cubic B-splines on k + 4 evenly
// spaced knots covering the range with a margin. Only the range of `knots` matters.
Matrix cubic_penalty(std::size_t k, VectorView knots) {
  const double x_lo = knots[0];
  const double x_hi = knots[knots.size - 1];
  const double r = x_hi - x_lo;
  const double a = x_lo - kRangeMargin * r;
  const double b = x_hi + kRangeMargin * r;
  const double h = (b - a) / static_cast<double>(k - 3);
  const double start = a - 3.0 * h;
  const double width = (b + 3.0 * h) - start;
  const std::size_t num_knots = k + 4;
  std::vector<double> t(num_knots);
  bool finite = true;
  for (std::size_t i = 0; i < num_knots; ++i) {
    t[i] = start + static_cast<double>(i) * width / static_cast<double>(k + 3);
    finite = finite && std::isfinite(t[i]);
  }

  // A range that is not finite (NaN or infinite knots, or an overflowing width) makes the
  // whole knot vector NaN, and with it every B'' value and every entry of the integral.
  if (!finite) return Matrix(k, k, std::numeric_limits<double>::quiet_NaN());

  Matrix s(k, k);
  const SecondDerivative d2(t);
  // Finite knots laid out this way are monotone (the rounding of start + i * w / (k + 3) is
  // monotone in i). When they increase, a point x lies in the one span s whose degree-0
  // indicator fires, and only B_{s-3} .. B_s can have a non-zero B''(x); every other B''
  // is exactly zero there, so its products add nothing and are skipped: the result equals
  // the sum over all pairs, in the same order, at O(k) instead of O(k^3) cost. When they
  // decrease (last knot before the first), every span fails the tests below and S is zero.
  for (std::size_t m = 0; m + 1 < num_knots; ++m) {
    if (t[m] >= x_hi || t[m + 1] <= x_lo) continue;
    const double lo = std::max(t[m], x_lo);
    const double hi = std::min(t[m + 1], x_hi);
    if (hi - lo < kMinSpanWidth) continue;
    for (std::size_t q = 0; q < kGaussNodes.size(); ++q) {
      const double xq = lo + (hi - lo) / 2.0 * (kGaussNodes[q] + 1.0);
      // The span whose indicator fires at xq: t[s] <= xq < t[s + 1], or the closed last span.
      const auto above = std::upper_bound(t.begin(), t.end(), xq);
      if (above == t.begin()) continue;
      std::size_t span = static_cast<std::size_t>(above - t.begin()) - 1;
      if (span + 1 == num_knots) {
        if (xq != t[num_knots - 1]) continue;
        span = num_knots - 2;
      }
      const std::size_t first = span >= 3 ? span - 3 : 0;
      const std::size_t last = std::min(span, k - 1);
      std::array<double, 4> value{};
      for (std::size_t i = first; i <= last; ++i) value[i - first] = d2(i, xq);
      const double w = kGaussWeights[q];
      for (std::size_t i = first; i <= last; ++i) {
        for (std::size_t j = i; j <= last; ++j) {
          s(i, j) += (hi - lo) * (w * value[i - first] * value[j - first] * 0.5);
        }
      }
    }
  }
  // Accumulated on the upper triangle only, so the mirror is exactly symmetric.
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i + 1; j < k; ++j) s(j, i) = s(i, j);
  }
  return s;
}

// Zero except for ones on the diagonal from position 2 on.
Matrix diagonal_penalty(std::size_t k) {
  Matrix s(k, k);
  for (std::size_t i = 2; i < k; ++i) s(i, i) = 1.0;
  return s;
}

enum class PenaltyKind { CubicRegression, Cubic, Diagonal };


// The argument checks; the size cap only with `size_cap`.
Result<PenaltyKind> checked_kind(std::string_view basis_type, std::size_t num_basis,
                                 VectorView knots, bool size_cap) {
  PenaltyKind kind;
  if (basis_type == "cr" || basis_type == "cubic_regression") {
    kind = PenaltyKind::CubicRegression;
  } else if (basis_type == "cubic") {
    kind = PenaltyKind::Cubic;
  } else if (basis_type == "tps" || basis_type == "thin_plate") {
    kind = PenaltyKind::Diagonal;
  } else {
    return fail(GamError::invalid_parameter(
        diag::format("Unknown basis type: {}", {basis_type})));
  }

  if (kind == PenaltyKind::CubicRegression && knots.size != num_basis) {
    return fail(GamError::invalid_parameter(diag::format(
        "Number of knots ({}) must equal number of basis functions ({}) for cr splines",
        {knots.size, num_basis})));
  }
  if (kind == PenaltyKind::Cubic) {
    if (knots.size < 2) {
      return fail(GamError::invalid_parameter("Need at least 2 knots for penalty matrix"));
    }
    // The interior spacing divides the range into k - 3 spans.
    if (num_basis < 4) {
      return fail(GamError::invalid_parameter(diag::format(
          "The cubic penalty needs at least 4 basis functions, got {}", {num_basis})));
    }
  }
  if (size_cap && num_basis > kMaxBasisFunctions) {
    return fail(GamError::invalid_parameter(
        diag::format("Number of basis functions ({}) exceeds the supported maximum of {}",
                     {num_basis, kMaxBasisFunctions})));
  }
  return kind;
}

}  // namespace

Status check_penalty_request(std::string_view basis_type, std::size_t num_basis,
                             VectorView knots) {
  auto kind = checked_kind(basis_type, num_basis, knots, /*size_cap=*/false);
  if (!kind) return fail(std::move(kind.error()));
  return {};
}

Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t num_basis,
                                      VectorView knots) {
  auto checked = checked_kind(basis_type, num_basis, knots, /*size_cap=*/true);
  if (!checked) return fail(std::move(checked.error()));
  const PenaltyKind kind = *checked;
  switch (kind) {
    case PenaltyKind::CubicRegression: return cr_penalty(num_basis, knots);
    case PenaltyKind::Cubic: return cubic_penalty(num_basis, knots);
    case PenaltyKind::Diagonal: return diagonal_penalty(num_basis);
  }
  return fail(GamError::invalid_parameter("Unknown basis type"));
}

}  // namespace velkan
