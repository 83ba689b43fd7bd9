#include "engine/terms/term_basis.h"

#include <algorithm>
#include <cmath>

#include "diag/format.h"
#include "linalg/factorizations.h"

namespace velkan::terms {

std::size_t TermConstraint::dropped_count() const {
  return static_cast<std::size_t>(std::count(dropped.begin(), dropped.end(), true));
}

// Terms without penalties are never asked for one (penalty_count() is 0).
Matrix TermBasis::penalty(std::size_t) const { return {}; }
Matrix TermBasis::penalty_root(std::size_t) const { return {}; }
void TermBasis::add_log_determinant(VectorView, std::size_t, LogDeterminant&) const {}
Status TermBasis::evaluate_grouped(std::span<const VectorView>, std::size_t, std::size_t,
                                   std::size_t*, double*) const {
  return fail(GamError::invalid_parameter("the term is not grouped"));
}

namespace {

// Column sums whose largest entry lies within 2^+-kCentringExponent are used as they are.
constexpr int kCentringExponent = 250;

}  // namespace

void reflect(const Vector& v, double beta, double* x, std::ptrdiff_t stride) {
  double s = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) s += v[i] * x[static_cast<std::ptrdiff_t>(i) * stride];
  s *= beta;
  for (std::size_t i = 0; i < v.size(); ++i) x[static_cast<std::ptrdiff_t>(i) * stride] -= s * v[i];
}

void apply_constraint(const TermConstraint& c, double* x, std::ptrdiff_t stride) {
  for (const Reflection& r : c.reflections)
    for (std::size_t s : r.starts)
      reflect(r.v, r.beta, x + static_cast<std::ptrdiff_t>(s) * stride,
              static_cast<std::ptrdiff_t>(r.stride) * stride);
}

Result<Reflection> centring_reflection(VectorView sums, std::string_view what) {
  const std::size_t q = sums.size;
  // The reflection does not depend on the scale of the sums, but their squares under- or
  // overflow for weights near 1e-200 or 1e200: such sums are first divided (exactly) by
  // the power of two of their largest entry; ordinary sums are used as they are.
  double largest = 0.0;
  for (std::size_t i = 0; i < q; ++i) largest = std::max(largest, std::abs(sums[i]));
  if (!std::isfinite(largest) || largest == 0.0) {
    return fail(GamError::invalid_parameter(diag::format(
        "{} cannot be centred: its column sums are {}", what,
        std::isfinite(largest) ? "all zero" : "not finite")));
  }
  const int shift = std::abs(std::ilogb(largest)) > kCentringExponent ? std::ilogb(largest) : 0;
  Vector v(q);
  double norm2 = 0.0;
  for (std::size_t i = 0; i < q; ++i) {
    v[i] = std::ldexp(sums[i], -shift);
    norm2 += v[i] * v[i];
  }
  const double norm = std::sqrt(norm2);
  // Reflect c onto -sign(c_0) |c| e_0; the remaining columns of the reflection span the
  // coefficient directions orthogonal to c.
  v[0] += v[0] >= 0.0 ? norm : -norm;
  double vv = 0.0;
  for (std::size_t i = 0; i < q; ++i) vv += v[i] * v[i];
  return Reflection{std::move(v), 2.0 / vv, {0}, 1};
}

Result<Vector> penalty_eigenvalues(const Matrix& s, std::size_t null) {
  auto eig = symmetric_eigen(s.view());
  if (!eig) {
    return fail(GamError::linalg_error("penalty eigen-decomposition failed: " + eig.error().debug()));
  }
  Vector values = std::move(eig->values);
  for (std::size_t i = 0; i < std::min(null, values.size()); ++i) values[i] = 0.0;
  return values;
}

Result<TermConstraint> TermBasis::constraint(VectorView block_sums) const {
  TermConstraint c;
  if (!centred()) return c;
  auto r = centring_reflection(block_sums, "the term");
  if (!r) return fail(r.error());
  c.reflections.push_back(std::move(*r));
  c.dropped.assign(width(), false);
  c.dropped[0] = true;
  return c;
}

