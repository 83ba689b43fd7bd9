#include "engine/terms/thin_plate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "diag/format.h"
#include "engine/terms/registry.h"
#include "linalg/factorizations.h"
#include "linalg/lapack.h"
#include "linalg/products.h"

namespace velkan::terms {

namespace {

using lapack::lapack_int;

// Rows evaluated at a time: their radial functions are one (rows x N) buffer.
constexpr std::size_t kRadialRows = 64;
// Eigenvalues of the truncated penalty below this fraction of the largest are rounding.
constexpr double kPenaltyFloor = 1e-12;

// eta(r) from r^2, and eta'(r) / r (the factor of x - x_i in the gradient), for d = 1, 2, 3.
double radial(std::size_t d, double r2) {
  if (r2 <= 0.0) return 0.0;
  switch (d) {
    case 1: return r2 * std::sqrt(r2) / 12.0;
    case 2: return r2 * std::log(r2) / (16.0 * std::numbers::pi);
    default: return -std::sqrt(r2) / (8.0 * std::numbers::pi);
  }
}

// log(x) for the radial functions of rows, branch-free so that a loop of it vectorizes:
// x = m 2^e with m in [sqrt(1/2), sqrt(2)), log m = 2 atanh(s), s = (m - 1) / (m + 1),
// |s| <= 0.172, summed to s^23 (the next term is below 1e-19 of the sum). Within a few
// ulp of std::log for positive normal x; at infinity finite, at NaN anything.
double log_normal(double x) {
  constexpr std::uint64_t kHalfRoot2 = 0x3fe6a09e667f3bcdULL;  // sqrt(1/2)
  constexpr std::uint64_t kOne = 0x3ff0000000000000ULL;        // 1.0: the exponent's bias
  const std::uint64_t shifted = std::bit_cast<std::uint64_t>(x) - kHalfRoot2 + kOne;
  const std::uint64_t biased = shifted >> 52;  // e + 1023
  const double m = std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) - (biased << 52) + kOne);
  // e as a double without an integer conversion (exact: biased < 2^11).
  const double e = std::bit_cast<double>(biased | 0x4330000000000000ULL) - 4503599627370496.0 - 1023.0;
  const double s = (m - 1.0) / (m + 1.0), z = s * s;
  double sum = 1.0 / 23.0;
  sum = sum * z + 1.0 / 21.0;
  sum = sum * z + 1.0 / 19.0;
  sum = sum * z + 1.0 / 17.0;
  sum = sum * z + 1.0 / 15.0;
  sum = sum * z + 1.0 / 13.0;
  sum = sum * z + 1.0 / 11.0;
  sum = sum * z + 1.0 / 9.0;
  sum = sum * z + 1.0 / 7.0;
  sum = sum * z + 1.0 / 5.0;
  sum = sum * z + 1.0 / 3.0;
  sum = sum * z + 1.0;
  constexpr double kLn2High = 0x1.62e42fefa3800p-1, kLn2Low = 0x1.ef35793c76730p-45;
  return e * kLn2High + (e * kLn2Low + 2.0 * s * sum);
}

// The two-column radial functions r^2 log(r^2) / (16 pi) of the point (x0, x1) against n
// points (c0, c1). The log is taken of r^2 plus the smallest normal: exact from r^2 =
// 1e-292 on, a term below 1e-305 beneath it, 0 at r = 0 (plus 0.0 for the sign). Infinity
// gives a finite log (the factor r^2 keeps the infinity), NaN stays NaN. With GCC on
// x86-64 Linux compiled twice, for processors with and without 256-bit vectors, the one to
// use chosen at load (an indirect function, which needs the GNU loader); elsewhere once.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define VELKAN_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VELKAN_VECTOR_CLONES
#endif
VELKAN_VECTOR_CLONES
void plane_radials(double x0, double x1, const double* c0, const double* c1, std::size_t n,
                   double* e) {
  constexpr double kScale = 1.0 / (16.0 * std::numbers::pi);
  constexpr double kLeast = std::numeric_limits<double>::min();
  for (std::size_t k = 0; k < n; ++k) {
    const double d0 = x0 - c0[k], d1 = x1 - c1[k];
    const double r2 = d0 * d0 + d1 * d1;
    e[k] = r2 * kScale * log_normal(r2 + kLeast) + 0.0;
  }
}

