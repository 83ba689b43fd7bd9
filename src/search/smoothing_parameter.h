// The smoothing-parameter state a fit hands to the searches, and `optimize`, which runs
// the search the state asks for and leaves the chosen values in it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// Bounds on rho = log(lambda) of the searches that impose them (Fellner-Schall, GCV):
// lambda in [1e-7, 1e5].
inline constexpr double kLogLambdaMin = -16.11809565095832;   // ln 1e-7
inline constexpr double kLogLambdaMax = 11.512925464970229;   // ln 1e5

enum class SelectionMethod { REML, GCV };
enum class REMLAlgorithm { Newton, FellnerSchall };

// "REML" and "GCV" exactly; anything else has no method.
std::optional<SelectionMethod> parse_selection_method(std::string_view name);

struct SmoothingParameter {
  Vector lambda;  // one value per penalty, in penalty order; overwritten by optimize
  SelectionMethod method = SelectionMethod::REML;
  REMLAlgorithm reml_algorithm = REMLAlgorithm::Newton;
};

// Chooses the smoothing parameters of the m penalties S_1..S_m (each p x p over the
// columns of x) for the weighted data (y, x, w) and stores them in state.lambda.
//
// Checks, before anything is reset: m must equal state.lambda.size() (DimensionMismatch
// "Number of penalties must match number of lambdas"), then the shapes of the inputs
// (DimensionMismatch naming the offending input). m = 0 with GCV gives an empty lambda.
// Otherwise every lambda is reset to 1.0 and GCV, Fellner-Schall or the Newton search
// runs; on failure state.lambda keeps the 1.0 values (or the empty vector).
// method and reml_algorithm are never changed.
Status optimize(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                std::span<const Matrix> penalties, std::size_t m);

struct RemlCache;
// The same, given X'WX, X'Wy and y'Wy of this very (y, x, w) when the caller holds them
// (null: none): the REML Newton search then takes them instead of forming its own (same
// values up to rounding). The other searches do not use them.
Status optimize(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                std::span<const Matrix> penalties, std::size_t m, const RemlCache* cache);

// The shape checks of `optimize` on their own: y and w of length x.rows(), at least m
// penalties, each x.cols() x x.cols().
Status check_search_inputs(VectorView y, MatrixView x, VectorView w,
                           std::span<const Matrix> penalties, std::size_t m);

}  // namespace velkan