namespace {

// Whether reflection r's sub-vector at `start` lies inside [lo, hi) (all of it), outside
// (none of it) or straddles the range.
enum class Overlap { Inside, Outside, Straddles };
Overlap overlap(const Reflection& r, std::size_t start, std::size_t lo, std::size_t hi) {
  std::size_t in = 0;
  for (std::size_t i = 0; i < r.v.size(); ++i) {
    const std::size_t x = start + i * r.stride;
    in += (x >= lo && x < hi) ? 1 : 0;
  }
  return in == 0 ? Overlap::Outside : in == r.v.size() ? Overlap::Inside : Overlap::Straddles;
}

bool straddles(const TermConstraint& c, std::size_t lo, std::size_t hi) {
  for (const Reflection& r : c.reflections)
    for (std::size_t s : r.starts)
      if (overlap(r, s, lo, hi) == Overlap::Straddles) return true;
  return false;
}

// Applies the reflections inside [lo, hi) to x, which holds that range with the given
// element stride.
void reflect_range(const TermConstraint& c, std::size_t lo, std::size_t hi, double* x,
                   std::ptrdiff_t stride) {
  for (const Reflection& r : c.reflections)
    for (std::size_t s : r.starts)
      if (overlap(r, s, lo, hi) == Overlap::Inside)
        reflect(r.v, r.beta, x + static_cast<std::ptrdiff_t>(s - lo) * stride,
                static_cast<std::ptrdiff_t>(r.stride) * stride);
}

}  // namespace

std::vector<PenaltyBlock> TermBasis::constrained_penalties(const TermConstraint& c) const {
  std::vector<PenaltyBlock> out;
  for (std::size_t j = 0; j < penalty_count(); ++j) {
    const PenaltyPlacement at = penalty_placement(j);
    const Matrix s0 = penalty(j), e0 = penalty_root(j);
    const std::size_t b = s0.rows();
    std::size_t lo = at.offset, hi = at.offset + at.repeat * b;
    if (at.repeat > 1 && c.empty()) {
      out.push_back({at.offset, s0, e0, at.repeat});
      continue;
    }
    if (straddles(c, lo, hi)) {
      lo = 0;
      hi = width();
    }
    const std::size_t q = hi - lo;
    // The repeated blocks laid out over [lo, hi).
    Matrix s(q, q), e(at.repeat * e0.rows(), q);
    for (std::size_t r = 0; r < at.repeat; ++r) {
      const std::size_t o = at.offset + r * b - lo;
      for (std::size_t a = 0; a < b; ++a)
        for (std::size_t d = 0; d < b; ++d) s(o + a, o + d) = s0(a, d);
      for (std::size_t a = 0; a < e0.rows(); ++a)
        for (std::size_t d = 0; d < b; ++d) e(r * e0.rows() + a, o + d) = e0(a, d);
    }
    if (!c.empty()) {
      const auto sq = static_cast<std::ptrdiff_t>(q);
      for (std::size_t col = 0; col < q; ++col) reflect_range(c, lo, hi, s.data() + col, sq);
      for (std::size_t row = 0; row < q; ++row) reflect_range(c, lo, hi, s.row_ptr(row), 1);
      for (std::size_t row = 0; row < e.rows(); ++row) reflect_range(c, lo, hi, e.row_ptr(row), 1);
    }
    std::vector<std::size_t> keep;
    std::size_t before = 0;
    for (std::size_t i = 0; i < width(); ++i) {
      const bool dropped = !c.dropped.empty() && c.dropped[i];
      if (i < lo && !dropped) ++before;
      if (i >= lo && i < hi && !dropped) keep.push_back(i - lo);
    }
    PenaltyBlock block{before, Matrix(keep.size(), keep.size()), Matrix(e.rows(), keep.size())};
    for (std::size_t a = 0; a < keep.size(); ++a) {
      for (std::size_t d = 0; d < keep.size(); ++d)
        block.matrix(a, d) = 0.5 * (s(keep[a], keep[d]) + s(keep[d], keep[a]));
      for (std::size_t r = 0; r < e.rows(); ++r) block.root(r, a) = e(r, keep[a]);
    }
    out.push_back(std::move(block));
  }
  return out;
}

void TermBasis::add_constrained_log_determinant(const TermConstraint&, VectorView rho,
                                                std::size_t first, LogDeterminant& out) const {
  add_log_determinant(rho, first, out);
}

std::size_t TermBasis::constrained_null_space_dimension(const TermConstraint& c) const {
  return null_space_dimension() - c.dropped_count();
}

// Kinds that cannot bin are never asked for margin rows (binnable() is false).
Matrix TermBasis::margin_rows(std::size_t, VectorView) const { return {}; }

}  // namespace velkan::terms
