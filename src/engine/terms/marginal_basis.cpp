#include "engine/terms/marginal_basis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>
#include "diag/format.h"

#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "splines/natural_cubic_spline.h"

namespace velkan::terms {

namespace {

Result<void> check_knots(BasisKind kind, std::size_t k, VectorView knots) {
  const std::size_t expected = kind == BasisKind::PSpline        ? 2
                               : kind == BasisKind::CubicRegression ? k
                                                                    : k + 1;
  if (knots.size != expected) {
    return fail(GamError::invalid_parameter(
        diag::format("a \"{}\" basis of size {} needs {} knots, got {}", basis_name(kind), k,
                    expected, knots.size)));
  }
  for (std::size_t i = 0; i < knots.size; ++i) {
    if (!std::isfinite(knots[i])) {
      return fail(GamError::invalid_parameter(
          diag::format("knot {} of a \"{}\" basis is not finite", i, basis_name(kind))));
    }
    // Strictly increasing, with a spacing the arithmetic can resolve: the interval
    // formulas divide by it and the B-spline grid by a fraction of it.
    if (i > 0 && !(knots[i] - knots[i - 1] >
                   1e-12 * std::max(std::abs(knots[i]), std::abs(knots[i - 1])))) {
      return fail(GamError::invalid_parameter(diag::format(
          "the knots of a \"{}\" basis must be strictly increasing and distinguishable "
          "(knots {} and {} are {} and {})",
          basis_name(kind), i - 1, i, knots[i - 1], knots[i])));
    }
  }
  return {};
}

// Second-order difference penalty D'D, D the (k - 2) x k matrix of rows [1, -2, 1].
Matrix difference_penalty(std::size_t k) {
  Matrix s(k, k);
  const double d[3] = {1.0, -2.0, 1.0};
  for (std::size_t r = 0; r + 2 < k; ++r) {
    for (std::size_t a = 0; a < 3; ++a) {
      for (std::size_t b = 0; b < 3; ++b) s(r + a, r + b) += d[a] * d[b];
    }
  }
  return s;
}

}  // namespace

std::optional<BasisKind> parse_basis(std::string_view name) {
  if (name == "ps") return BasisKind::PSpline;
  if (name == "cr") return BasisKind::CubicRegression;
  if (name == "cc") return BasisKind::CyclicCubic;
  return std::nullopt;
}

const char* basis_name(BasisKind kind) {
  switch (kind) {
    case BasisKind::PSpline: return "ps";
    case BasisKind::CubicRegression: return "cr";
    case BasisKind::CyclicCubic: return "cc";
  }
  return "?";
}

std::size_t min_basis_size(BasisKind kind) { return kind == BasisKind::PSpline ? 4 : 3; }

std::span<const MarginalKindInfo> marginal_kinds() {
  static constexpr std::array<MarginalKindInfo, 3> kinds{{
      {BasisKind::PSpline, "ps", 4, false, false, true},
      {BasisKind::CubicRegression, "cr", 3, true, false, false},
      {BasisKind::CyclicCubic, "cc", 3, false, true, false},
  }};
  return kinds;
}

namespace {

// n evenly spaced values from start to stop, both included, computed as NumPy's linspace
// computes them (i * step + start, the last set to stop), so that knots placed here and
// by NumPy agree to the bit.
Vector linspace(double start, double stop, std::size_t n) {
  Vector y(n);
  if (n == 0) return y;
  const double div = static_cast<double>(n - 1);
  const double delta = stop - start;
  const double step = n > 1 ? delta / div : 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double fi = static_cast<double>(i);
    y[i] = (step == 0.0 && n > 1 ? (fi / div) * delta : fi * step) + start;
  }
  if (n > 1) y[n - 1] = stop;
  return y;
}

// The quantile of sorted values at probability q by linear interpolation between order
// statistics, with NumPy's arithmetic (its default method).
double quantile(VectorView sorted, double q) {
  const std::size_t n = sorted.size;
  const double v = static_cast<double>(n - 1) * q;
  if (v >= static_cast<double>(n - 1)) return sorted[n - 1];
  const double lower = std::floor(v);
  const auto i = static_cast<std::size_t>(lower);
  const double a = sorted[i], b = sorted[i + 1], t = v - lower;
  const double diff = b - a;
  return t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
}

}  // namespace

