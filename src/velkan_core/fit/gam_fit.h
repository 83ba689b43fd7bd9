// The model's fit paths and prediction.
//
// Both fit paths alternate a penalized IRLS fit at fixed smoothing parameters with one
// smoothing-parameter search given that fit's working weights, until the log smoothing
// parameters stop moving, then make a final penalized IRLS fit and store its results in
// the model, all fields at once. A failed fit leaves earlier results untouched.
//
//   plain fit  : start values 0.1, tolerance 1e-6 on the largest |change of log lambda|.
//   cached fit : design and scaled penalties built up front in one timed cache build,
//                data-driven start value lambda0, tolerance 1e-6 for the first four
//                outer iterations and 2e-6 from the fifth, "[PROFILE]" timing lines.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "common/gam_error.h"
#include "velkan_core/fit/model.h"
#include "linalg/matrix.h"

namespace velkan {

inline constexpr std::size_t kDefaultOuterIterations = 10;
inline constexpr double kPlainStartLambda = 0.1;
inline constexpr double kOuterTolerance = 1e-6;
inline constexpr double kRelaxedOuterTolerance = 2e-6;  // cached path, from iteration 5
inline constexpr std::size_t kRelaxFromIteration = 5;
inline constexpr double kStartLambdaMin = 1e-6;  // clamp of the cached path's lambda0
inline constexpr double kStartLambdaMax = 1e6;

enum class FitPath { Plain, Cached };

// Fits the model's current smooth list to (x, y). Checks, in order: the method name
// (UsageError "method must be 'GCV' or 'REML'"), rows of x against the length of y, the
// columns of x against the smooths (DimensionMismatch), then that y is not empty and that
// x (the columns the model uses) and y hold only finite values (UsageError naming the
// argument). max_iter absent means 10. Errors of the bases, PiRLS and the search come back
// unchanged, except the GCV search's refusal of several smooths, which comes back as a
// UsageError carrying its bare message.
ModelResult<void> fit_gam(GamModel& model, MatrixView x, VectorView y, std::string_view method,
                          std::optional<std::size_t> max_iter, FitPath path);

// Fitted means at new inputs, on the response scale. Errors: InvalidParameter
// "Model has not been fitted yet"; DimensionMismatch when the column count does not fit
// the model, or when the smooth list changed since the fit that produced the coefficients.
Result<Vector> predict_gam(const GamModel& model, MatrixView x);

// Smooth setup on the model (these bump the model's terms_version):
// one smooth per column from the sizes k and the basis name "bs" or "cr".
ModelResult<void> setup_auto(GamModel& model, MatrixView x, std::span<const std::size_t> k,
                             std::string_view basis);
// One B-spline smooth per formula term, on the term's own column.
ModelResult<void> setup_formula(GamModel& model, MatrixView x, std::string_view formula);
// Appends a hand-configured cubic B-spline smooth (evenly spaced knots on [x_min, x_max]);
// the bounds must be finite with x_min < x_max (InvalidParameter otherwise).
ModelResult<void> add_cubic_spline(GamModel& model, std::string name, std::size_t num_basis,
                                   double x_min, double x_max);

}  // namespace velkan