double radial_slope(std::size_t d, double r2) {
  if (r2 <= 0.0) return 0.0;
  switch (d) {
    case 1: return std::sqrt(r2) / 4.0;
    case 2: return (std::log(r2) + 1.0) / (8.0 * std::numbers::pi);
    default: return -1.0 / (8.0 * std::numbers::pi * std::sqrt(r2));
  }
}

class ThinPlate final : public TermBasis {
 public:
  explicit ThinPlate(TermSpec spec) : TermBasis(std::move(spec)) {
    d_ = this->spec().columns.size();
    n_ = this->spec().points.rows();
    r_ = this->spec().transform.cols();
    if (d_ == 1) set_pieces();
    coords_.resize(d_ * n_);
    for (std::size_t a = 0; a < d_; ++a)
      for (std::size_t k = 0; k < n_; ++k) coords_[a * n_ + k] = this->spec().points(k, a);
  }
  std::size_t width() const override { return spec().k; }
  // Held at its ends: a point outside the box takes the row of its clamped point.
  std::shared_ptr<const TermBasis> held_at_ends() const override {
    auto held = std::make_shared<ThinPlate>(spec());
    held->held_ = true;
    return held;
  }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override;
  bool tabulable() const override { return true; }
  // The wiggliness penalty (diagonal on the radial columns) and, with select, the
  // projection onto the polynomial columns (its null space).
  std::size_t penalty_count() const override { return spec().select ? 2 : 1; }
  Matrix penalty(std::size_t j) const override {
    Matrix s(width(), width());
    if (j == 1) {
      for (std::size_t i = r_; i < width(); ++i) s(i, i) = 1.0;
      return s;
    }
    for (std::size_t i = 0; i < r_; ++i) s(i, i) = spec().penalty_values[i];
    return s;
  }
  Matrix penalty_root(std::size_t j) const override {
    if (j == 1) {
      Matrix e(d_ + 1, width());
      for (std::size_t i = 0; i <= d_; ++i) e(i, r_ + i) = 1.0;
      return e;
    }
    Matrix e(r_, width());
    for (std::size_t i = 0; i < r_; ++i) e(i, i) = std::sqrt(spec().penalty_values[i]);
    return e;
  }
  // log|lambda S|_+ = rank rho + const for each penalty: their ranges are orthogonal.
  void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const override {
    add_ranks(d_ + 1, rho, first, out);
  }
  void add_constrained_log_determinant(const TermConstraint& c, VectorView rho, std::size_t first,
                                       LogDeterminant& out) const override {
    add_ranks(c.empty() ? d_ + 1 : d_, rho, first, out);
  }
  std::size_t null_space_dimension() const override { return spec().select ? 0 : d_ + 1; }
  std::size_t constrained_null_space_dimension(const TermConstraint& c) const override {
    return spec().select ? 0 : (c.empty() ? d_ + 1 : d_);
  }
  bool centred() const override { return true; }
  std::vector<PenaltyBlock> constrained_penalties(const TermConstraint& c) const override;

 private:
  // Standardised coordinates of row `row`, clamped to the box; `step` gets x - clamp(x).
  bool standardised(std::span<const VectorView> columns, std::size_t row, double* x,
                    double* step) const;
  void tangent_row(const double* x, const double* step, double* out) const;
  // e[k] = eta(|x - x_k|) for every point (NaN where x is NaN).
  void radial_row(const double* x, double* e) const;

  // One column: the radial columns are cubic splines with knots at the points, so each is
  // stored as one cubic per interval between consecutive points (in u = x - the
  // interval's left end), which makes a row O(log N + k) instead of O(N k).
  void set_pieces();
  std::size_t interval(double x) const;
  Status evaluate_one_column(VectorView column, std::size_t first, std::size_t count, double* out,
                             std::size_t stride) const;

