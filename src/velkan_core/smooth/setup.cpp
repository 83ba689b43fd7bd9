#include "velkan_core/smooth/setup.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diag/format.h"
#include "velkan_core/smooth/bspline.h"
#include "velkan_core/smooth/cubic_regression_spline.h"

namespace velkan {

namespace {

std::string term_name(std::size_t column) {
  std::string name = "x";
  name += std::to_string(column);
  return name;
}

// Minimum and maximum ignoring NaN; an empty (or all-NaN) column gives +inf and -inf.
std::pair<double, double> column_range(VectorView col) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < col.size; ++i) {
    const double v = col[i];
    if (std::isnan(v)) continue;
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  return {lo, hi};
}

// UsageError when the finite values of column j span too little for a smooth; a column
// without a finite range is left to the basis constructor's own refusal.
ModelResult<void> check_column_spread(VectorView col, std::size_t j) {
  const auto [lo, hi] = column_range(col);
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {};
  const double range = hi - lo;
  if (range == 0.0)
    return fail_usage(diag::format(
        "x column {} is constant (every value is {}): a constant column cannot carry a smooth",
        {j, lo}));
  const double scale = std::max(std::abs(lo), std::abs(hi));
  if (!(range > kMinRelativeColumnRange * scale) || !(range > kMinColumnRange))
    return fail_usage(diag::format(
        "x column {} spans only {:.3e} around {:.6e}: too narrow a range to carry a smooth; "
        "rescale the column",
        {j, range, lo}));
  return {};
}

}  // namespace

ModelResult<void> auto_setup(std::vector<SmoothTerm>& terms, MatrixView x,
                             std::span<const std::size_t> k, std::string_view basis) {
  if (k.size() != x.cols) {
    return fail_usage(diag::format("k length ({}) must match number of columns ({})",
                                   {k.size(), x.cols}));
  }
  terms.clear();
  for (std::size_t j = 0; j < x.cols; ++j) {
    // Checked per column: with no columns any name passes.
    if (basis != "cr" && basis != "bs") {
      return fail_usage("Unknown basis type '" + std::string(basis) + "'. Use 'bs' or 'cr'.");
    }
    if (auto ok = check_column_spread(x.col(j), j); !ok) return ok;
    Result<SmoothTerm> term = [&]() -> Result<SmoothTerm> {
      if (basis == "cr") {
        const auto [lo, hi] = column_range(x.col(j));
        return new_cr_smooth(term_name(j), k[j], lo, hi);
      }
      return new_bs_smooth(term_name(j), k[j], x.col(j));
    }();
    if (!term) return fail_model(std::move(term.error()));
    term->column = j;
    terms.push_back(std::move(*term));
  }
  return {};
}

ModelResult<void> formula_setup(std::vector<SmoothTerm>& terms, MatrixView x,
                                std::span<const FormulaTerm> formula) {
  for (const FormulaTerm& f : formula) {
    if (f.column >= x.cols) {
      return fail_usage(
          diag::format("Formula term s({}, k={}) refers to column {}, but x has {} columns",
                       {f.column, f.k, f.column, x.cols}));
    }
  }
  for (const FormulaTerm& f : formula)
    if (auto ok = check_column_spread(x.col(f.column), f.column); !ok) return ok;
  terms.clear();
  for (const FormulaTerm& f : formula) {
    auto term = new_bs_smooth(term_name(f.column), f.k, x.col(f.column));
    if (!term) return fail_model(std::move(term.error()));
    term->column = f.column;
    terms.push_back(std::move(*term));
  }
  return {};
}

}  // namespace velkan
