// Building a model's smooth list from user input: per-column basis sizes with a basis
// name (automatic setup), or parsed formula terms. Both replace the whole list.
//
// Errors come back as ModelError: UsageError for the interface's own messages (shown to
// the user verbatim), GamError for a failure of a smooth constructor (shown with its
// display text, e.g. "Invalid parameter: Need at least 2 knots for penalty matrix").
// Terms built before a constructor failure stay in the list.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"
#include "velkan_core/smooth/formula.h"
#include "velkan_core/smooth/spline_basis.h"

namespace velkan {

// A column carries a smooth only when its range exceeds both this fraction of its largest
// magnitude (below it the knots differ in their last few digits and the basis is rounding
// noise) and kMinColumnRange (below it the cubic terms of the basis and its penalty, of
// order range^3 and range^-3, underflow or overflow).
inline constexpr double kMinRelativeColumnRange = 1e-8;
inline constexpr double kMinColumnRange = 1e-60;

// One smooth per column of x (n x d), named "x0", "x1", ..., term j on column j with
// k[j] basis functions; basis "bs" (B-spline, quantile knots of the column) or "cr" (cubic
// regression spline over the column's range, NaN values ignored).
//   1. k.size() != d: UsageError "k length ({k.size()}) must match number of columns ({d})";
//      `terms` is left as it was.
//   2. `terms` is emptied.
//   3. For each column in order: an unknown basis name fails with UsageError
//      "Unknown basis type '{basis}'. Use 'bs' or 'cr'." (checked per column, so d = 0
//      accepts any name); a constructor error is returned as the GamError it is; the
//      term is appended with column = j.
// Sizes below 2 or above kMaxBasisFunctions, an empty column, a "bs" column holding NaN
// or infinity and a "cr" column without a finite range are constructor errors
// (InvalidParameter), found before anything is allocated for the term. Before the
// constructor, a column whose finite values span too little to place distinct knots (see
// kMinRelativeColumnRange) fails with UsageError "x column {j} is constant ..." or
// "x column {j} spans only ...".
ModelResult<void> auto_setup(std::vector<SmoothTerm>& terms, MatrixView x,
                             std::span<const std::size_t> k, std::string_view basis);

// One B-spline smooth per parsed term, in formula order, each column checked as above, term i on its own column
// formula[i].column and named "x" followed by that column. Repeated and out-of-order
// columns are allowed (each term is its own smooth).
//   1. A column index not below the column count of x fails with UsageError
//      "Formula term s({c}, k={k}) refers to column {c}, but x has {d} columns"; `terms`
//      is left as it was.
//   2. `terms` is emptied, then each term built and appended; a constructor error is
//      returned as the GamError it is.
ModelResult<void> formula_setup(std::vector<SmoothTerm>& terms, MatrixView x,
                                std::span<const FormulaTerm> formula);

}  // namespace velkan