  std::vector<double> breaks_;  // sorted points (standardised)
  std::vector<double> search_breaks_;  // the same, then two infinities
  // (N + 1) intervals x 4 powers x r columns: a power's coefficients of all columns are
  // adjacent, so a row's cubics are evaluated for all columns at once.
  std::vector<double> pieces_;
  // The interval search starts from guide_[cell] for x in cell (x - guide_origin_) *
  // guide_scale_ of an even grid over the points: a few comparisons instead of a bisection.
  std::vector<std::uint32_t> guide_;
  double guide_origin_ = 0.0, guide_scale_ = 0.0, lo_ = 0.0;

  void add_ranks(std::size_t null_rank, VectorView rho, std::size_t first, LogDeterminant& out) const {
    out.value += static_cast<double>(r_) * rho[first];
    out.gradient[first] += static_cast<double>(r_);
    if (!spec().select) return;
    out.value += static_cast<double>(null_rank) * rho[first + 1];
    out.gradient[first + 1] += static_cast<double>(null_rank);
  }

  std::size_t d_ = 0, n_ = 0, r_ = 0;
  bool held_ = false;
  std::vector<double> coords_;  // the points' coordinates, axis by axis (d x N)
};

// Interval j lies between breaks_[j - 1] and breaks_[j] (the first and last reach to the
// box); on it |x - x_i|^3 = s_i (u + t_i)^3 with u = x - left end, t_i = left end - x_i,
// s_i = +1 for points left of the interval and -1 for the others. Each coefficient is
// summed directly from the points (O(N^2 r) once), not from prefix sums that would cancel.
void ThinPlate::set_pieces() {
  const TermSpec& s = spec();
  std::vector<std::size_t> order(n_);
  for (std::size_t i = 0; i < n_; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return s.points(a, 0) < s.points(b, 0); });
  breaks_.resize(n_);
  for (std::size_t i = 0; i < n_; ++i) breaks_[i] = s.points(order[i], 0);
  const double lo = (s.box[0] - s.standardise[0]) / s.standardise[1];
  pieces_.assign((n_ + 1) * r_ * 4, 0.0);
  for (std::size_t j = 0; j <= n_; ++j) {
    const double left = j == 0 ? std::min(lo, breaks_[0]) : breaks_[j - 1];
    double* piece = pieces_.data() + j * r_ * 4;
    for (std::size_t k = 0; k < n_; ++k) {
      const std::size_t i = order[k];
      const double t = left - s.points(i, 0), sign = k < j ? 1.0 : -1.0;
      const double powers[4] = {t * t * t, 3.0 * t * t, 3.0 * t, 1.0};
      for (std::size_t c = 0; c < r_; ++c) {
        const double w = sign * s.transform(i, c) / 12.0;
        for (std::size_t e = 0; e < 4; ++e) piece[e * r_ + c] += w * powers[e];
      }
    }
  }
  lo_ = lo;
  const std::size_t cells = 4 * n_ + 4;
  const double span = breaks_.back() - breaks_.front();
  guide_origin_ = breaks_.front();
  guide_scale_ = span > 0.0 ? static_cast<double>(cells) / span : 0.0;
  guide_.assign(cells, 0);
  search_breaks_ = breaks_;
  search_breaks_.resize(n_ + 2, std::numeric_limits<double>::infinity());
  std::size_t j = 0;
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const double start = guide_origin_ + static_cast<double>(cell) / guide_scale_;
    while (j < n_ && breaks_[j] <= start) ++j;
    guide_[cell] = static_cast<std::uint32_t>(j);
  }
}

// The number of points at or left of x: its interval. The guide's start is at most a
// point or two off (rarely more, where points crowd into one cell of the grid).
std::size_t ThinPlate::interval(double x) const {
  const double at = (x - guide_origin_) * guide_scale_;
  const std::size_t last = guide_.size() - 1;
  const std::size_t cell = at <= 0.0 ? 0 : std::min(static_cast<std::size_t>(at), last);
  const double* breaks = search_breaks_.data();  // the points, then two infinities
  std::size_t j = guide_[cell];
  j += breaks[j] <= x ? 1 : 0;
  j += breaks[j] <= x ? 1 : 0;
  while (breaks[j] <= x) ++j;
  while (j > 0 && breaks[j - 1] > x) --j;
  return j;
}

