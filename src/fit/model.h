// The model record a GAM object owns: its family, its smooth terms and the results of its
// last successful fit. A plain record; the fit and predict operations live next to it.
#pragma once

#include <optional>
#include <vector>

#include "fit/family.h"
#include "linalg/matrix.h"
#include "smooth/spline_basis.h"

namespace velkan {

struct GamModel {
  // Fixed at construction.
  Family family = Family::Gaussian;
  // Smooth j is evaluated on input column j (or the column its term names).
  std::vector<SmoothTerm> smooth_terms;

  // Results: all empty until a fit succeeds, then replaced together at the end of each
  // successful fit, so a failed fit leaves the previous results intact.
  std::optional<double> deviance;             // sum of squared response residuals
  std::optional<Vector> lambdas;              // one smoothing parameter per smooth
  std::optional<Vector> coefficients;         // beta, length p
  std::optional<Vector> fitted_values;        // mu on the response scale, length n
  std::optional<Vector> linear_predictor;     // eta = X beta of the final PiRLS fit
  std::optional<Vector> weights;              // working weights of the final PiRLS fit
  std::optional<Matrix> design_matrix;        // n x p
  bool fitted = false;
};

}  // namespace velkan