Result<Vector> place_knots(BasisKind kind, std::size_t k, double lo, double hi,
                           VectorView distinct, VectorView period, std::string_view what,
                           std::string_view label, bool default_size) {
  if (!(hi - lo > kRangeResolution * std::max(std::abs(lo), std::abs(hi))) || !(hi > lo)) {
    return fail(GamError::invalid_parameter(diag::format(
        "{}: column {} is constant (every value is {}) and cannot carry a smooth", what, label,
        lo)));
  }
  switch (kind) {
    case BasisKind::PSpline: {
      Vector knots(2);
      knots[0] = lo;
      knots[1] = hi;
      return knots;
    }
    case BasisKind::CubicRegression: {
      if (distinct.size < k) {
        return fail(GamError::invalid_parameter(diag::format(
            "{}: bs='cr' with k={} needs at least {} distinct values in column {}; it has {}",
            what, k, k, label, distinct.size)));
      }
      const Vector q = linspace(0.0, 1.0, k);
      Vector knots(k);
      for (std::size_t i = 0; i < k; ++i) knots[i] = quantile(distinct, q[i]);
      if (!default_size) return knots;
      const double gap = (knots[k - 1] - knots[0]) / static_cast<double>(distinct.size - 1);
      return thin_knots(knots.view(), kDefaultKnotSpacing * gap, min_basis_size(kind));
    }
    case BasisKind::CyclicCubic: {
      double start = lo, end = hi;
      if (period.size == 1) end = lo + period[0];
      if (period.size == 2) {
        start = period[0];
        end = period[1];
      }
      if (!(end > start) || !std::isfinite(start) || !std::isfinite(end)) {
        return fail(GamError::invalid_parameter(diag::format(
            "{}: the period must end after it starts, got [{}, {}]", what, start, end)));
      }
      return linspace(start, end, k + 1);
    }
  }
  return fail(GamError::invalid_parameter("unknown basis"));
}

Vector thin_knots(VectorView knots, double least, std::size_t min_size) {
  const std::size_t k = knots.size;
  const double first = knots[0], last = knots[k - 1];
  const double bound = least * (1.0 - 1e-9);
  std::vector<double> kept{first};
  for (std::size_t i = 1; i + 1 < k; ++i) {
    if (knots[i] - kept.back() >= bound && last - knots[i] >= bound) kept.push_back(knots[i]);
  }
  kept.push_back(last);
  if (kept.size() < min_size) return Vector::from(knots);
  Vector out(kept.size());
  std::copy(kept.begin(), kept.end(), out.data());
  return out;
}

Result<MarginalBasis> MarginalBasis::create(BasisKind kind, std::size_t k, VectorView knots) {
  if (k < min_basis_size(kind) || k > kMaxTermWidth) {
    return fail(GamError::invalid_parameter(
        diag::format("a \"{}\" basis needs between {} and {} functions, got {}",
                    basis_name(kind), min_basis_size(kind), kMaxTermWidth, k)));
  }
  if (auto ok = check_knots(kind, k, knots); !ok) return fail(ok.error());

  MarginalBasis b;
  b.kind_ = kind;
  b.k_ = k;
  b.knots_ = Vector::from(knots);
  if (kind == BasisKind::PSpline) {
    b.intervals_ = k - 3;
    b.spacing_ = (knots[1] - knots[0]) / static_cast<double>(b.intervals_);
    b.penalty_ = difference_penalty(k);
    b.rank_ = k - 2;
  } else if (auto ok = b.set_regression_penalty(); !ok) {
    return fail(ok.error());
  }
  if (auto ok = b.set_penalty_root(); !ok) return fail(ok.error());
  return b;
}

