// What describes a model term completely: the kind, the input columns it reads and the
// numbers its basis is built from (knots, levels, a centre, a thin-plate basis's points
// and transform). A model file stores exactly this; the Python package builds it once
// knots are placed, and `make_term` (registry.h) validates it and builds the term's basis.
// Nothing else about a term is stored: its penalties and constraint follow from the spec
// (and, for the constraint, the training rows' column sums) deterministically.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "linalg/matrix.h"

namespace velkan::terms {

// One marginal basis of a smooth: its kind ("ps", "cr", "cc"), size and knots.
struct MarginSpec {
  std::string basis;
  std::size_t k = 0;
  Vector knots;
};

// How a smooth's by-column enters: not at all, as a numeric multiplier z f(x), as a factor
// (one centred smooth per level), or as a factor whose per-level smooths are shrunk
// toward zero as random curves (uncentred, null spaces penalized, one smoothing parameter
// per penalty shared by every level).
inline constexpr const char* kByNone = "";
inline constexpr const char* kByNumeric = "numeric";
inline constexpr const char* kByFactor = "factor";
inline constexpr const char* kByRandom = "random";

struct TermSpec {
  // "intercept", "linear", "factor", "smooth", "thin_plate", "random"
  std::string kind;
  // Input columns read, in order. A smooth's by-column comes last; a random slope's
  // numeric column follows the grouping column.
  std::vector<std::size_t> columns;
  std::vector<MarginSpec> margins;   // smooth: one per column (several: a tensor product)
  std::size_t levels = 0;            // factor, random, factor by: codes 0 .. levels - 1
  double center = 0.0;               // linear: subtracted from the input
  std::string by;                    // smooth: one of the kBy* values
  bool interaction_only = false;     // tensor product of centred margins
  bool select = false;               // an extra penalty on the null space of the others
  std::string constraint;            // "" or "increasing", "decreasing", "convex", "concave"
  // thin_plate: the basis size, the points the basis was built from (N x d, in the
  // standardised coordinates), the map from radial functions to the basis's radial
  // columns (N x (k - d - 1)), their penalty's (diagonal) values, the standardisation
  // (d centres, then one common scale) and the box of the training data (d lower ends,
  // then d upper ends) beyond which the basis continues linearly.
  std::size_t k = 0;
  Matrix points;
  Matrix transform;
  Vector penalty_values;
  Vector standardise;
  Vector box;
};

}  // namespace velkan::terms
