#include "velkan_core/smooth/cubic_regression_spline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "diag/format.h"
#include "velkan_core/smooth/penalty.h"

namespace velkan {

namespace {

// Coefficients b, c, d of the natural cubic spline through (t_m, a_m), a = e_j, on every
// interval, by the tridiagonal recurrence with natural end conditions (c_0 = c_{k-1} = 0).
// Written out exactly as the per-point recurrence would run, so evaluating from these
// coefficients gives the same values bit for bit.
void natural_spline_coefficients(const Vector& t, std::size_t j, std::vector<double>& b,
                                 std::vector<double>& c, std::vector<double>& d) {
  const std::size_t k = t.size();
  auto a = [j](std::size_t m) { return m == j ? 1.0 : 0.0; };
  std::vector<double> h(k - 1), mu(k, 0.0), z(k, 0.0);
  for (std::size_t m = 0; m + 1 < k; ++m) h[m] = t[m + 1] - t[m];
  for (std::size_t m = 1; m + 1 < k; ++m) {
    const double alpha = 3.0 * (a(m + 1) - a(m)) / h[m] - 3.0 * (a(m) - a(m - 1)) / h[m - 1];
    const double l = 2.0 * (h[m - 1] + h[m]) - h[m - 1] * mu[m - 1];
    mu[m] = h[m] / l;
    z[m] = (alpha - h[m - 1] * z[m - 1]) / l;
  }
  c.assign(k, 0.0);
  for (std::size_t m = k - 1; m-- > 0;) c[m] = z[m] - mu[m] * c[m + 1];
  b.assign(k - 1, 0.0);
  d.assign(k - 1, 0.0);
  for (std::size_t m = 0; m + 1 < k; ++m) {
    b[m] = (a(m + 1) - a(m)) / h[m] - h[m] * (c[m + 1] + 2.0 * c[m]) / 3.0;
    d[m] = (c[m + 1] - c[m]) / (3.0 * h[m]);
  }
}

}  // namespace

CubicRegressionSpline::CubicRegressionSpline(Vector knots) : knots_(std::move(knots)) {
  const std::size_t k = knots_.size();
  if (k < 2) return;
  coef_.assign(3 * (k - 1) * k, 0.0);
  std::vector<double> b, c, d;
  for (std::size_t j = 0; j < k; ++j) {
    natural_spline_coefficients(knots_, j, b, c, d);
    for (std::size_t i = 0; i + 1 < k; ++i) {
      coef_[(3 * i + 0) * k + j] = b[i];
      coef_[(3 * i + 1) * k + j] = c[i];
      coef_[(3 * i + 2) * k + j] = d[i];
    }
  }
}

Result<Matrix> CubicRegressionSpline::evaluate(VectorView x) const {
  Matrix out(x.size, knots_.size());
  if (auto ok = evaluate_into(x, out.data(), out.cols()); !ok) return fail(ok.error());
  return out;
}

Status CubicRegressionSpline::evaluate_into(VectorView x, double* out,
                                            std::size_t row_stride) const {
  const std::size_t k = knots_.size();
  const std::size_t n = x.size;
  if (k == 0) return {};
  const double* t = knots_.data();
  const double nan = std::numeric_limits<double>::quiet_NaN();

  for (std::size_t p = 0; p < n; ++p) {
    const double xp = x[p];
    double* row = out + p * row_stride;
    if (k == 1) {
      // One knot: the interpolating natural spline is the constant 1.
      row[0] = std::isnan(xp) ? nan : 1.0;
      continue;
    }
    if (xp < t[0]) {
      // Along the secant through the first two knot values. Every function is computed
      // by the formula, not only the two non-zero ones, so that coincident knots give the
      // same non-finite row the formula does instead of silent zeros.
      for (std::size_t j = 0; j < k; ++j) {
        const double a0 = j == 0 ? 1.0 : 0.0;
        const double a1 = j == 1 ? 1.0 : 0.0;
        row[j] = a0 + (xp - t[0]) * (a1 - a0) / (t[1] - t[0]);
      }
    } else if (xp > t[k - 1]) {
      // Along the secant through the last two knot values.
      for (std::size_t j = 0; j < k; ++j) {
        const double al = j == k - 1 ? 1.0 : 0.0;
        const double ap = j == k - 2 ? 1.0 : 0.0;
        row[j] = al + (xp - t[k - 1]) * (al - ap) / (t[k - 1] - t[k - 2]);
      }
    } else if (t[0] <= xp && xp <= t[k - 1]) {
      // The first interval i with t_i <= x <= t_{i+1}: the first right end t_{i+1} >= x.
      const std::size_t i = static_cast<std::size_t>(std::lower_bound(t + 1, t + k, xp) - t) - 1;
      const double u = xp - t[i];
      const double* b = coef_.data() + (3 * i + 0) * k;
      const double* c = coef_.data() + (3 * i + 1) * k;
      const double* d = coef_.data() + (3 * i + 2) * k;
      // Value a_j + u b + u (u c) + u (u (u d)) with a_j = [j == i]. For j != i the
      // leading 0 + u b is u b exactly, so the loop runs without it (and vectorises);
      // the one function with a_i = 1 is then redone in full.
      for (std::size_t j = 0; j < k; ++j) {
        row[j] = u * b[j] + u * (u * c[j]) + u * (u * (u * d[j]));
      }
      row[i] = 1.0 + u * b[i] + u * (u * c[i]) + u * (u * (u * d[i]));
    } else {
      // NaN point (or NaN knots): no interval and no side applies.
      std::fill(row, row + k, nan);
    }
  }
  return {};
}

Result<SmoothTerm> new_cr_smooth(std::string name, std::size_t k, double x_min, double x_max) {
  if (k < 2) {
    return fail(GamError::invalid_parameter(diag::format(
        "A cr smooth needs at least 2 basis functions, got {}", {k})));
  }
  if (k > kMaxBasisFunctions) {
    return fail(GamError::invalid_parameter(
        diag::format("Number of basis functions ({}) exceeds the supported maximum of {}",
                     {k, kMaxBasisFunctions})));
  }
  if (!std::isfinite(x_min) || !std::isfinite(x_max) || x_min > x_max) {
    return fail(GamError::invalid_parameter(diag::format(
        "A cr smooth needs a finite data range, got minimum {} and maximum {}",
        {x_min, x_max})));
  }

  const double step = (x_max - x_min) / static_cast<double>(k - 1);
  Vector knots(k);
  for (std::size_t i = 0; i < k; ++i) knots[i] = x_min + static_cast<double>(i) * step;

  auto penalty = compute_penalty_matrix("cr", k, knots.view());
  if (!penalty) return fail(penalty.error());

  SmoothTerm term;
  term.name = std::move(name);
  term.basis = std::make_unique<CubicRegressionSpline>(std::move(knots));
  term.penalty = std::move(*penalty);
  return term;
}

}  // namespace velkan
