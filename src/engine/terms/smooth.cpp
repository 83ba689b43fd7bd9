// Smooths: one marginal basis of one column, or a tensor product of several, whose design
// row is the Kronecker product of the margins' rows (margin 0 outermost) and whose
// penalties are S_m on margin m and identities on the others, one smoothing parameter
// each.
//
// Variants, all from the spec:
//   by numeric   z f(x): the row times the by-column; not centred.
//   by factor    one smooth per level of the by-column (the row placed in that level's
//                block, zeros elsewhere), each centred on its own level's rows, with its own
//                smoothing parameters.
//   by random    one smooth per level, uncentred, whose penalties (every margin's and one on
//                the null space) are shared by all levels: random curves shrunk toward zero.
//   interaction only   the margins are centred before the product is formed, so the term
//                holds no function of fewer of its columns (main effects stay separate).
//   select       one more penalty on the null space of the others (in the constrained
//                parameterisation), so the criterion can shrink the whole term to zero.
//   constraint   a shape (increasing, decreasing, convex, concave) of a 1-D "ps" smooth,
//                imposed on the raw B-spline coefficients: their first or second
//                differences are signed, which makes the spline's derivative (a quadratic
//                spline with the differences as coefficients) or second derivative signed
//                everywhere, and the tangent continuation beyond the knots keeps it.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "diag/format.h"
#include "engine/terms/marginal_basis.h"
#include "engine/terms/registry.h"
#include "linalg/factorizations.h"

namespace velkan::terms {

namespace {

enum class By { None, Numeric, Factor, Random };

// Orthonormal basis of a symmetric penalty's null space (k x nullity, from its eigenvectors).
Matrix null_basis(const Matrix& s, std::size_t nullity) {
  auto eig = symmetric_eigen(s.view());
  Matrix out(s.rows(), nullity);
  if (!eig) return out;
  for (std::size_t i = 0; i < s.rows(); ++i)
    for (std::size_t c = 0; c < nullity; ++c) out(i, c) = eig->vectors(i, c);
  return out;
}

Matrix kronecker(const Matrix& a, const Matrix& b) {
  Matrix out(a.rows() * b.rows(), a.cols() * b.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) {
      const double s = a(i, j);
      if (s == 0.0) continue;
      for (std::size_t k = 0; k < b.rows(); ++k)
        for (std::size_t l = 0; l < b.cols(); ++l) out(i * b.rows() + k, j * b.cols() + l) = s * b(k, l);
    }
  return out;
}

// Adds log|sum_m lambda_m (I x .. S_m .. x I)|_+ over one block to out, `copies` times:
// its eigenvalues are the sums lambda_1 e_1i + ... over all combinations of the margins'
// penalty eigenvalues `eig`.
void add_combinations(const std::vector<const Vector*>& eig, VectorView rho, std::size_t first,
                      double copies, LogDeterminant& out) {
  const std::size_t d = eig.size();
  std::vector<double> lambda(d), part(d);
  std::size_t cells = 1;
  for (std::size_t a = 0; a < d; ++a) {
    lambda[a] = std::exp(rho[first + a]);
    cells *= eig[a]->size();
  }
  std::vector<std::size_t> idx(d, 0);
  for (std::size_t cell = 0; cell < cells; ++cell) {
    double sum = 0.0;
    for (std::size_t a = 0; a < d; ++a) {
      part[a] = lambda[a] * (*eig[a])[idx[a]];
      sum += part[a];
    }
    if (sum > 0.0) {
      out.value += copies * std::log(sum);
      for (std::size_t a = 0; a < d; ++a) {
        const double fa = part[a] / sum;
        out.gradient[first + a] += copies * fa;
        out.hessian(first + a, first + a) += copies * fa;
        for (std::size_t b = 0; b < d; ++b) out.hessian(first + a, first + b) -= copies * fa * part[b] / sum;
      }
    }
    // Next combination, the last margin fastest.
    for (std::size_t a = d; a-- > 0;) {
      if (++idx[a] < eig[a]->size()) break;
      idx[a] = 0;
    }
  }
}

class Smooth final : public TermBasis {
 public:
  Smooth(TermSpec spec, std::vector<MarginalBasis> margins, By by)
      : TermBasis(std::move(spec)), margins_(std::move(margins)), by_(by) {
    base_ = 1;
    null_ = 1;
    centred_null_ = 1;
    for (const auto& m : margins_) {
      base_ *= m.size();
      null_ *= m.size() - m.penalty_rank();
      centred_null_ *= m.size() - m.penalty_rank() - 1;
    }
    groups_ = (by_ == By::Factor || by_ == By::Random) ? this->spec().levels : 1;
    interaction_ = this->spec().interaction_only;
    // The null space left once the constraint is absorbed: all of it for uncentred terms,
    // one direction less per centred block, the product of the centred margins' for
    // interaction-only tensors.
    if (interaction_) {
      block_null_ = centred_null_;
    } else {
      block_null_ = (by_ == By::Numeric || by_ == By::Random) ? null_ : null_ - 1;
    }
    select_ = (this->spec().select && block_null_ > 0) || by_ == By::Random;
    per_group_ = margins_.size() + (select_ ? 1 : 0);
    if (select_) {
      Matrix acc = Matrix::identity(1);
      for (const auto& m : margins_) acc = kronecker(acc, null_basis(m.penalty(), m.size() - m.penalty_rank()));
      null_vectors_ = std::move(acc);  // base x null_
    }
    set_shape_rows();
  }

