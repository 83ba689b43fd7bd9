#include "engine/terms/layout.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "diag/format.h"
#include "engine/terms/registry.h"

namespace velkan::terms {


Result<ModelLayout> ModelLayout::create(const std::vector<TermSpec>& specs) {
  if (specs.empty()) return fail(GamError::invalid_parameter("a model needs at least one term"));
  ModelLayout layout;
  for (std::size_t t = 0; t < specs.size(); ++t) {
    auto term = make_term(specs[t], t);
    if (!term) return fail(term.error());
    const std::size_t w = (*term)->width();
    if (w > kMaxModelWidth || layout.width_ + w > kMaxModelWidth) {
      const std::size_t p = layout.width_ + w;
      return fail(GamError::invalid_parameter(diag::format(
          "the model has more than {} coefficients (term {} brings it to {}): its p x p cross "
          "products would take {} MB each; use fewer levels or smaller bases",
          kMaxModelWidth, t, p, p * p * 8 / 1000000)));
    }
    for (std::size_t j = 0; j < (*term)->penalty_count(); ++j) layout.penalties_.push_back({t, j});
    layout.offsets_.push_back(layout.width_);
    layout.width_ += w;
    for (std::size_t c : (*term)->columns()) layout.input_columns_ = std::max(layout.input_columns_, c + 1);
    layout.terms_.push_back(std::move(*term));
  }
  layout.coefficient_offsets_ = layout.offsets_;
  layout.coefficients_ = layout.width_;
  layout.set_sparse();
  return layout;
}

// The sparse term, if any, and (once centred) its coefficient block: a per-group
// constraint drops the same number of directions from every group.
void ModelLayout::set_sparse() {
  sparse_.reset();
  std::size_t best = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const std::size_t gw = terms_[t]->group_width(), w = terms_[t]->width();
    if (gw == 0 || w < kSparseMinWidth || w <= best || w % gw != 0) continue;
    std::size_t block = gw;
    if (centred_ && !constraints_[t].empty()) {
      const std::size_t dropped = constraints_[t].dropped_count();
      const bool per_group = dropped == w / gw &&
          std::all_of(constraints_[t].reflections.begin(), constraints_[t].reflections.end(),
                      [&](const Reflection& r) { return r.stride == 1 && r.v.size() == gw; });
      if (!per_group) continue;
      block = gw - 1;
    }
    best = w;
    sparse_ = SparseTerm{t, offsets_[t], gw, w / gw, coefficient_offsets_[t], block};
  }
}

Status ModelLayout::evaluate_split(std::span<const VectorView> columns, std::size_t first,
                                   std::size_t count, double* dense, std::size_t stride,
                                   std::size_t* group, double* values) const {
  std::size_t o = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (sparse_ && t == sparse_->term) {
      if (auto ok = terms_[t]->evaluate_grouped(columns, first, count, group, values); !ok) return ok;
      continue;
    }
    if (auto ok = terms_[t]->evaluate(columns, first, count, dense + o, stride); !ok) return ok;
    o += terms_[t]->width();
  }
  return {};
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
  out.constraints_.clear();
  out.centred_ = true;
  std::size_t next = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    out.coefficient_offsets_[t] = next;
    const std::size_t q = terms_[t]->width();
    auto c = terms_[t]->constraint(
        VectorView{column_sums.data + offsets_[t] * column_sums.stride, q, column_sums.stride});
    if (!c) {
      return fail(GamError::invalid_parameter(
          diag::format("term {}: {}", t, c.error().message())));
    }
    next += q - c->dropped_count();
    out.constraints_.push_back(std::move(*c));
  }
  out.coefficients_ = next;
  out.set_sparse();
  return out;
}

std::size_t ModelLayout::coefficient_width(std::size_t t) const {
  const std::size_t q = terms_[t]->width();
  return centred_ ? q - constraints_[t].dropped_count() : q;
}

std::size_t ModelLayout::null_space_dimension() const {
  std::size_t d = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    d += centred_ ? terms_[t]->constrained_null_space_dimension(constraints_[t])
                  : terms_[t]->null_space_dimension();
  }
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
  const TermBasis& t = *terms_[penalties_[j].term];
  const Matrix s = t.penalty(penalties_[j].index);
  const PenaltyPlacement at = t.penalty_placement(penalties_[j].index);
  Matrix out(t.width(), t.width());
  for (std::size_t r = 0; r < at.repeat; ++r) {
    const std::size_t o = at.offset + r * s.rows();
    for (std::size_t a = 0; a < s.rows(); ++a)
      for (std::size_t b = 0; b < s.rows(); ++b) out(o + a, o + b) = s(a, b);
  }
  return out;
}

std::vector<PenaltyBlock> ModelLayout::constrained_penalties(bool compact) const {
  std::vector<PenaltyBlock> out;
  out.reserve(penalties_.size());
  const TermConstraint none;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (terms_[t]->penalty_count() == 0) continue;
    auto blocks = terms_[t]->constrained_penalties(centred_ ? constraints_[t] : none);
    for (auto& b : blocks) {
      b.offset += coefficient_offsets_[t];
      if (b.repeat > 1 && !compact) {
        // The repeated block laid out in full.
        const std::size_t q = b.matrix.rows(), r = b.root.rows();
        PenaltyBlock full{b.offset, Matrix(q * b.repeat, q * b.repeat), Matrix(r * b.repeat, q * b.repeat), 1};
        for (std::size_t k = 0; k < b.repeat; ++k) {
          for (std::size_t i = 0; i < q; ++i)
            for (std::size_t j = 0; j < q; ++j) full.matrix(k * q + i, k * q + j) = b.matrix(i, j);
          for (std::size_t i = 0; i < r; ++i)
            for (std::size_t j = 0; j < q; ++j) full.root(k * r + i, k * q + j) = b.root(i, j);
        }
        b = std::move(full);
      }
      out.push_back(std::move(b));
    }
  }
  return out;
}