// One column: rows inside the box from their cubic pieces, rows beyond it (unless held)
// continued along the tangent at the nearer end.
Status ThinPlate::evaluate_one_column(VectorView column, std::size_t first, std::size_t count,
                                      double* out, std::size_t stride) const {
  const TermSpec& s = spec();
  const double low = s.box[0], high = s.box[1], centre = s.standardise[0], scale = s.standardise[1];
  const double left_end = std::min(lo_, breaks_[0]);
  const double* breaks = breaks_.data();
  const double* pieces = pieces_.data();
  const std::size_t r = r_, w = width();
  for (std::size_t i = 0; i < count; ++i) {
    double* row = out + i * stride;
    const double v = column[first + i];
    if (std::isnan(v)) {
      std::fill(row, row + w, v);
      continue;
    }
    const double c = std::clamp(v, low, high);
    double x = (c - centre) / scale, step = (v - c) / scale;
    if (step != 0.0 && !held_) {
      tangent_row(&x, &step, row);
      continue;
    }
    const std::size_t j = interval(x);
    const double u = x - (j == 0 ? left_end : breaks[j - 1]);
    const double* a0 = pieces + j * r * 4;
    const double *a1 = a0 + r, *a2 = a1 + r, *a3 = a2 + r;
    for (std::size_t k = 0; k < r; ++k) row[k] = ((a3[k] * u + a2[k]) * u + a1[k]) * u + a0[k];
    row[r] = 1.0;
    row[r + 1] = x;
  }
  return {};
}

// With select, the null-space penalty in the constrained parameterisation: the projection
// onto the null space of the constrained wiggliness penalty (d directions once centred).
std::vector<PenaltyBlock> ThinPlate::constrained_penalties(const TermConstraint& c) const {
  auto blocks = TermBasis::constrained_penalties(c);
  if (!spec().select || c.empty()) return blocks;
  const Matrix& s = blocks[0].matrix;
  auto eig = symmetric_eigen(s.view());
  if (!eig) return blocks;
  const std::size_t q = s.rows();
  Matrix root(d_, q), proj(q, q);
  for (std::size_t a = 0; a < d_; ++a)
    for (std::size_t i = 0; i < q; ++i) root(a, i) = eig->vectors(i, a);
  for (std::size_t i = 0; i < q; ++i)
    for (std::size_t j = 0; j < q; ++j)
      for (std::size_t a = 0; a < d_; ++a) proj(i, j) += root(a, i) * root(a, j);
  blocks[1].matrix = std::move(proj);
  blocks[1].root = std::move(root);
  return blocks;
}

bool ThinPlate::standardised(std::span<const VectorView> columns, std::size_t row, double* x,
                             double* step) const {
  const TermSpec& s = spec();
  const double scale = s.standardise[d_];
  bool outside = false;
  for (std::size_t a = 0; a < d_; ++a) {
    const double v = columns[s.columns[a]][row];
    const double c = std::clamp(v, s.box[a], s.box[d_ + a]);
    step[a] = (v - c) / scale;
    outside = outside || step[a] != 0.0;
    x[a] = (c - s.standardise[a]) / scale;
  }
  return outside;
}

// The radial functions of one row: distances by axis from contiguous coordinates, and each
// dimension's eta in a loop of its own (no switch per point).
void ThinPlate::radial_row(const double* x, double* e) const {
  const double* c0 = coords_.data();
  const double* c1 = c0 + n_;
  const double* c2 = c1 + n_;
  if (d_ == 2) return plane_radials(x[0], x[1], c0, c1, n_, e);
  for (std::size_t k = 0; k < n_; ++k) {
    const double d0 = x[0] - c0[k];
    double r2 = 0.0 + d0 * d0;
    if (d_ > 2) {
      const double d1 = x[1] - c1[k], d2 = x[2] - c2[k];
      r2 += d1 * d1;
      r2 += d2 * d2;
    }
    e[k] = r2;
  }
  for (std::size_t k = 0; k < n_; ++k) e[k] = std::isnan(e[k]) ? e[k] : radial(d_, e[k]);
}