  std::size_t width() const override { return base_ * groups_; }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override;
  std::size_t penalty_count() const override {
    return by_ == By::Factor ? groups_ * per_group_ : per_group_;
  }
  Matrix penalty(std::size_t j) const override {
    const std::size_t m = j % per_group_;
    if (m == margins_.size()) return matmul_nt(null_vectors_);
    return margin_kronecker(m, [](const MarginalBasis& b) { return b.penalty(); });
  }
  Matrix penalty_root(std::size_t j) const override {
    const std::size_t m = j % per_group_;
    if (m == margins_.size()) return Matrix::from(null_vectors_.t());
    return margin_kronecker(m, [](const MarginalBasis& b) { return b.penalty_root(); });
  }
  PenaltyPlacement penalty_placement(std::size_t j) const override {
    if (by_ == By::Factor) return {(j / per_group_) * base_, 1};
    return {0, groups_};
  }
  void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const override {
    std::vector<const Vector*> eig;
    for (const auto& m : margins_) eig.push_back(&m.penalty_eigenvalues());
    add_groups(eig, null_, rho, first, out);
  }
  std::size_t null_space_dimension() const override {
    return select_ ? 0 : (by_ == By::Factor ? groups_ * null_ : null_);
  }
  bool centred() const override { return by_ == By::None || by_ == By::Factor; }
  std::optional<TermSpec> richer() const override;
  std::shared_ptr<const TermBasis> held_at_ends() const override {
    std::vector<MarginalBasis> held;
    for (const auto& m : margins_) held.push_back(m.held_at_ends());
    return std::make_shared<const Smooth>(spec(), std::move(held), by_);
  }
  // A tensor product's row is the Kronecker product of its margins' rows.
  // Only a plain smooth's row is the product of its margins' rows (a by-variable's is not).
  bool binnable() const override { return by_ == By::None; }
  Matrix margin_rows(std::size_t m, VectorView values) const override {
    const MarginalBasis& basis = margins_[m];
    Matrix out(values.size, basis.size());
    for (std::size_t i = 0; i < values.size; ++i) basis.evaluate(values[i], out.row_ptr(i));
    return out;
  }

  Result<TermConstraint> constraint(VectorView block_sums) const override;
  std::vector<PenaltyBlock> constrained_penalties(const TermConstraint& c) const override;
  void add_constrained_log_determinant(const TermConstraint& c, VectorView rho, std::size_t first,
                                       LogDeterminant& out) const override {
    std::vector<const Vector*> eig;
    if (interaction_ && !c.empty()) {
      for (const auto& v : c.margin_eigenvalues) eig.push_back(&v);
    } else {
      for (const auto& m : margins_) eig.push_back(&m.penalty_eigenvalues());
    }
    add_groups(eig, c.empty() ? null_ : block_null_, rho, first, out);
  }
  std::size_t constrained_null_space_dimension(const TermConstraint& c) const override {
    if (c.empty()) return null_space_dimension();
    return select_ ? 0 : groups_ * block_null_;
  }
  Matrix shape_rows() const override { return shape_; }
  std::size_t group_width() const override {
    return (by_ == By::Factor || by_ == By::Random) ? base_ : 0;
  }
  Status evaluate_grouped(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                          std::size_t* group, double* values) const override;

