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

// How a search ended: at a converged optimum, at its iteration cap (its last values are
// kept), or at a point where the score is undefined (a working response fitted exactly at
// every smoothing parameter leaves a zero scale; the values reached so far are kept).
enum class SearchOutcome { Converged, IterationCap, UndefinedScore };

struct SmoothingParameter {
  Vector lambda;  // one value per penalty, in penalty order; overwritten by optimize
  SelectionMethod method = SelectionMethod::REML;
  REMLAlgorithm reml_algorithm = REMLAlgorithm::Newton;
  // Set by optimize (only the REML Newton search reports anything but Converged).
  SearchOutcome outcome = SearchOutcome::Converged;
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
struct RemlSearchMemo;
// What a caller that searches the same data several times can hand to the REML Newton
// search (the other searches do not use it).
struct SearchReuse {
  // X'WX, X'Wy and y'Wy of this very (y, x, w), taken instead of forming them (the same
  // values up to rounding).
  const RemlCache* cache = nullptr;
  // With `cache`: what earlier searches over the same y, x, w and penalties learnt.
  RemlSearchMemo* memo = nullptr;
};
Status optimize(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                std::span<const Matrix> penalties, std::size_t m, const SearchReuse& reuse);

// The shape checks of `optimize` on their own: y and w of length x.rows(), at least m
// penalties, each x.cols() x x.cols().
Status check_search_inputs(VectorView y, MatrixView x, VectorView w,
                           std::span<const Matrix> penalties, std::size_t m);

}  // namespace velkan
