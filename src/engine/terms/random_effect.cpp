// Random effects: an i.i.d. normal effect per level of a grouping column (an indicator
// column per level), or a random slope (the level's column holds a numeric input), with
// the identity as penalty. The code kUnseenLevel (a level the fit never saw) gives a zero
// row: the effect at its mean, the population value. Reading the penalty as a prior, lambda = scale / sigma^2, so
// the criterion's choice of lambda is the REML estimate of the variance component. Not
// centred: the penalty identifies the effects, and the unpenalized intercept keeps the
// level.
#include <cmath>

#include "diag/format.h"
#include "engine/terms/registry.h"

namespace velkan::terms {

namespace {

class RandomEffect final : public TermBasis {
 public:
  explicit RandomEffect(TermSpec spec) : TermBasis(std::move(spec)) {}
  std::size_t width() const override { return spec().levels; }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override {
    const auto& cols = spec().columns;
    const VectorView g = columns[cols[0]];
    const bool slope = cols.size() == 2;
    const std::size_t levels = spec().levels;
    for (std::size_t i = 0; i < count; ++i) {
      double* row = out + i * stride;
      std::fill(row, row + levels, 0.0);
      const double code = g[first + i];
      if (code == kUnseenLevel) continue;
      if (!(code >= 0.0 && code < static_cast<double>(levels)) || code != std::floor(code)) {
        return fail(GamError::invalid_parameter(
            diag::format("row {} of grouping column {} holds code {}, not one of 0 .. {}",
                         first + i, cols[0], code, levels - 1)));
      }
      row[static_cast<std::size_t>(code)] = slope ? columns[cols[1]][first + i] : 1.0;
    }
    return {};
  }
  std::size_t group_width() const override { return 1; }
  Status evaluate_grouped(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                          std::size_t* group, double* values) const override {
    const auto& cols = spec().columns;
    const VectorView g = columns[cols[0]];
    const std::size_t levels = spec().levels;
    for (std::size_t i = 0; i < count; ++i) {
      const double code = g[first + i];
      values[i] = cols.size() == 2 ? columns[cols[1]][first + i] : 1.0;
      group[i] = kNoGroup;
      if (code == kUnseenLevel) continue;
      if (!(code >= 0.0 && code < static_cast<double>(levels)) || code != std::floor(code)) {
        return fail(GamError::invalid_parameter(
            diag::format("row {} of grouping column {} holds code {}, not one of 0 .. {}",
                         first + i, cols[0], code, levels - 1)));
      }
      group[i] = static_cast<std::size_t>(code);
    }
    return {};
  }
  std::size_t penalty_count() const override { return 1; }
  Matrix penalty(std::size_t) const override { return Matrix::identity(1); }
  Matrix penalty_root(std::size_t) const override { return Matrix::identity(1); }
  PenaltyPlacement penalty_placement(std::size_t) const override { return {0, spec().levels}; }
  // |lambda I| = lambda^levels.
  void add_log_determinant(VectorView rho, std::size_t first, LogDeterminant& out) const override {
    const auto levels = static_cast<double>(spec().levels);
    out.value += levels * rho[first];
    out.gradient[first] += levels;
  }
  std::size_t null_space_dimension() const override { return 0; }
};

}  // namespace

Result<std::shared_ptr<const TermBasis>> make_random_effect(const TermSpec& spec, std::size_t index) {
  if (spec.columns.empty() || spec.columns.size() > 2) {
    return fail(GamError::invalid_parameter(diag::format(
        "random-effect term {} reads {} input columns; it needs 1 (a grouping column) or 2 "
        "(and a numeric column for a random slope)", index, spec.columns.size())));
  }
  if (spec.levels < 1 || spec.levels > kMaxTermWidth) {
    return fail(GamError::invalid_parameter(diag::format(
        "random-effect term {} has {} levels; it needs 1 to {}", index, spec.levels, kMaxTermWidth)));
  }
  return std::make_shared<const RandomEffect>(spec);
}

}  // namespace velkan::terms