 private:
  template <class Pick>
  Matrix margin_kronecker(std::size_t target, Pick pick) const;
  static Matrix matmul_nt(const Matrix& a);
  // rank0: the rank of the null-space penalty (select) in the parameterisation at hand.
  void add_groups(const std::vector<const Vector*>& eig, std::size_t rank0, VectorView rho,
                  std::size_t first, LogDeterminant& out) const;
  void base_row(std::span<const VectorView> columns, std::size_t row, double* out,
                std::vector<double>& a, std::vector<double>& b, std::vector<double>& m) const;
  Result<TermConstraint> interaction_constraint(VectorView sums) const;
  void set_shape_rows();

  std::vector<MarginalBasis> margins_;
  By by_;
  bool interaction_ = false;
  bool select_ = false;
  std::size_t base_ = 0, groups_ = 1, per_group_ = 0;
  std::size_t null_ = 0, centred_null_ = 0, block_null_ = 0;
  Matrix null_vectors_;
  Matrix shape_;
};

Matrix Smooth::matmul_nt(const Matrix& a) {
  Matrix out(a.rows(), a.rows());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.rows(); ++j) {
      double s = 0.0;
      for (std::size_t c = 0; c < a.cols(); ++c) s += a(i, c) * a(j, c);
      out(i, j) = s;
    }
  return out;
}

void Smooth::add_groups(const std::vector<const Vector*>& eig, std::size_t rank0, VectorView rho,
                        std::size_t first, LogDeterminant& out) const {
  const std::size_t blocks = by_ == By::Factor ? groups_ : 1;
  const double copies = by_ == By::Random ? static_cast<double>(groups_) : 1.0;
  for (std::size_t g = 0; g < blocks; ++g) {
    const std::size_t f = first + g * per_group_;
    add_combinations(eig, rho, f, copies, out);
    if (select_) {
      // The null-space penalty's range is orthogonal to the others': its eigenvalues
      // (lambda_0, rank0 times) simply join theirs.
      const std::size_t j = f + margins_.size();
      out.value += copies * static_cast<double>(rank0) * rho[j];
      out.gradient[j] += copies * static_cast<double>(rank0);
    }
  }
}

void Smooth::base_row(std::span<const VectorView> columns, std::size_t row, double* out,
                      std::vector<double>& a, std::vector<double>& b, std::vector<double>& m) const {
  const auto& cols = spec().columns;
  if (margins_.size() == 1) {  // one margin: its row is the term's
    const double xi = columns[cols[0]][row];
    if (std::isnan(xi)) {
      std::fill(out, out + base_, xi);
    } else {
      margins_[0].evaluate(xi, out);
    }
    return;
  }
  std::size_t len = 1;
  a[0] = 1.0;
  for (std::size_t k = 0; k < margins_.size(); ++k) {
    const MarginalBasis& basis = margins_[k];
    const double xi = columns[cols[k]][row];
    m.resize(basis.size());
    if (std::isnan(xi)) {
      std::fill(m.begin(), m.end(), xi);
    } else {
      basis.evaluate(xi, m.data());
    }
    for (std::size_t i = 0; i < len; ++i)
      for (std::size_t j = 0; j < basis.size(); ++j) b[i * basis.size() + j] = a[i] * m[j];
    len *= basis.size();
    std::swap(a, b);
  }
  std::copy(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(base_), out);
}

Status Smooth::evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                        double* out, std::size_t stride) const {
  const auto& cols = spec().columns;
  std::vector<double> a(base_), b(base_), m;
  const std::size_t w = width();
  for (std::size_t i = 0; i < count; ++i) {
    double* row = out + i * stride;
    if (by_ == By::None) {
      base_row(columns, first + i, row, a, b, m);
      continue;
    }
    const double z = columns[cols.back()][first + i];
    if (by_ == By::Numeric) {
      base_row(columns, first + i, row, a, b, m);
      for (std::size_t c = 0; c < base_; ++c) row[c] *= z;
      continue;
    }
    std::fill(row, row + w, 0.0);
    if (by_ == By::Random && z == kUnseenLevel) continue;
    if (!(z >= 0.0 && z < static_cast<double>(groups_)) || z != std::floor(z)) {
      return fail(GamError::invalid_parameter(diag::format(
          "row {} of factor column {} holds code {}, not one of 0 .. {}", first + i, cols.back(), z,
          groups_ - 1)));
    }
    base_row(columns, first + i, row + static_cast<std::size_t>(z) * base_, a, b, m);
  }
  return {};
}

