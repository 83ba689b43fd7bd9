// Generalized cross-validation: the score of a one-penalty fit and the search for its
// smoothing parameter.
#pragma once

#include <cstddef>
#include <span>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/search/smoothing_parameter.h"

namespace velkan {

// The search spends exactly this many score evaluations: a grid over
// [kLogLambdaMin, kLogLambdaMax], then golden-section refinement around the grid's best.
inline constexpr std::size_t kGcvMaxEvaluations = 20;
// Seven points: rho steps of ln 100, lambda = 1e-7, 1e-5, ..., 1e5.
inline constexpr std::size_t kGcvGridPoints = 7;

inline constexpr char kGcvMultipleSmoothsMessage[] =
    "Multiple smooths not yet properly implemented for GCV";

// GCV score n RSS_w / (n - tr)^2 of the fit with A = X'WX + lambda S, where RSS_w is the
// weighted residual sum and tr the trace of the influence matrix X A^-1 X'W, formed as
// tr(A^-1 X'WX) without any n x n matrix. Errors: those of solve and inverse.
// (n = tr gives an infinite score, not an error.)
Result<double> gcv_score(VectorView y, MatrixView x, VectorView w, MatrixView s, double lambda);

// The GCV search of `optimize`: exactly one penalty (else NotImplemented carrying
// kGcvMultipleSmoothsMessage, before any score is evaluated). Minimises the score over
// rho in [kLogLambdaMin, kLogLambdaMax] with at most kGcvMaxEvaluations evaluations and
// stores the single chosen lambda. Inputs as optimize_reml_newton. Score errors end the
// search unchanged and leave state.lambda as it was. Prints nothing.
Status optimize_gcv(SmoothingParameter& state, VectorView y, MatrixView x, VectorView w,
                    std::span<const Matrix> penalties, std::size_t m);

}  // namespace velkan
