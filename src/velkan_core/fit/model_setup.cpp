// Smooth setup on the model record: wraps the smooth constructors and keeps the model's
// bookkeeping (terms_version, formula_model) in step with its smooth list.
#include <cmath>
#include <vector>

#include "diag/format.h"
#include "velkan_core/fit/gam_fit.h"
#include "velkan_core/fit/problem_size.h"
#include "velkan_core/smooth/bspline.h"
#include "velkan_core/smooth/formula.h"
#include "velkan_core/smooth/setup.h"

namespace velkan {

namespace {

// Identity of the current smooths: the basis objects they own.
std::vector<const SplineBasis*> identity(const GamModel& model) {
  std::vector<const SplineBasis*> ids;
  ids.reserve(model.smooth_terms.size());
  for (const SmoothTerm& t : model.smooth_terms) ids.push_back(t.basis.get());
  return ids;
}

// Bumps the version when the setup replaced the list, whatever it returned: a failing
// setup may already have emptied it and built some terms. `replaces` is the setup's own
// precondition for touching the list. The identity comparison alone is not enough: the
// old bases are freed before the new ones are allocated, so a new basis can land at the
// address of an old one and a rebuilt list can look unchanged.
void note_change(GamModel& model, const std::vector<const SplineBasis*>& before, bool replaces,
                 bool formula_model) {
  if (replaces || identity(model) != before) {
    ++model.terms_version;
    model.formula_model = formula_model;
  }
}

}  // namespace

ModelResult<void> setup_auto(GamModel& model, MatrixView x, std::span<const std::size_t> k,
                             std::string_view basis) {
  const auto before = identity(model);
  // auto_setup leaves the list alone only when k does not match the columns.
  const bool replaces = k.size() == x.cols;
  // A model the machine could not hold is refused before the list is touched (building a
  // B-spline smooth already copies its column).
  if (replaces && (basis == "bs" || basis == "cr")) {
    if (auto ok = check_smooth_sizes(x.rows, k); !ok) return fail_model(ok.error());
  }
  auto result = auto_setup(model.smooth_terms, x, k, basis);
  note_change(model, before, replaces, /*formula_model=*/false);
  return result;
}

ModelResult<void> setup_formula(GamModel& model, MatrixView x, std::string_view formula) {
  auto terms = parse_formula(formula);
  if (!terms) return std::unexpected(terms.error());
  const auto before = identity(model);
  // formula_setup leaves the list alone only when a term names a missing column.
  bool replaces = true;
  for (const FormulaTerm& t : *terms) replaces = replaces && t.column < x.cols;
  if (replaces) {
    std::vector<std::size_t> sizes;
    sizes.reserve(terms->size());
    for (const FormulaTerm& t : *terms) sizes.push_back(t.k);
    if (auto ok = check_smooth_sizes(x.rows, sizes); !ok) return fail_model(ok.error());
  }
  auto result = formula_setup(model.smooth_terms, x, *terms);
  note_change(model, before, replaces, /*formula_model=*/true);
  return result;
}

ModelResult<void> add_cubic_spline(GamModel& model, std::string name, std::size_t num_basis,
                                   double x_min, double x_max) {
  auto term = new_bs_smooth_even_knots(std::move(name), num_basis, x_min, x_max);
  if (!term) return fail_model(term.error());
  // Knots from a non-finite or empty or reversed range would be NaN, coincident or
  // decreasing: no basis a fit could use.
  if (!std::isfinite(x_min) || !std::isfinite(x_max) || !(x_min < x_max)) {
    return fail_model(GamError::invalid_parameter(
        diag::format("add_cubic_spline needs finite x_min < x_max, got x_min {} and x_max {}",
                     {x_min, x_max})));
  }
  // The j-th hand-added smooth reads column j of the x later passed to the fit.
  term->column = model.smooth_terms.size();
  model.smooth_terms.push_back(std::move(*term));
  ++model.terms_version;
  model.formula_model = false;
  return {};
}

}  // namespace velkan