// Natural or periodic cubic spline through the knot values beta: its second derivatives
// g at the knots solve B g = D beta (continuity of the first derivative at each interior,
// or every, knot), and its integrated squared second derivative is beta' D' B^-1 D beta.
Status MarginalBasis::set_regression_penalty() {
  const std::size_t k = k_;
  const VectorView knots = knots_.view();
  const bool cyclic = kind_ == BasisKind::CyclicCubic;
  const std::size_t m = cyclic ? k : k - 2;  // equations
  std::vector<double> h(cyclic ? k : k - 1);
  Matrix bm(m, m), dm(m, k);
  if (!cyclic) {
    // The natural spline's bands, as velkan_core's cr penalty builds them.
    const NaturalSplineSystem sys = natural_spline_system(knots);
    h = sys.h;
    for (std::size_t i = 0; i < m; ++i) {
      bm(i, i) = sys.b_diag[i];
      if (i + 1 < m) bm(i, i + 1) = bm(i + 1, i) = sys.b_off[i];
      for (std::size_t a = 0; a < 3; ++a) dm(i, i + a) = sys.d[i][a];
    }
  } else {
    for (std::size_t j = 0; j < h.size(); ++j) h[j] = knots[j + 1] - knots[j];
    // At every knot c, with neighbours l and r around the period: the same equations.
    for (std::size_t c = 0; c < m; ++c) {
      const std::size_t l = (c + k - 1) % k, r = (c + 1) % k;
      const double hl = h[l], hr = h[c];
      bm(c, c) += (hl + hr) / 3.0;
      bm(c, l) += hl / 6.0;
      bm(c, r) += hr / 6.0;
      dm(c, l) += 1.0 / hl;
      dm(c, c) -= 1.0 / hl + 1.0 / hr;
      dm(c, r) += 1.0 / hr;
    }
  }
  auto binv = inverse(bm.view());
  if (!binv) return fail(binv.error());
  const Matrix f = matmul(binv->view(), dm.view());  // m x k
  second_ = Matrix(k, k);
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t row = cyclic ? i : i + 1;
    for (std::size_t j = 0; j < k; ++j) second_(row, j) = f(i, j);
  }
  Matrix s = matmul(dm.t(), f.view());
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const double v = 0.5 * (s(i, j) + s(j, i));
      s(i, j) = v;
      s(j, i) = v;
    }
  }
  penalty_ = std::move(s);
  rank_ = cyclic ? k - 1 : k - 2;
  if (!cyclic) set_end_slopes(h.front(), h.back());
  return {};
}

// The slopes at both ends as rows over the coefficients (the natural spline's tangents).
void MarginalBasis::set_end_slopes(double h0, double hn) {
  const std::size_t k = k_;
  slope_lo_ = Vector(k);
  slope_hi_ = Vector(k);
  for (std::size_t j = 0; j < k; ++j) {
    slope_lo_[j] = -h0 * (2.0 * second_(0, j) + second_(1, j)) / 6.0;
    slope_hi_[j] = hn * (second_(k - 2, j) + 2.0 * second_(k - 1, j)) / 6.0;
  }
  slope_lo_[0] -= 1.0 / h0;
  slope_lo_[1] += 1.0 / h0;
  slope_hi_[k - 2] -= 1.0 / hn;
  slope_hi_[k - 1] += 1.0 / hn;
}

// The penalty's eigenvalues (its known null space exactly zero) and a square root of it.
Status MarginalBasis::set_penalty_root() {
  const std::size_t k = k_;
  auto eig = symmetric_eigen(penalty_.view());
  if (!eig) {
    return fail(GamError::linalg_error("penalty eigen-decomposition failed: " + eig.error().debug()));
  }
  eigenvalues_ = std::move(eig->values);
  // The null space is known exactly; its computed eigenvalues are rounding noise.
  for (std::size_t i = 0; i < k - rank_; ++i) eigenvalues_[i] = 0.0;
  root_ = Matrix(rank_, k);
  for (std::size_t r = 0; r < rank_; ++r) {
    const std::size_t c = k - rank_ + r;
    const double sq = std::sqrt(eigenvalues_[c]);
    for (std::size_t j = 0; j < k; ++j) root_(r, j) = sq * eig->vectors(j, c);
  }
  return {};
}

MarginalBasis MarginalBasis::held_at_ends() const {
  MarginalBasis b = *this;
  b.held_ = kind_ != BasisKind::CyclicCubic;
  return b;
}

void MarginalBasis::evaluate(double x, double* out) const {
  std::fill(out, out + k_, 0.0);
  if (held_) x = std::clamp(x, knots_[0], knots_[kind_ == BasisKind::PSpline ? 1 : k_ - 1]);
  switch (kind_) {
    case BasisKind::PSpline: evaluate_pspline(x, out); return;
    case BasisKind::CubicRegression: evaluate_natural(x, out); return;
    case BasisKind::CyclicCubic: evaluate_cyclic(x, out); return;
  }
}