Status Smooth::evaluate_grouped(std::span<const VectorView> columns, std::size_t first,
                                std::size_t count, std::size_t* group, double* values) const {
  const auto& cols = spec().columns;
  std::vector<double> a(base_), b(base_), m;
  for (std::size_t i = 0; i < count; ++i) {
    const double z = columns[cols.back()][first + i];
    group[i] = kNoGroup;
    base_row(columns, first + i, values + i * base_, a, b, m);
    if (by_ == By::Random && z == kUnseenLevel) continue;
    if (!(z >= 0.0 && z < static_cast<double>(groups_)) || z != std::floor(z)) {
      return fail(GamError::invalid_parameter(diag::format(
          "row {} of factor column {} holds code {}, not one of 0 .. {}", first + i, cols.back(), z,
          groups_ - 1)));
    }
    group[i] = static_cast<std::size_t>(z);
  }
  return {};
}

template <class Pick>
Matrix Smooth::margin_kronecker(std::size_t target, Pick pick) const {
  Matrix acc = Matrix::identity(1);
  for (std::size_t m = 0; m < margins_.size(); ++m) {
    acc = kronecker(acc, m == target ? pick(margins_[m]) : Matrix::identity(margins_[m].size()));
  }
  return acc;
}

Result<TermConstraint> Smooth::constraint(VectorView sums) const {
  if (interaction_) return interaction_constraint(sums);
  if (by_ != By::Factor) return TermBasis::constraint(sums);
  // One reflection per level, each on its own level's rows; a level without weight keeps
  // its first direction dropped and nothing reflected (the fit's ridge holds the rest).
  TermConstraint c;
  c.dropped.assign(width(), false);
  for (std::size_t g = 0; g < groups_; ++g) {
    const VectorView block{sums.data + g * base_ * sums.stride, base_, sums.stride};
    auto r = centring_reflection(block, "");
    Reflection refl = r ? std::move(*r) : Reflection{Vector(base_), 0.0, {0}, 1};
    refl.starts = {g * base_};
    c.reflections.push_back(std::move(refl));
    c.dropped[g * base_] = true;
  }
  return c;
}

// Margin m's sums are the tensor column sums added over every other margin's index (each
// margin's functions sum to one). Its reflection acts along axis m of the coefficient
// array; a position is dropped when any of its margin indices is 0.
Result<TermConstraint> Smooth::interaction_constraint(VectorView sums) const {
  const std::size_t d = margins_.size();
  TermConstraint c;
  c.dropped.assign(base_, false);
  std::vector<std::size_t> strides(d, 1);
  for (std::size_t m = d - 1; m > 0; --m) strides[m - 1] = strides[m] * margins_[m].size();
  for (std::size_t m = 0; m < d; ++m) {
    const std::size_t km = margins_[m].size();
    Vector s(km);
    std::vector<std::size_t> starts;
    for (std::size_t cell = 0; cell < base_; ++cell) {
      const std::size_t index = (cell / strides[m]) % km;
      s[index] += sums[cell * sums.stride];
      if (index == 0) {
        starts.push_back(cell);
        c.dropped[cell] = true;
      }
    }
    auto r = centring_reflection(s.view(), diag::format("margin {} of the interaction", m));
    if (!r) return fail(r.error());
    r->starts = std::move(starts);
    r->stride = strides[m];
    // The centred margin's penalty Z'S Z and its eigenvalues (one null direction fewer).
    Matrix sm = margins_[m].penalty();
    for (std::size_t col = 0; col < km; ++col) reflect(r->v, r->beta, sm.data() + col, static_cast<std::ptrdiff_t>(km));
    for (std::size_t row = 0; row < km; ++row) reflect(r->v, r->beta, sm.row_ptr(row), 1);
    Matrix reduced(km - 1, km - 1);
    for (std::size_t a = 1; a < km; ++a)
      for (std::size_t b = 1; b < km; ++b) reduced(a - 1, b - 1) = 0.5 * (sm(a, b) + sm(b, a));
    auto eig = penalty_eigenvalues(reduced, km - margins_[m].penalty_rank() - 1);
    if (!eig) return fail(eig.error());
    c.margin_eigenvalues.push_back(std::move(*eig));
    c.reflections.push_back(std::move(*r));
  }
  return c;
}

