// Cubic B-spline basis on a clamped knot vector with interior knots at data quantiles,
// extrapolated linearly outside the boundary knots.
#pragma once

#include <cstddef>
#include <string>

#include "common/gam_error.h"
#include "smooth/spline_basis.h"

namespace velkan {

// A "bs" smooth with k basis functions and k - 2 stored knots at the quantiles
// (i + 1) / (k - 1) of `x`, and the "cubic" penalty.
Result<SmoothTerm> new_bs_smooth(std::string name, std::size_t k, VectorView x);

}  // namespace velkan
