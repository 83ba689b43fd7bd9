#include "engine/terms/layout.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "diag/format.h"
#include "engine/terms/registry.h"

namespace velkan::terms {

namespace {

// Column sums whose largest entry lies within 2^+-kCentringExponent are used as they are
// (their squares cannot under- or overflow); others are rescaled by a power of two first.
constexpr int kCentringExponent = 250;

// x <- (I - beta v v') x over a block of length v.size() read with the given stride.
void reflect(const Vector& v, double beta, double* x, std::ptrdiff_t stride) {
  double s = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) s += v[i] * x[static_cast<std::ptrdiff_t>(i) * stride];
  s *= beta;
  for (std::size_t i = 0; i < v.size(); ++i) x[static_cast<std::ptrdiff_t>(i) * stride] -= s * v[i];
}

}  // namespace

Result<ModelLayout> ModelLayout::create(const std::vector<TermSpec>& specs) {
  if (specs.empty()) return fail(GamError::invalid_parameter("a model needs at least one term"));
  ModelLayout layout;
  for (std::size_t t = 0; t < specs.size(); ++t) {
    auto term = make_term(specs[t], t);
    if (!term) return fail(term.error());
    const std::size_t w = (*term)->width();
    if (w > kMaxModelWidth || layout.width_ + w > kMaxModelWidth) {
      return fail(GamError::invalid_parameter(diag::format(
          "the model has more than {} coefficients", kMaxModelWidth)));
    }
    for (std::size_t j = 0; j < (*term)->penalty_count(); ++j) layout.penalties_.push_back({t, j});
    layout.offsets_.push_back(layout.width_);
    layout.width_ += w;
    for (std::size_t c : (*term)->columns()) layout.input_columns_ = std::max(layout.input_columns_, c + 1);
    layout.terms_.push_back(std::move(*term));
  }
  layout.coefficient_offsets_ = layout.offsets_;
  layout.coefficients_ = layout.width_;
  return layout;
}

ModelLayout ModelLayout::held_at_ends() const {
  ModelLayout out = *this;
  for (auto& term : out.terms_) {
    if (auto held = term->held_at_ends()) term = std::move(held);
  }
  return out;
}

std::vector<TermSpec> ModelLayout::specs() const {
  std::vector<TermSpec> out;
  out.reserve(terms_.size());
  for (const auto& t : terms_) out.push_back(t->spec());
  return out;
}

Result<ModelLayout> ModelLayout::centred(VectorView column_sums) const {
  if (column_sums.size != width_) {
    return fail(GamError::dimension_mismatch(
        diag::format("{} column sums for a design of {} columns", column_sums.size, width_)));
  }
  ModelLayout out = *this;
  out.reflections_.clear();
  out.centred_ = true;
  std::size_t next = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    out.coefficient_offsets_[t] = next;
    const std::size_t q = terms_[t]->width();
    if (!terms_[t]->centred()) {
      next += q;
      continue;
    }
    // The reflection does not depend on the scale of c, but |c|^2 under- or overflows for
    // weights near 1e-200 or 1e200. Such sums are first divided by the power of two of
    // their largest entry (exactly); ordinary sums are used as they are.
    double largest = 0.0;
    for (std::size_t i = 0; i < q; ++i) largest = std::max(largest, std::abs(column_sums[offsets_[t] + i]));
    if (!std::isfinite(largest) || largest == 0.0) {
      return fail(GamError::invalid_parameter(
          diag::format("term {} cannot be centred: its column sums are {}", t,
                      std::isfinite(largest) ? "all zero" : "not finite")));
    }
    const int shift = std::abs(std::ilogb(largest)) > kCentringExponent ? std::ilogb(largest) : 0;
    Vector v(q);
    double norm2 = 0.0;
    for (std::size_t i = 0; i < q; ++i) {
      v[i] = std::ldexp(column_sums[offsets_[t] + i], -shift);
      norm2 += v[i] * v[i];
    }
    const double norm = std::sqrt(norm2);
    // Reflect c onto -sign(c_0) |c| e_0; the remaining columns of the reflection span the
    // coefficient directions orthogonal to c, i.e. the centred smooths.
    v[0] += v[0] >= 0.0 ? norm : -norm;
    double vv = 0.0;
    for (std::size_t i = 0; i < q; ++i) vv += v[i] * v[i];
    out.reflections_.push_back({t, std::move(v), 2.0 / vv});
    next += q - 1;
  }
  out.coefficients_ = next;
  return out;
}

std::size_t ModelLayout::coefficient_width(std::size_t t) const {
  const std::size_t q = terms_[t]->width();
  return centred_ && terms_[t]->centred() ? q - 1 : q;
}

std::size_t ModelLayout::null_space_dimension() const {
  std::size_t d = 0;
  for (const auto& t : terms_) d += t->null_space_dimension() - (centred_ && t->centred() ? 1 : 0);
  return d;
}

Status ModelLayout::evaluate_rows(std::span<const VectorView> columns, std::size_t first,
                                  std::size_t count, double* out, std::size_t stride) const {
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (auto ok = terms_[t]->evaluate(columns, first, count, out + offsets_[t], stride); !ok) return ok;
  }
  return {};
}

Matrix ModelLayout::penalty_matrix(std::size_t j) const {
  return terms_[penalties_[j].term]->penalty(penalties_[j].index);
}

Matrix ModelLayout::penalty_root(std::size_t j) const {
  return terms_[penalties_[j].term]->penalty_root(penalties_[j].index);
}

