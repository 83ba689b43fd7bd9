// Smooths: one marginal basis of one column, or a tensor product of several, whose design
// row is the Kronecker product of the margins' rows (margin 0 outermost) and whose
// penalties are S_m on margin m and identities on the others, one smoothing parameter
// each. Centred: the intercept carries the level.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "diag/format.h"
#include "engine/terms/marginal_basis.h"
#include "engine/terms/registry.h"

namespace velkan::terms {

namespace {

class Smooth final : public TermBasis {
 public:
  Smooth(TermSpec spec, std::vector<MarginalBasis> margins)
      : TermBasis(std::move(spec)), margins_(std::move(margins)) {
    width_ = 1;
    for (const auto& m : margins_) width_ *= m.size();
  }

  std::size_t width() const override { return width_; }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override;
  std::size_t penalty_count() const override { return margins_.size(); }
  Matrix penalty(std::size_t j) const override {
    return margin_kronecker(j, [](const MarginalBasis& b) { return b.penalty(); });
  }
  Matrix penalty_root(std::size_t j) const override {
    return margin_kronecker(j, [](const MarginalBasis& b) { return b.penalty_root(); });
  }
  void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const override;
  // The tensor product of the margins' null spaces.
  std::size_t null_space_dimension() const override {
    std::size_t d = 1;
    for (const auto& m : margins_) d *= m.size() - m.penalty_rank();
    return d;
  }
  bool centred() const override { return true; }
  std::optional<TermSpec> richer() const override;
  std::shared_ptr<const TermBasis> held_at_ends() const override {
    std::vector<MarginalBasis> held;
    for (const auto& m : margins_) held.push_back(m.held_at_ends());
    return std::make_shared<const Smooth>(spec(), std::move(held));
  }
  // A tensor product's row is the Kronecker product of its margins' rows.
  bool binnable() const override { return true; }
  Matrix margin_rows(std::size_t m, VectorView values) const override {
    const MarginalBasis& basis = margins_[m];
    Matrix out(values.size, basis.size());
    for (std::size_t i = 0; i < values.size; ++i) basis.evaluate(values[i], out.row_ptr(i));
    return out;
  }

 private:
  // Kronecker product of identities with `pick(margin target)` in place of margin `target`.
  template <class Pick>
  Matrix margin_kronecker(std::size_t target, Pick pick) const;

  std::vector<MarginalBasis> margins_;
  std::size_t width_ = 0;
};

Status Smooth::evaluate(std::span<const VectorView> columns, std::size_t first,
                        std::size_t count, double* out, std::size_t stride) const {
  const auto& cols = spec().columns;
  if (margins_.size() == 1) {
    const VectorView x = columns[cols[0]];
    const MarginalBasis& m = margins_[0];
    for (std::size_t i = 0; i < count; ++i) {
      const double xi = x[first + i];
      double* row = out + i * stride;
      if (std::isnan(xi)) {
        std::fill(row, row + m.size(), xi);
      } else {
        m.evaluate(xi, row);
      }
    }
    return {};
  }
  std::vector<double> margin_row, kron_a(width_), kron_b(width_);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t len = 1;
    kron_a[0] = 1.0;
    for (std::size_t m = 0; m < margins_.size(); ++m) {
      const MarginalBasis& basis = margins_[m];
      const double xi = columns[cols[m]][first + i];
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
    std::copy(kron_a.begin(), kron_a.begin() + static_cast<std::ptrdiff_t>(width_), out + i * stride);
  }
  return {};
}

template <class Pick>
Matrix Smooth::margin_kronecker(std::size_t target, Pick pick) const {
  Matrix acc = Matrix::identity(1);
  for (std::size_t m = 0; m < margins_.size(); ++m) {
    const Matrix factor = m == target ? pick(margins_[m]) : Matrix::identity(margins_[m].size());
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

// The eigenvalues of sum_m lambda_m (I x .. S_m .. x I) are the sums lambda_1 e_1i + ...
// over all combinations of the margins' penalty eigenvalues.
void Smooth::add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const {
  const std::size_t d = margins_.size();
  std::vector<double> lambda(d);
  for (std::size_t a = 0; a < d; ++a) lambda[a] = std::exp(rho[first + a]);
  std::vector<std::size_t> idx(d, 0);
  std::vector<double> part(d);
  for (std::size_t cell = 0; cell < width_; ++cell) {
    double sum = 0.0;
    for (std::size_t a = 0; a < d; ++a) {
      part[a] = lambda[a] * margins_[a].penalty_eigenvalues()[idx[a]];
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
      if (++idx[a] < margins_[a].size()) break;
      idx[a] = 0;
    }
  }
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
  if (spec.columns.empty() || spec.columns.size() != spec.margins.size()) {
    return fail(GamError::invalid_parameter(diag::format(
        "term {} reads {} input columns; it needs {}", index, spec.columns.size(),
        std::max<std::size_t>(spec.margins.size(), 1))));
  }
  std::vector<MarginalBasis> margins;
  std::size_t q = 1;
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
  return std::make_shared<const Smooth>(spec, std::move(margins));
}

}  // namespace velkan::terms