// The null-space penalty is rebuilt in the constrained parameterisation: the projection
// onto the joint null space of the block's other (constrained) penalties.
std::vector<PenaltyBlock> Smooth::constrained_penalties(const TermConstraint& c) const {
  auto blocks = TermBasis::constrained_penalties(c);
  if (!select_ || c.empty()) return blocks;
  const std::size_t rank0 = block_null_;
  for (std::size_t g = 0; g * per_group_ < blocks.size(); ++g) {
    const std::size_t j0 = g * per_group_;
    Matrix sum = blocks[j0].matrix;
    for (std::size_t m = 1; m < margins_.size(); ++m) sum += blocks[j0 + m].matrix;
    const Matrix n = null_basis(sum, rank0);
    PenaltyBlock& nb = blocks[j0 + margins_.size()];
    nb.matrix = matmul_nt(n);
    nb.root = Matrix::from(n.t());
  }
  return blocks;
}

// Rows A with A beta >= 0 for the shape: first differences (monotone) or second
// differences (convex / concave) of the B-spline coefficients, signed.
void Smooth::set_shape_rows() {
  const std::string& shape = spec().constraint;
  if (shape.empty()) return;
  const std::size_t k = base_;
  const bool second = shape == "convex" || shape == "concave";
  const double sign = (shape == "decreasing" || shape == "concave") ? -1.0 : 1.0;
  const std::size_t rows = second ? k - 2 : k - 1;
  shape_ = Matrix(rows, k);
  for (std::size_t r = 0; r < rows; ++r) {
    if (second) {
      shape_(r, r) = sign;
      shape_(r, r + 1) = -2.0 * sign;
      shape_(r, r + 2) = sign;
    } else {
      shape_(r, r) = -sign;
      shape_(r, r + 1) = sign;
    }
  }
}

By parse_by(const std::string& s, bool& ok) {
  ok = true;
  if (s == kByNone) return By::None;
  if (s == kByNumeric) return By::Numeric;
  if (s == kByFactor) return By::Factor;
  if (s == kByRandom) return By::Random;
  ok = false;
  return By::None;
}

Status check_smooth_options(const TermSpec& spec, By by, std::size_t index) {
  auto refuse = [&](const std::string& why) {
    return fail(GamError::invalid_parameter(diag::format("smooth term {} {}", index, why)));
  };
  if ((by == By::Factor || by == By::Random) && spec.levels < 1) return refuse("needs the levels of its by-factor");
  if (spec.interaction_only && (spec.margins.size() < 2 || by != By::None)) {
    return refuse("can be interaction-only only as a tensor product of two or more columns without by");
  }
  const std::string& shape = spec.constraint;
  if (!shape.empty()) {
    if (shape != "increasing" && shape != "decreasing" && shape != "convex" && shape != "concave") {
      return refuse("has an unknown constraint \"" + shape + "\"");
    }
    const auto kind = parse_basis(spec.margins.size() == 1 ? spec.margins[0].basis : "");
    bool shapes = false;
    for (const auto& info : marginal_kinds()) shapes = shapes || (kind && info.kind == *kind && info.shapes);
    if (!shapes || by != By::None || spec.select) {
      return refuse("takes a shape constraint only as a one-column smooth of a basis that allows one, without by or select");
    }
  }
  return {};
}

// The richer basis of a smooth must resolve detail well beyond its own: doubling a small
// basis is not enough (k = 5 doubled still cannot follow three periods of a sine), so each
// margin of a one-column smooth gains at least kRicherExtra functions, shared among the
// margins of a tensor product, whose richer width is capped at kMaxRicherWidth.
constexpr std::size_t kRicherExtra = 20;
constexpr double kMaxRicherWidth = 400.0;

// Functions of a margin beyond one per knot interval: a cubic B-spline basis has three
// more, a natural cubic spline one (a value per knot), a cyclic one none.
std::size_t functions_beyond_intervals(BasisKind kind) {
  return kind == BasisKind::PSpline ? 3 : kind == BasisKind::CubicRegression ? 1 : 0;
}

