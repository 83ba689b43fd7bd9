// One smoothing-parameter step of a fit: the cross products of a pass, constrained to the
// centred parameterisation, searched over the free smoothing parameters, with the fitted
// coefficients mapped back to the raw design.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/passes/accumulate.h"
#include "engine/select/search.h"
#include "engine/terms/layout.h"

namespace velkan::select {

// Relative pivot below which a direction of the scaled G + S_lambda counts as undetermined.
inline constexpr double kIdentifiabilityTolerance = 1e-10;
// Ridge, relative to the largest diagonal entry of G + S_lambda, placed on undetermined
// directions so that H stays positive definite; it does not move with lambda.
inline constexpr double kIdentifiabilityRidge = 1e-8;
// Range of the search around the balanced smoothing parameters (those that make each
// penalty's trace equal its block's share of X'WX). e^15 times the balanced value already
// shrinks every penalized direction to a negligible share of a degree of freedom; beyond
// it the criterion is flat to within the rounding of ln|H| (H's condition grows with
// lambda), and its gradient is noise.
inline constexpr double kRhoBelow = 25.0;
inline constexpr double kRhoAbove = 15.0;
// Sums whose mean prior weight lies beyond 2^+-kWeightExponent are scaled by a power of two
// for the search (exactly, and mapped back): the fit does not depend on a common scale of
// the weights, whose products would otherwise under- or overflow.
inline constexpr int kWeightExponent = 40;

struct StepInput {
  const terms::ModelLayout* layout = nullptr;  // centred or not
  const passes::PassSums* sums = nullptr;
  Vector beta0_raw;           // the pass's expansion point (width() entries)
  Vector rho_start;           // one per penalty; NaN entries start at the balanced value
  std::vector<bool> free;     // one per penalty
  Criterion criterion = Criterion::Reml;
  double known_scale = 0.0;   // NaN: estimate
  std::size_t max_iterations = 200;
  double gradient_tolerance = 1e-6;
  // Added to the ridge (constrained parameterisation, coefficients() entries; empty:
  // none): a fixed penalty that keeps coefficients finite where the data alone would
  // send them to infinity (perfectly separated classes).
  Vector shrink;
  // Whether the prior weights count rows (n is their sum) rather than set their
  // precision (n counts the rows with positive weight).
  bool frequency_weights = false;
  // One flag per penalty (empty: none): penalties of terms that may be removed after a
  // REML search (removal.h); a term is a candidate when all its penalties are flagged.
  std::vector<bool> removable;
};

struct StepResult {
  SearchResult search;
  Vector beta_raw;                          // Z beta
  Vector rho_balanced;                      // the balanced log smoothing parameters
  WorkingProblem problem;                   // constrained, with its ridge
  std::vector<std::size_t> undetermined;    // constrained coefficients given the ridge
  // Shape-constrained fits (shape.h): the basis N of the subspace the active constraints
  // leave (coefficients x its dimension), empty when no constraint is active.
  Matrix constraint_basis;
  // Terms the removal check took out (term indices, in the order removed).
  std::vector<std::size_t> removed_terms;
};

// The constrained working problem of a pass (no ridge). With `blocked`, a layout's sparse
// term becomes the problem's sparse block when every penalty on it is one block repeated
// on every group (block elimination; REML only).
WorkingProblem working_problem(const terms::ModelLayout& layout, const passes::PassSums& sums,
                               VectorView beta0_raw, bool blocked = false);

// Log of the smoothing parameters that make each penalty's trace equal the trace of its
// block of G: a scale-free place to start and centre the search.
Vector balanced_rho(const WorkingProblem& problem);

// Makes the layout's sparse term the problem's sparse block, with compact penalties, when
// every penalty on it is one block repeated on every group; false (nothing changed) when
// the layout has no such term.
bool blocked_problem(const terms::ModelLayout& layout, WorkingProblem& problem);

Result<StepResult> fit_step(const StepInput& in);

}  // namespace velkan::select