double ModelLayout::penalty_quadratic(VectorView raw_beta, VectorView lambda) const {
  const Vector beta = constrain(raw_beta);
  const auto blocks = constrained_penalties(true);
  double total = 0.0;
  for (std::size_t j = 0; j < blocks.size(); ++j) {
    const Matrix& e = blocks[j].root;
    double qf = 0.0;
    for (std::size_t k = 0; k < blocks[j].repeat; ++k) {
      const std::size_t o = blocks[j].offset + k * e.cols();
      for (std::size_t a = 0; a < e.rows(); ++a) {
        double row = 0.0;
        for (std::size_t b = 0; b < e.cols(); ++b) row += e(a, b) * beta[o + b];
        qf += row * row;
      }
    }
    total += lambda[j] * qf;
  }
  return total;
}

LogDeterminant ModelLayout::log_pseudo_determinant(VectorView rho) const {
  const std::size_t m = penalties_.size();
  LogDeterminant out{0.0, Vector(m), Matrix(m, m)};
  std::size_t first = 0;  // index of the term's first penalty
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const TermBasis& term = *terms_[t];
    if (term.penalty_count() == 0) continue;
    if (centred_) {
      term.add_constrained_log_determinant(constraints_[t], rho, first, out);
    } else {
      term.add_log_determinant(rho, first, out);
    }
    first += term.penalty_count();
  }
  return out;
}

Matrix ModelLayout::shape_rows() const {
  std::vector<Matrix> per_term(terms_.size());
  std::size_t rows = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    per_term[t] = terms_[t]->shape_rows();
    rows += per_term[t].rows();
  }
  Matrix out(rows, coefficients_);
  std::size_t r0 = 0;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    // a'Z over the term's block: the reflections applied to a (Q is symmetric), the
    // dropped positions left out.
    const Matrix& a = per_term[t];
    for (std::size_t r = 0; r < a.rows(); ++r) {
      Vector x(a.cols());
      for (std::size_t c = 0; c < a.cols(); ++c) x[c] = a(r, c);
      if (centred_) apply_constraint(constraints_[t], x.data(), 1);
      std::size_t col = coefficient_offsets_[t];
      for (std::size_t c = 0; c < a.cols(); ++c) {
        if (centred_ && !constraints_[t].dropped.empty() && constraints_[t].dropped[c]) continue;
        out(r0 + r, col++) = x[c];
      }
    }
    r0 += a.rows();
  }
  return out;
}

std::vector<std::size_t> ModelLayout::kept_indices() const {
  std::vector<std::size_t> keep;
  keep.reserve(coefficients_);
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const auto& dropped = constraints_[t].dropped;
    for (std::size_t i = 0; i < terms_[t]->width(); ++i)
      if (dropped.empty() || !dropped[i]) keep.push_back(offsets_[t] + i);
  }
  return keep;
}

void ModelLayout::apply_reflections(double* x, std::ptrdiff_t stride) const {
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (constraints_[t].empty()) continue;
    apply_constraint(constraints_[t], x + static_cast<std::ptrdiff_t>(offsets_[t]) * stride, stride);
  }
}

void ModelLayout::apply_reflections_to_rows(Matrix& a) const {
  // Columns of every row, then rows of every column: Q A Q for symmetric Q.
  for (std::size_t i = 0; i < a.rows(); ++i) apply_reflections(a.row_ptr(i), 1);
  for (std::size_t j = 0; j < a.cols(); ++j) {
    apply_reflections(a.data() + j, static_cast<std::ptrdiff_t>(a.cols()));
  }
}

// Q A Q differs from A only in the rows and columns of constrained terms (Q is block
// diagonal by term): A's kept entries are copied once, and each constrained term's rows
// Q_t A_t. Q are recomputed and written to its rows and columns, O(p sum_t q_t).
Matrix ModelLayout::constrain(const Matrix& a) const {
  if (!centred_) return a;
  const auto keep = kept_indices();
  const std::size_t p = width_, none = static_cast<std::size_t>(-1);
  std::vector<std::size_t> position(p, none);
  for (std::size_t i = 0; i < keep.size(); ++i) position[keep[i]] = i;
  Matrix out(keep.size(), keep.size());
  for (std::size_t i = 0; i < keep.size(); ++i) {
    const double* row = a.row_ptr(keep[i]);
    double* dst = out.row_ptr(i);
    for (std::size_t j = 0; j < keep.size(); ++j) dst[j] = row[keep[j]];
  }
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (constraints_[t].empty()) continue;
    const std::size_t o = offsets_[t], q = terms_[t]->width();
    Matrix x(q, p);
    for (std::size_t r = 0; r < q; ++r) std::copy(a.row_ptr(o + r), a.row_ptr(o + r) + p, x.row_ptr(r));
    for (std::size_t c = 0; c < p; ++c) apply_constraint(constraints_[t], x.data() + c, static_cast<std::ptrdiff_t>(p));
    for (std::size_t r = 0; r < q; ++r) apply_reflections(x.row_ptr(r), 1);
    for (std::size_t r = 0; r < q; ++r) {
      const std::size_t i = position[o + r];
      if (i == none) continue;
      for (std::size_t c = 0; c < p; ++c) {
        const std::size_t j = position[c];
        if (j == none) continue;
        out(i, j) = x(r, c);
        out(j, i) = x(r, c);
      }
    }
  }
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
