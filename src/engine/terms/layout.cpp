#include "engine/terms/layout.h"

#include <algorithm>
#include <cmath>
#include "diag/format.h"
#include <numeric>

namespace velkan::terms {

namespace {

std::size_t product_of_sizes(const std::vector<MarginalBasis>& margins) {
  std::size_t q = 1;
  for (const auto& m : margins) q *= m.size();
  return q;
}

// Dimension of the null space of sum_m (I x .. S_m .. x I): the tensor product of the
// margins' null spaces.
std::size_t smooth_null_dimension(const Term& t) {
  std::size_t d = 1;
  for (const auto& m : t.margins) d *= m.size() - m.penalty_rank();
  return d;
}

// x <- (I - beta v v') x over a block of length v.size() read with the given stride.
void reflect(const Vector& v, double beta, double* x, std::ptrdiff_t stride) {
  double s = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) s += v[i] * x[static_cast<std::ptrdiff_t>(i) * stride];
  s *= beta;
  for (std::size_t i = 0; i < v.size(); ++i) x[static_cast<std::ptrdiff_t>(i) * stride] -= s * v[i];
}

}  // namespace

std::size_t Term::width() const {
  switch (kind) {
    case TermKind::Intercept:
    case TermKind::Linear: return 1;
    case TermKind::Factor: return levels > 0 ? levels - 1 : 0;
    case TermKind::Smooth: return product_of_sizes(margins);
  }
  return 0;
}

Result<ModelLayout> ModelLayout::create(std::vector<Term> terms) {
  if (terms.empty()) return fail(GamError::invalid_parameter("a model needs at least one term"));
  ModelLayout layout;
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const Term& term = terms[t];
    const std::size_t want_columns = term.kind == TermKind::Intercept ? 0
                                     : term.kind == TermKind::Smooth  ? term.margins.size()
                                                                      : 1;
    if (term.columns.size() != want_columns || (term.kind == TermKind::Smooth && want_columns == 0)) {
      return fail(GamError::invalid_parameter(
          diag::format("term {} reads {} input columns; it needs {}", t, term.columns.size(),
                      std::max<std::size_t>(want_columns, 1))));
    }
    if (term.kind == TermKind::Factor && term.levels < 2) {
      return fail(GamError::invalid_parameter(
          diag::format("factor term {} has {} level(s); it needs at least 2", t, term.levels)));
    }
    if (term.kind == TermKind::Smooth) {
      std::size_t q = 1;
      for (const auto& m : term.margins) {
        q *= m.size();
        if (q > kMaxTermWidth) {
          return fail(GamError::invalid_parameter(diag::format(
              "smooth term {} has more than {} basis functions", t, kMaxTermWidth)));
        }
      }
      for (std::size_t m = 0; m < term.margins.size(); ++m) layout.penalties_.push_back({t, m});
    }
    if (term.levels > kMaxModelWidth + 1) {
      return fail(GamError::invalid_parameter(diag::format(
          "the model has more than {} coefficients", kMaxModelWidth)));
    }
    layout.offsets_.push_back(layout.width_);
    layout.width_ += term.width();
    if (layout.width_ > kMaxModelWidth) {
      return fail(GamError::invalid_parameter(diag::format(
          "the model has more than {} coefficients", kMaxModelWidth)));
    }
    for (std::size_t c : term.columns) layout.input_columns_ = std::max(layout.input_columns_, c + 1);
  }
  layout.terms_ = std::move(terms);
  layout.coefficient_offsets_ = layout.offsets_;
  layout.coefficients_ = layout.width_;
  return layout;
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
    const std::size_t q = terms_[t].width();
    if (terms_[t].kind != TermKind::Smooth) {
      next += q;
      continue;
    }
    Vector v(q);
    double norm2 = 0.0;
    for (std::size_t i = 0; i < q; ++i) {
      v[i] = column_sums[offsets_[t] + i];
      norm2 += v[i] * v[i];
    }
    const double norm = std::sqrt(norm2);
    if (!std::isfinite(norm) || norm == 0.0) {
      return fail(GamError::invalid_parameter(
          diag::format("smooth term {} cannot be centred: its column sums are {}", t,
                      std::isfinite(norm) ? "all zero" : "not finite")));
    }
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
  const std::size_t q = terms_[t].width();
  return centred_ && terms_[t].kind == TermKind::Smooth ? q - 1 : q;
}

std::size_t ModelLayout::null_space_dimension() const {
  std::size_t d = 0;
  for (const Term& t : terms_) {
    if (t.kind == TermKind::Smooth) {
      d += smooth_null_dimension(t) - (centred_ ? 1 : 0);
    } else {
      d += t.width();
    }
  }
  return d;
}

