// The unpenalized kinds: the intercept (a column of ones), a linear term (one input
// column, centred by a constant) and a factor (one indicator column per level but the
// reference level 0).
#include <algorithm>
#include <cmath>

#include "diag/format.h"
#include "engine/terms/registry.h"

namespace velkan::terms {

namespace {

Status check_columns(const TermSpec& spec, std::size_t index, std::size_t want) {
  if (spec.columns.size() != want) {
    return fail(GamError::invalid_parameter(diag::format(
        "term {} reads {} input columns; it needs {}", index, spec.columns.size(), want)));
  }
  return {};
}

class Intercept final : public TermBasis {
 public:
  explicit Intercept(TermSpec spec) : TermBasis(std::move(spec)) {}
  std::size_t width() const override { return 1; }
  Status evaluate(std::span<const VectorView>, std::size_t, std::size_t count, double* out,
                  std::size_t stride) const override {
    for (std::size_t i = 0; i < count; ++i) out[i * stride] = 1.0;
    return {};
  }
  std::size_t null_space_dimension() const override { return 1; }
  // No input columns: the Kronecker product of no rows is the row (1).
  bool binnable() const override { return true; }
};

// The centre keeps the column from being nearly collinear with the intercept when its
// values sit far from zero; the slope is unchanged.
class Linear final : public TermBasis {
 public:
  explicit Linear(TermSpec spec) : TermBasis(std::move(spec)) {}
  std::size_t width() const override { return 1; }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override {
    const VectorView x = columns[spec().columns[0]];
    const double center = spec().center;
    for (std::size_t i = 0; i < count; ++i) out[i * stride] = x[first + i] - center;
    return {};
  }
  std::size_t null_space_dimension() const override { return 1; }
  bool binnable() const override { return true; }
  Matrix margin_rows(std::size_t, VectorView values) const override {
    Matrix out(values.size, 1);
    for (std::size_t i = 0; i < values.size; ++i) out(i, 0) = values[i] - spec().center;
    return out;
  }
};

// Codes are stored as doubles; anything but 0 .. levels - 1 is refused.
class Factor final : public TermBasis {
 public:
  explicit Factor(TermSpec spec) : TermBasis(std::move(spec)) {}
  std::size_t width() const override { return spec().levels - 1; }
  Status evaluate(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                  double* out, std::size_t stride) const override {
    const VectorView x = columns[spec().columns[0]];
    const std::size_t levels = spec().levels, w = levels - 1;
    for (std::size_t i = 0; i < count; ++i) {
      double* row = out + i * stride;
      std::fill(row, row + w, 0.0);
      const double code = x[first + i];
      if (!(code >= 0.0 && code < static_cast<double>(levels)) || code != std::floor(code)) {
        return fail(GamError::invalid_parameter(
            diag::format("row {} of factor column {} holds code {}, not one of 0 .. {}",
                         first + i, spec().columns[0], code, levels - 1)));
      }
      const auto level = static_cast<std::size_t>(code);
      if (level > 0) row[level - 1] = 1.0;
    }
    return {};
  }
  std::size_t null_space_dimension() const override { return width(); }
  std::size_t group_width() const override { return 1; }
  Status evaluate_grouped(std::span<const VectorView> columns, std::size_t first, std::size_t count,
                          std::size_t* group, double* values) const override {
    const VectorView x = columns[spec().columns[0]];
    const std::size_t levels = spec().levels;
    for (std::size_t i = 0; i < count; ++i) {
      const double code = x[first + i];
      if (!(code >= 0.0 && code < static_cast<double>(levels)) || code != std::floor(code)) {
        return fail(GamError::invalid_parameter(
            diag::format("row {} of factor column {} holds code {}, not one of 0 .. {}",
                         first + i, spec().columns[0], code, levels - 1)));
      }
      const auto level = static_cast<std::size_t>(code);
      group[i] = level == 0 ? kNoGroup : level - 1;
      values[i] = 1.0;
    }
    return {};
  }
  // A factor column is binned by its codes; a value that is not a code gives a zero row
  // (the binned pass never asks for one: its bins are the codes 0 .. levels - 1).
  bool binnable() const override { return true; }
  Matrix margin_rows(std::size_t, VectorView values) const override {
    Matrix out(values.size, width());
    for (std::size_t i = 0; i < values.size; ++i) {
      const double code = values[i];
      if (code >= 1.0 && code < static_cast<double>(spec().levels) && code == std::floor(code)) {
        out(i, static_cast<std::size_t>(code) - 1) = 1.0;
      }
    }
    return out;
  }
};

}  // namespace

Result<std::shared_ptr<const TermBasis>> make_intercept(const TermSpec& spec, std::size_t index) {
  if (auto ok = check_columns(spec, index, 0); !ok) return fail(ok.error());
  return std::make_shared<const Intercept>(spec);
}

Result<std::shared_ptr<const TermBasis>> make_linear(const TermSpec& spec, std::size_t index) {
  if (auto ok = check_columns(spec, index, 1); !ok) return fail(ok.error());
  if (!std::isfinite(spec.center)) {
    return fail(GamError::invalid_parameter(
        diag::format("linear term {} has a centre that is not finite", index)));
  }
  return std::make_shared<const Linear>(spec);
}

Result<std::shared_ptr<const TermBasis>> make_factor(const TermSpec& spec, std::size_t index) {
  if (auto ok = check_columns(spec, index, 1); !ok) return fail(ok.error());
  if (spec.levels < 2) {
    return fail(GamError::invalid_parameter(diag::format(
        "factor term {} has {} level(s); it needs at least 2", index, spec.levels)));
  }
  return std::make_shared<const Factor>(spec);
}

}  // namespace velkan::terms