// The size of a margin's richer basis: a whole multiple (at least two) of its knot
// intervals, at least `target` functions and within `cap` where the multiple allows. Each
// interval is split evenly, so the margin's own functions lie exactly in the richer span:
// what the model already represents then drops out of the check cleanly, instead of
// leaving directions that the arithmetic can barely tell from zero.
std::size_t richer_size(const MarginalBasis& m, std::size_t target, std::size_t cap) {
  const std::size_t fixed = functions_beyond_intervals(m.kind());
  const std::size_t intervals = m.size() - fixed;
  std::size_t times = (target - fixed + intervals - 1) / intervals;
  if (times * intervals + fixed > cap) times = cap > fixed ? (cap - fixed) / intervals : 0;
  return std::max<std::size_t>(times, 2) * intervals + fixed;
}

// One margin of a smooth's richer basis of `size` functions (richer_size): a B-spline
// basis over the same range, a natural or cyclic spline whose knots split each of the
// margin's knot intervals evenly.
MarginSpec richer_margin(const MarginalBasis& m, std::size_t size) {
  const Vector& knots = m.knots();
  if (m.kind() == BasisKind::PSpline) return {basis_name(m.kind()), size, knots};
  const std::size_t intervals = knots.size() - 1;
  const std::size_t times = (size - functions_beyond_intervals(m.kind())) / intervals;
  Vector grid(intervals * times + 1);
  for (std::size_t i = 0; i < intervals; ++i) {
    for (std::size_t j = 0; j < times; ++j) {
      const double f = static_cast<double>(j) / static_cast<double>(times);
      grid[i * times + j] = knots[i] + f * (knots[i + 1] - knots[i]);
    }
  }
  grid[intervals * times] = knots[intervals];
  return {basis_name(m.kind()), size, std::move(grid)};
}

std::optional<TermSpec> Smooth::richer() const {
  TermSpec out = spec();
  const double d = static_cast<double>(margins_.size());
  const auto cap = static_cast<std::size_t>(std::floor(std::pow(kMaxRicherWidth, 1.0 / d)));
  const auto extra = static_cast<std::size_t>(std::ceil(static_cast<double>(kRicherExtra) / d));
  for (std::size_t m = 0; m < margins_.size(); ++m) {
    const std::size_t k = margins_[m].size();
    out.margins[m] = richer_margin(margins_[m], richer_size(margins_[m], std::max(2 * k, k + extra), cap));
  }
  return out;
}

}  // namespace

Result<std::shared_ptr<const TermBasis>> make_smooth(const TermSpec& spec, std::size_t index) {
  bool known = false;
  const By by = parse_by(spec.by, known);
  if (!known) {
    return fail(GamError::invalid_parameter(
        diag::format("smooth term {} has an unknown by \"{}\"", index, spec.by)));
  }
  const std::size_t extra = by == By::None ? 0 : 1;
  if (spec.margins.empty() || spec.columns.size() != spec.margins.size() + extra) {
    return fail(GamError::invalid_parameter(diag::format(
        "term {} reads {} input columns; it needs {}", index, spec.columns.size(),
        std::max<std::size_t>(spec.margins.size(), 1) + extra)));
  }
  if (auto ok = check_smooth_options(spec, by, index); !ok) return fail(ok.error());
  std::vector<MarginalBasis> margins;
  std::size_t q = (by == By::Factor || by == By::Random) ? spec.levels : 1;
  for (const MarginSpec& m : spec.margins) {
    const auto kind = parse_basis(m.basis);
    if (!kind) {
      return fail(GamError::invalid_parameter(
          diag::format("term {} has an unknown basis \"{}\"", index, m.basis)));
    }
    auto basis = MarginalBasis::create(*kind, m.k, m.knots.view());
    if (!basis) return fail(basis.error());
    q *= basis->size();
    if (q > kMaxTermWidth) {
      return fail(GamError::invalid_parameter(diag::format(
          "smooth term {} has more than {} basis functions", index, kMaxTermWidth)));
    }
    margins.push_back(std::move(*basis));
  }
  return std::make_shared<const Smooth>(spec, std::move(margins), by);
}

}  // namespace velkan::terms