// The row at the clamped point x plus its gradient times the step beyond the box.
void ThinPlate::tangent_row(const double* x, const double* step, double* out) const {
  const TermSpec& s = spec();
  std::vector<double> e(n_), g(n_);
  for (std::size_t i = 0; i < n_; ++i) {
    double r2 = 0.0, along = 0.0;
    for (std::size_t a = 0; a < d_; ++a) {
      const double diff = x[a] - s.points(i, a);
      r2 += diff * diff;
      along += diff * step[a];
    }
    e[i] = radial(d_, r2);
    g[i] = radial_slope(d_, r2) * along;
  }
  for (std::size_t c = 0; c < r_; ++c) {
    double v = 0.0;
    for (std::size_t i = 0; i < n_; ++i) v += (e[i] + g[i]) * s.transform(i, c);
    out[c] = v;
  }
  out[r_] = 1.0;
  for (std::size_t a = 0; a < d_; ++a) out[r_ + 1 + a] = x[a] + step[a];
}

Status ThinPlate::evaluate(std::span<const VectorView> columns, std::size_t first,
                           std::size_t count, double* out, std::size_t stride) const {
  const TermSpec& s = spec();
  if (d_ == 1) return evaluate_one_column(columns[s.columns[0]], first, count, out, stride);
  std::vector<double> e(kRadialRows * n_), xs(kRadialRows * d_), product(kRadialRows * r_);
  std::vector<std::size_t> outside;
  double step[3];
  for (std::size_t b0 = 0; b0 < count; b0 += kRadialRows) {
    const std::size_t rows = std::min(kRadialRows, count - b0);
    outside.clear();
    for (std::size_t i = 0; i < rows; ++i) {
      double* x = xs.data() + i * d_;
      bool nan = false;
      for (std::size_t a = 0; a < d_; ++a) nan = nan || std::isnan(columns[s.columns[a]][first + b0 + i]);
      if (nan) {
        std::fill(x, x + d_, std::nan(""));
      } else if (standardised(columns, first + b0 + i, x, step) && !held_) {
        outside.push_back(i);
      }
      radial_row(x, e.data() + i * n_);
    }
    // product (rows x r, row-major) = e (rows x N) W (N x r): column-major, W' e'.
    const auto ri = static_cast<lapack_int>(r_), ci = static_cast<lapack_int>(rows),
               ni = static_cast<lapack_int>(n_);
    const double one = 1.0, zero = 0.0;
    const char no = 'N';
    lapack::scipy_dgemm_(&no, &no, &ri, &ci, &ni, &one, s.transform.data(), &ri, e.data(), &ni,
                         &zero, product.data(), &ri, 1, 1);
    for (std::size_t i = 0; i < rows; ++i) {
      double* row = out + (b0 + i) * stride;
      const double* x = xs.data() + i * d_;
      std::copy(product.data() + i * r_, product.data() + (i + 1) * r_, row);
      row[r_] = std::isnan(x[0]) ? x[0] : 1.0;
      for (std::size_t a = 0; a < d_; ++a) row[r_ + 1 + a] = x[a];
    }
    for (std::size_t i : outside) {
      double x[3];
      standardised(columns, first + b0 + i, x, step);
      tangent_row(x, step, out + (b0 + i) * stride);
    }
  }
  return {};
}

// An orthonormal basis (columns) of the complement of the column space of c (k x m).
Result<Matrix> complement_basis(const Matrix& c) {
  const std::size_t k = c.rows(), m = c.cols();
  auto f = qr(c.view());
  if (!f) return fail(GamError::linalg_error("QR decomposition failed: " + f.error().debug()));
  Matrix proj = Matrix::identity(k);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t a = 0; a < m; ++a) proj(i, j) -= f->q(i, a) * f->q(j, a);
  auto eig = symmetric_eigen(proj.view());
  if (!eig) return fail(GamError::linalg_error("eigen-decomposition failed: " + eig.error().debug()));
  Matrix z(k, k - m);
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j < k - m; ++j) z(i, j) = eig->vectors(i, m + j);
  return z;
}

