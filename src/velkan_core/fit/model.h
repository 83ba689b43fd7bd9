// The model record a GAM object owns: its family, its smooth terms and the results of its
// last successful fit. A plain record; the fit and predict operations live next to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velkan_core/fit/family.h"
#include "linalg/matrix.h"
#include "velkan_core/search/smoothing_parameter.h"
#include "velkan_core/smooth/spline_basis.h"

namespace velkan {

struct GamModel {
  // Fixed at construction.
  Family family = Family::Gaussian;
  // Smooth j is evaluated on input column j (or the column its term names).
  std::vector<SmoothTerm> smooth_terms;
  // Bumped whenever smooth_terms changes, so results can tell whether they still belong
  // to the current smooths.
  std::uint64_t terms_version = 0;
  // True when the smooths came from a formula: each term names its own column and the
  // model may use only some columns of x.
  bool formula_model = false;

  // Results: all empty until a fit succeeds, then replaced together at the end of each
  // successful fit, so a failed fit leaves the previous results intact.
  std::optional<double> deviance;             // sum of squared response residuals
  std::optional<Vector> lambdas;              // one smoothing parameter per smooth
  std::optional<Vector> coefficients;         // beta, length p
  std::optional<Vector> fitted_values;        // mu on the response scale, length n
  std::optional<Vector> linear_predictor;     // eta = X beta of the final PiRLS fit
  std::optional<Vector> weights;              // working weights of the final PiRLS fit
  std::optional<Matrix> design_matrix;        // n x p
  std::optional<SelectionMethod> selection_method;  // the method of the last fit
  std::uint64_t fitted_terms_version = 0;  // terms_version the results were fitted with
  std::size_t fitted_columns = 0;          // columns of the x the results were fitted on
  bool fitted = false;
  // What the last successful fit has to tell about its results: one sentence per part
  // that stopped without converging (the final penalized IRLS fit, the last
  // smoothing-parameter search). Empty when everything converged.
  std::vector<std::string> convergence_notes;
};

}  // namespace velkan