void MarginalBasis::evaluate_pspline(double x, double* out) const {
  const double lo = knots_[0], hi = knots_[1];
  if (x < lo || x > hi) {
    // Tangent at the nearer end: at u = 0 of the first interval the four non-zero
    // functions are (1, 4, 1, 0) / 6 with slopes (-1, 0, 1, 0) / (2 h); the last interval
    // at u = 1 mirrors this.
    const double inv = 1.0 / spacing_;
    if (x < lo) {
      const double d = x - lo;
      out[0] = 1.0 / 6.0 - 0.5 * d * inv;
      out[1] = 4.0 / 6.0;
      out[2] = 1.0 / 6.0 + 0.5 * d * inv;
    } else {
      const double d = x - hi;
      out[k_ - 3] = 1.0 / 6.0 - 0.5 * d * inv;
      out[k_ - 2] = 4.0 / 6.0;
      out[k_ - 1] = 1.0 / 6.0 + 0.5 * d * inv;
    }
    return;
  }
  const double v = (x - lo) / spacing_;
  auto s = static_cast<std::size_t>(v);
  if (s >= intervals_) s = intervals_ - 1;
  const double u = std::min(v - static_cast<double>(s), 1.0);
  const double u2 = u * u, u3 = u2 * u, w = 1.0 - u;
  out[s] = w * w * w / 6.0;
  out[s + 1] = (3.0 * u3 - 6.0 * u2 + 4.0) / 6.0;
  out[s + 2] = (-3.0 * u3 + 3.0 * u2 + 3.0 * u + 1.0) / 6.0;
  out[s + 3] = u3 / 6.0;
}

void MarginalBasis::interval_row(double x, std::size_t j, std::size_t next, double* out) const {
  const double h = knots_[j + 1] - knots_[j];
  const double am = (knots_[j + 1] - x) / h;
  const double ap = (x - knots_[j]) / h;
  const double cm = h * h * (am * am * am - am) / 6.0;
  const double cp = h * h * (ap * ap * ap - ap) / 6.0;
  const double* gm = second_.row_ptr(j);
  const double* gp = second_.row_ptr(next);
  for (std::size_t i = 0; i < k_; ++i) out[i] = cm * gm[i] + cp * gp[i];
  // Written whole rather than added to: no read of what the loop just stored.
  out[j] = cm * gm[j] + cp * gp[j] + am;
  out[next] = cm * gm[next] + cp * gp[next] + ap;
}

// The knot interval of x in [t_0, t_last]: the number of knots t_1 .. t_{last - 1} at or
// below x, counted without branches while the knots are few.
std::size_t MarginalBasis::knot_interval(double x, std::size_t last) const {
  const double* t = knots_.data();
  if (last <= 32) {
    std::size_t j = 0;
    for (std::size_t i = 1; i < last; ++i) j += t[i] <= x ? 1 : 0;
    return j;
  }
  const auto j = static_cast<std::size_t>(std::upper_bound(t, t + last + 1, x) - t);
  return j == 0 ? 0 : std::min(j - 1, last - 1);
}

void MarginalBasis::evaluate_natural(double x, double* out) const {
  const double lo = knots_[0], hi = knots_[k_ - 1];
  if (x < lo) {
    for (std::size_t i = 0; i < k_; ++i) out[i] = (x - lo) * slope_lo_[i];
    out[0] += 1.0;
    return;
  }
  if (x > hi) {
    for (std::size_t i = 0; i < k_; ++i) out[i] = (x - hi) * slope_hi_[i];
    out[k_ - 1] += 1.0;
    return;
  }
  const std::size_t j = knot_interval(x, k_ - 1);
  interval_row(x, j, j + 1, out);
}

void MarginalBasis::evaluate_cyclic(double x, double* out) const {
  const double lo = knots_[0];
  const double period = knots_[k_] - lo;
  double y = x - lo;
  y -= period * std::floor(y / period);
  if (!(y < period)) y = 0.0;  // rounding at the period's end
  if (y < 0.0) y = 0.0;
  const double xw = lo + y;
  const std::size_t j = knot_interval(xw, k_);
  interval_row(xw, j, (j + 1) % k_, out);
}

}  // namespace velkan::terms