Status check_points(MatrixView points, std::size_t k, VectorView box, std::string_view what) {
  const std::size_t d = points.cols, n = points.rows;
  auto refuse = [&](const std::string& why) {
    return fail(GamError::invalid_parameter(diag::format("{}: {}", what, why)));
  };
  if (d < 1 || d > 3) return refuse(diag::format("a thin-plate spline takes 1 to 3 columns, got {}", d));
  if (k < d + 2) return refuse(diag::format("bs='tp' with {} column(s) needs k of at least {}, got {}", d, d + 2, k));
  if (n < k) return refuse(diag::format("k={} needs at least {} distinct points; the data have {}", k, k, n));
  if (n > kMaxThinPlatePoints) return refuse(diag::format("at most {} points, got {}", kMaxThinPlatePoints, n));
  if (box.size != 2 * d) return refuse("the box needs a lower and an upper end per column");
  for (std::size_t a = 0; a < d; ++a) {
    if (!(box[a] < box[d + a]) || !std::isfinite(box[a]) || !std::isfinite(box[d + a])) {
      return refuse(diag::format("column {} of the thin-plate spline is constant", a));
    }
    for (std::size_t i = 0; i < n; ++i)
      if (!(points(i, a) >= box[a] && points(i, a) <= box[d + a])) return refuse("a point lies outside the box");
  }
  return {};
}

}  // namespace

Status build_thin_plate(MatrixView points, std::size_t k, VectorView box, std::string_view what,
                        TermSpec& spec) {
  if (auto ok = check_points(points, k, box, what); !ok) return ok;
  const std::size_t d = points.cols, n = points.rows, m = d + 1;
  // Standardise: the centroid, and the root mean square distance from it for every axis.
  spec.standardise = Vector(d + 1);
  double ss = 0.0;
  for (std::size_t a = 0; a < d; ++a) {
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) mean += points(i, a);
    spec.standardise[a] = mean / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) ss += (points(i, a) - spec.standardise[a]) * (points(i, a) - spec.standardise[a]);
  }
  const double scale = std::sqrt(ss / static_cast<double>(n));
  spec.standardise[d] = scale;
  spec.points = Matrix(n, d);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t a = 0; a < d; ++a) spec.points(i, a) = (points(i, a) - spec.standardise[a]) / scale;
  Matrix e(n, n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j) {
      double r2 = 0.0;
      for (std::size_t a = 0; a < d; ++a) r2 += (spec.points(i, a) - spec.points(j, a)) * (spec.points(i, a) - spec.points(j, a));
      e(i, j) = e(j, i) = radial(d, r2);
    }
  // The k eigenpairs of largest magnitude. The radial function is conditionally positive
  // definite of order at most d + 1 (positive on vectors orthogonal to the polynomials of
  // lower degree), so E has at most d + 1 negative eigenvalues: the k largest in magnitude
  // are among the k largest and the d + 1 smallest, and no other pair need be computed.
  auto eig = symmetric_eigen_extremes(e.view(), m, k);
  if (!eig) return fail(GamError::linalg_error("eigen-decomposition failed: " + eig.error().debug()));
  std::vector<std::size_t> order(eig->values.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::abs(eig->values[a]) > std::abs(eig->values[b]);
  });
  Matrix uk(n, k), c(k, m);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < n; ++i) uk(i, j) = eig->vectors(i, order[j]);
  for (std::size_t j = 0; j < k; ++j)
    for (std::size_t i = 0; i < n; ++i) {
      c(j, 0) += uk(i, j);
      for (std::size_t a = 0; a < d; ++a) c(j, 1 + a) += uk(i, j) * spec.points(i, a);
    }
  auto z = complement_basis(c);
  if (!z) return fail(z.error());
  // Z'D_k Z, diagonalised.
  Matrix zdz(k - m, k - m);
  for (std::size_t a = 0; a < k - m; ++a)
    for (std::size_t b = 0; b < k - m; ++b) {
      double s = 0.0;
      for (std::size_t j = 0; j < k; ++j) s += (*z)(j, a) * eig->values[order[j]] * (*z)(j, b);
      zdz(a, b) = s;
    }
  auto pe = symmetric_eigen(zdz.view());
  if (!pe) return fail(GamError::linalg_error("eigen-decomposition failed: " + pe.error().debug()));
  const Matrix uz = matmul(uk.view(), z->view());
  const Matrix w = matmul(uz.view(), pe->vectors.view());
  const double top = std::abs(pe->values[k - m - 1]);
  spec.k = k;
  spec.transform = w;
  spec.penalty_values = Vector(k - m);
  for (std::size_t a = 0; a < k - m; ++a) spec.penalty_values[a] = std::max(pe->values[a], kPenaltyFloor * top);
  spec.box = Vector::from(box);
  return {};
}

