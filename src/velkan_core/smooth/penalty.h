// Penalty matrices of the smooths: square, symmetric, positive semi-definite k x k
// matrices whose quadratic form measures wiggliness. Returned unscaled.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan {

// Largest number of basis functions any smooth or penalty accepts. A k x k penalty of this
// size already takes 800 MB; larger requests are refused before anything is allocated, so
// an absurd size is a clear error instead of exhausted memory (or a k * k that overflows).
inline constexpr std::size_t kMaxBasisFunctions = 10000;

// Quotients in the B-spline recursions whose denominator is not above this in magnitude
// (coincident knots) count as zero terms.
inline constexpr double kSplineDenominatorFloor = 1e-10;

// basis_type: "cr" / "cubic_regression" (cubic regression spline penalty, all k knots),
// "cubic" (B-spline second-derivative penalty, first and last knot only),
// "tps" / "thin_plate" (fixed diagonal). Errors (InvalidParameter), in this order:
// "Unknown basis type: {}", "Number of knots ({}) must equal number of basis functions
// ({}) for cr splines", "Need at least 2 knots for penalty matrix", then two guards of our
// own: "cubic" needs k >= 4 (its interior spacing divides by k - 3), and k may not exceed
// kMaxBasisFunctions.
//
// Small k for "cr": the penalty is that of the natural cubic spline through the k knot
// values, which is well defined for every k: k = 3 has a single curvature row, and k <= 2
// (a straight line or a constant) gives the k x k zero matrix.
Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t num_basis,
                                      VectorView knots);

// The checks of compute_penalty_matrix on the basis type and the knots alone (not the
// size cap), in the same order and with the same errors, for a caller that checks the
// arguments before the memory a result of num_basis x num_basis would need.
Status check_penalty_request(std::string_view basis_type, std::size_t num_basis,
                             VectorView knots);

}  // namespace velkan