Status ModelLayout::evaluate_rows(std::span<const VectorView> columns, std::size_t first,
                                  std::size_t count, double* out, std::size_t stride) const {
  std::vector<double> margin_row, kron_a, kron_b;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const Term& term = terms_[t];
    double* block = out + offsets_[t];
    switch (term.kind) {
      case TermKind::Intercept:
        for (std::size_t i = 0; i < count; ++i) block[i * stride] = 1.0;
        break;
      case TermKind::Linear: {
        const VectorView x = columns[term.columns[0]];
        for (std::size_t i = 0; i < count; ++i) block[i * stride] = x[first + i] - term.center;
        break;
      }
      case TermKind::Factor: {
        const VectorView x = columns[term.columns[0]];
        const std::size_t w = term.levels - 1;
        for (std::size_t i = 0; i < count; ++i) {
          double* row = block + i * stride;
          std::fill(row, row + w, 0.0);
          const double code = x[first + i];
          if (!(code >= 0.0 && code < static_cast<double>(term.levels)) || code != std::floor(code)) {
            return fail(GamError::invalid_parameter(diag::format(
                "row {} of factor column {} holds code {}, not one of 0 .. {}", first + i,
                term.columns[0], code, term.levels - 1)));
          }
          const auto level = static_cast<std::size_t>(code);
          if (level > 0) row[level - 1] = 1.0;
        }
        break;
      }
      case TermKind::Smooth: {
        if (term.margins.size() == 1) {
          const VectorView x = columns[term.columns[0]];
          const MarginalBasis& m = term.margins[0];
          for (std::size_t i = 0; i < count; ++i) {
            const double xi = x[first + i];
            double* row = block + i * stride;
            if (std::isnan(xi)) {
              std::fill(row, row + m.size(), xi);
            } else {
              m.evaluate(xi, row);
            }
          }
          break;
        }
        const std::size_t q = term.width();
        kron_a.resize(q);
        kron_b.resize(q);
        for (std::size_t i = 0; i < count; ++i) {
          std::size_t len = 1;
          kron_a[0] = 1.0;
          for (std::size_t m = 0; m < term.margins.size(); ++m) {
            const MarginalBasis& basis = term.margins[m];
            const double xi = columns[term.columns[m]][first + i];
            margin_row.resize(basis.size());
            if (std::isnan(xi)) {
              std::fill(margin_row.begin(), margin_row.end(), xi);
            } else {
              basis.evaluate(xi, margin_row.data());
            }
            for (std::size_t a = 0; a < len; ++a) {
              for (std::size_t b = 0; b < basis.size(); ++b) {
                kron_b[a * basis.size() + b] = kron_a[a] * margin_row[b];
              }
            }
            len *= basis.size();
            std::swap(kron_a, kron_b);
          }
          std::copy(kron_a.begin(), kron_a.begin() + static_cast<std::ptrdiff_t>(q), block + i * stride);
        }
        break;
      }
    }
  }
  return {};
}

namespace {

// Kronecker product of identities with `target`'s matrix in place of margin `target`,
// margin 0 outermost.
template <class Pick>
Matrix margin_kronecker(const Term& term, std::size_t target, Pick pick) {
  Matrix acc = Matrix::identity(1);
  for (std::size_t m = 0; m < term.margins.size(); ++m) {
    const Matrix factor = m == target ? pick(term.margins[m]) : Matrix::identity(term.margins[m].size());
    Matrix next(acc.rows() * factor.rows(), acc.cols() * factor.cols());
    for (std::size_t a = 0; a < acc.rows(); ++a)
      for (std::size_t b = 0; b < acc.cols(); ++b) {
        const double s = acc(a, b);
        if (s == 0.0) continue;
        for (std::size_t c = 0; c < factor.rows(); ++c)
          for (std::size_t d = 0; d < factor.cols(); ++d)
            next(a * factor.rows() + c, b * factor.cols() + d) = s * factor(c, d);
      }
    acc = std::move(next);
  }
  return acc;
}

}  // namespace

Matrix ModelLayout::penalty_matrix(std::size_t j) const {
  return margin_kronecker(terms_[penalties_[j].term], penalties_[j].margin,
                          [](const MarginalBasis& b) { return b.penalty(); });
}

Matrix ModelLayout::penalty_root(std::size_t j) const {
  return margin_kronecker(terms_[penalties_[j].term], penalties_[j].margin,
                          [](const MarginalBasis& b) { return b.penalty_root(); });
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
  for (const Term& term : terms_) {
    if (term.kind != TermKind::Smooth) continue;
    const std::size_t d = term.margins.size();
    std::vector<double> lambda(d);
    for (std::size_t a = 0; a < d; ++a) lambda[a] = std::exp(rho[first + a]);
    const std::size_t q = term.width();
    std::vector<std::size_t> idx(d, 0);
    std::vector<double> part(d);
    for (std::size_t cell = 0; cell < q; ++cell) {
      double sum = 0.0;
      for (std::size_t a = 0; a < d; ++a) {
        part[a] = lambda[a] * term.margins[a].penalty_eigenvalues()[idx[a]];
        sum += part[a];
      }
      if (sum > 0.0) {
        out.value += std::log(sum);
        for (std::size_t a = 0; a < d; ++a) {
          const double fa = part[a] / sum;
          out.gradient[first + a] += fa;
          out.hessian(first + a, first + a) += fa;
          for (std::size_t b = 0; b < d; ++b) {
            out.hessian(first + a, first + b) -= fa * part[b] / sum;
          }
        }
      }
      // Next combination, the last margin fastest.
      for (std::size_t a = d; a-- > 0;) {
        if (++idx[a] < term.margins[a].size()) break;
        idx[a] = 0;
      }
    }
    first += d;
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

}  // namespace velkan::terms