std::vector<PenaltyBlock> ModelLayout::constrained_penalties() const {
  std::vector<PenaltyBlock> out;
  out.reserve(penalties_.size());
  for (std::size_t j = 0; j < penalties_.size(); ++j) {
    const std::size_t t = penalties_[j].term;
    Matrix s = penalty_matrix(j);
    Matrix root = penalty_root(j);
    const auto r = std::find_if(reflections_.begin(), reflections_.end(),
                                [&](const Reflection& x) { return x.term == t; });
    if (r == reflections_.end()) {
      out.push_back({coefficient_offsets_[t], std::move(s), std::move(root)});
      continue;
    }
    // root Q, then drop the first column.
    Matrix reduced_root(root.rows(), root.cols() - 1);
    for (std::size_t row = 0; row < root.rows(); ++row) {
      reflect(r->v, r->beta, root.row_ptr(row), 1);
      for (std::size_t c = 1; c < root.cols(); ++c) reduced_root(row, c - 1) = root(row, c);
    }
    // Q S Q with Q = I - beta v v', then drop the first row and column.
    const std::size_t q = s.rows();
    const auto sq = static_cast<std::ptrdiff_t>(q);
    for (std::size_t c = 0; c < q; ++c) reflect(r->v, r->beta, s.data() + c, sq);
    for (std::size_t row = 0; row < q; ++row) reflect(r->v, r->beta, s.row_ptr(row), 1);
    Matrix reduced(q - 1, q - 1);
    for (std::size_t a = 1; a < q; ++a)
      for (std::size_t b = 1; b < q; ++b) reduced(a - 1, b - 1) = 0.5 * (s(a, b) + s(b, a));
    out.push_back({coefficient_offsets_[t], std::move(reduced), std::move(reduced_root)});
  }
  return out;
}

double ModelLayout::penalty_quadratic(VectorView raw_beta, VectorView lambda) const {
  double total = 0.0;
  for (std::size_t j = 0; j < penalties_.size(); ++j) {
    const std::size_t o = offsets_[penalties_[j].term];
    const Matrix e = penalty_root(j);
    double qf = 0.0;
    for (std::size_t a = 0; a < e.rows(); ++a) {
      double row = 0.0;
      for (std::size_t b = 0; b < e.cols(); ++b) row += e(a, b) * raw_beta[o + b];
      qf += row * row;
    }
    total += lambda[j] * qf;
  }
  return total;
}

LogDeterminant ModelLayout::log_pseudo_determinant(VectorView rho) const {
  const std::size_t m = penalties_.size();
  LogDeterminant out{0.0, Vector(m), Matrix(m, m)};
  std::size_t first = 0;  // index of the term's first penalty
  for (const auto& t : terms_) {
    if (t->penalty_count() == 0) continue;
    t->add_log_determinant(rho, first, out);
    first += t->penalty_count();
  }
  return out;
}

std::vector<std::size_t> ModelLayout::kept_indices() const {
  std::vector<std::size_t> keep;
  keep.reserve(coefficients_);
  std::size_t r = 0;
  for (std::size_t i = 0; i < width_; ++i) {
    if (r < reflections_.size() && offsets_[reflections_[r].term] == i) {
      ++r;  // the first column of a reflected block is dropped
      continue;
    }
    keep.push_back(i);
  }
  return keep;
}

void ModelLayout::apply_reflections(double* x, std::ptrdiff_t stride) const {
  for (const auto& r : reflections_) {
    reflect(r.v, r.beta, x + static_cast<std::ptrdiff_t>(offsets_[r.term]) * stride, stride);
  }
}

void ModelLayout::apply_reflections_to_rows(Matrix& a) const {
  // Columns of every row, then rows of every column: Q A Q for symmetric Q.
  for (std::size_t i = 0; i < a.rows(); ++i) apply_reflections(a.row_ptr(i), 1);
  for (std::size_t j = 0; j < a.cols(); ++j) {
    apply_reflections(a.data() + j, static_cast<std::ptrdiff_t>(a.cols()));
  }
}

Matrix ModelLayout::constrain(const Matrix& a) const {
  if (!centred_) return a;
  Matrix q = a;
  apply_reflections_to_rows(q);
  const auto keep = kept_indices();
  Matrix out(keep.size(), keep.size());
  for (std::size_t i = 0; i < keep.size(); ++i)
    for (std::size_t j = 0; j < keep.size(); ++j) out(i, j) = q(keep[i], keep[j]);
  return out;
}

Vector ModelLayout::constrain(VectorView v) const {
  Vector x = Vector::from(v);
  if (!centred_) return x;
  apply_reflections(x.data(), 1);
  const auto keep = kept_indices();
  Vector out(keep.size());
  for (std::size_t i = 0; i < keep.size(); ++i) out[i] = x[keep[i]];
  return out;
}

Vector ModelLayout::expand(VectorView beta) const {
  if (!centred_) return Vector::from(beta);
  const auto keep = kept_indices();
  Vector x(width_);
  for (std::size_t i = 0; i < keep.size(); ++i) x[keep[i]] = beta[i];
  apply_reflections(x.data(), 1);
  return x;
}

Matrix ModelLayout::expand(const Matrix& v) const {
  if (!centred_) return v;
  const auto keep = kept_indices();
  Matrix x(width_, width_);
  for (std::size_t i = 0; i < keep.size(); ++i)
    for (std::size_t j = 0; j < keep.size(); ++j) x(keep[i], keep[j]) = v(i, j);
  apply_reflections_to_rows(x);
  return x;
}

void ModelLayout::constrain_rows(double* raw, std::size_t count, std::size_t stride, double* out,
                                 std::size_t out_stride) const {
  const auto keep = kept_indices();
  for (std::size_t i = 0; i < count; ++i) {
    double* row = raw + i * stride;
    if (centred_) apply_reflections(row, 1);
    for (std::size_t j = 0; j < keep.size(); ++j) out[i * out_stride + j] = row[keep[j]];
  }
}

}  // namespace velkan::terms