Result<std::shared_ptr<const TermBasis>> make_thin_plate(const TermSpec& spec, std::size_t index) {
  const std::size_t d = spec.columns.size();
  auto refuse = [&](const std::string& why) {
    return fail(GamError::invalid_parameter(diag::format("thin-plate term {} {}", index, why)));
  };
  if (d < 1 || d > 3) return refuse(diag::format("reads {} input columns; it needs 1 to 3", d));
  const std::size_t n = spec.points.rows(), r = spec.k >= d + 1 ? spec.k - d - 1 : 0;
  if (spec.k < d + 2 || spec.k > kMaxTermWidth || n < spec.k || n > kMaxThinPlatePoints ||
      spec.points.cols() != d || spec.transform.rows() != n || spec.transform.cols() != r ||
      spec.penalty_values.size() != r || spec.standardise.size() != d + 1 || spec.box.size() != 2 * d) {
    return refuse("has arrays of inconsistent sizes");
  }
  for (double v : spec.penalty_values)
    if (!(v > 0.0) || !std::isfinite(v)) return refuse("has a penalty value that is not positive");
  if (!(spec.standardise[d] > 0.0) || !std::isfinite(spec.standardise[d])) return refuse("has a non-positive scale");
  for (std::size_t a = 0; a < d; ++a)
    if (!(spec.box[a] < spec.box[d + a])) return refuse("has an empty box");
  for (const Matrix* mat : {&spec.points, &spec.transform})
    for (std::size_t i = 0; i < mat->rows(); ++i)
      for (std::size_t j = 0; j < mat->cols(); ++j)
        if (!std::isfinite((*mat)(i, j))) return refuse("has values that are not finite");
  return std::make_shared<const ThinPlate>(spec);
}


namespace {

std::uint64_t point_hash(MatrixView x, std::size_t i) {
  std::uint64_t h = 0x243F6A8885A308D3ULL;
  for (std::size_t j = 0; j < x.cols; ++j) {
    const auto bits = std::bit_cast<std::uint64_t>(x(i, j) + 0.0);
    std::uint64_t z = (h ^ bits) + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    h = z ^ (z >> 31);
  }
  return h;
}

}  // namespace

PointHashes smallest_point_hashes(MatrixView x, std::size_t size) {
  const std::size_t n = x.rows;
  using Entry = std::pair<std::uint64_t, std::size_t>;
  const auto same_hash = [](const Entry& a, const Entry& b) { return a.first == b.first; };
  // The rows whose hash is at most a limit: once they hold `size` distinct hashes, no row
  // beyond it is among the first `size`. Hashes are uniform, so a limit at 4 size / n of
  // the range holds about 4 size rows; it doubles until enough are distinct (rows are
  // hashed again each time rather than kept: n hashes would be a large allocation).
  constexpr double kRange = 18446744073709551616.0;  // 2^64
  double fraction = n > 0 ? 4.0 * static_cast<double>(size) / static_cast<double>(n) : 1.0;
  std::vector<Entry> cand;
  for (;; fraction *= 2.0) {
    const bool all = fraction >= 1.0;
    const auto limit = all ? ~std::uint64_t{0} : static_cast<std::uint64_t>(fraction * kRange);
    cand.clear();
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t h = point_hash(x, i);
      if (h <= limit) cand.emplace_back(h, i);
    }
    std::sort(cand.begin(), cand.end());  // by hash, then row: each hash's first row first
    cand.erase(std::unique(cand.begin(), cand.end(), same_hash), cand.end());
    if (all || cand.size() >= size) break;
  }
  PointHashes out;
  const std::size_t kept = std::min(size, cand.size());
  for (std::size_t i = 0; i < kept; ++i) {
    out.hashes.push_back(cand[i].first);
    out.rows.push_back(cand[i].second);
  }
  return out;
}

}  // namespace velkan::terms
