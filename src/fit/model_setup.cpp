// Smooth setup on the model record: wraps the smooth constructors and keeps the model's
// bookkeeping (terms_version, formula_model) in step with its smooth list.
#include <vector>

#include "fit/gam_fit.h"
#include "smooth/bspline.h"
#include "smooth/formula.h"
#include "smooth/setup.h"

namespace velkan {

namespace {

// Identity of the current smooths: the basis objects they own.
std::vector<const SplineBasis*> identity(const GamModel& model) {
  std::vector<const SplineBasis*> ids;
  ids.reserve(model.smooth_terms.size());
  for (const SmoothTerm& t : model.smooth_terms) ids.push_back(t.basis.get());
  return ids;
}

// Bumps the version when the list differs from `before`, whatever the setup returned:
// a failing setup may already have replaced some terms.
void note_change(GamModel& model, const std::vector<const SplineBasis*>& before,
                 bool formula_model) {
  if (identity(model) != before) {
    ++model.terms_version;
    model.formula_model = formula_model;
  }
}

}  // namespace

ModelResult<void> setup_auto(GamModel& model, MatrixView x, std::span<const std::size_t> k,
                             std::string_view basis) {
  const auto before = identity(model);
  auto result = auto_setup(model.smooth_terms, x, k, basis);
  note_change(model, before, /*formula_model=*/false);
  return result;
}

ModelResult<void> setup_formula(GamModel& model, MatrixView x, std::string_view formula) {
  auto terms = parse_formula(formula);
  if (!terms) return std::unexpected(terms.error());
  const auto before = identity(model);
  auto result = formula_setup(model.smooth_terms, x, *terms);
  note_change(model, before, /*formula_model=*/true);
  return result;
}

ModelResult<void> add_cubic_spline(GamModel& model, std::string name, std::size_t num_basis,
                                   double x_min, double x_max) {
  auto term = new_bs_smooth_even_knots(std::move(name), num_basis, x_min, x_max);
  if (!term) return fail_model(term.error());
  // The j-th hand-added smooth reads column j of the x later passed to the fit.
  term->column = model.smooth_terms.size();
  model.smooth_terms.push_back(std::move(*term));
  ++model.terms_version;
  model.formula_model = false;
  return {};
}

}  // namespace velkan
