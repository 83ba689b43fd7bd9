// Penalty matrices of the smooths: square, symmetric, positive semi-definite k x k
// matrices whose quadratic form measures wiggliness. Returned unscaled.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// basis_type: "cr" / "cubic_regression" (cubic regression spline penalty, all k knots),
// "cubic" (B-spline second-derivative penalty, first and last knot only),
// "tps" / "thin_plate" (fixed diagonal). Errors (InvalidParameter), in this order:
// "Unknown basis type: {}", "Number of knots ({}) must equal number of basis functions
// ({}) for cr splines", "Need at least 2 knots for penalty matrix".
Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t num_basis,
                                      VectorView knots);

}  // namespace velkan
