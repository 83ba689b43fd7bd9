// Cubic regression spline basis: natural cubic splines that interpolate their
// coefficients at k evenly spaced knots, extrapolated linearly outside the knots.
#pragma once

#include <cstddef>
#include <string>

#include "common/gam_error.h"
#include "smooth/spline_basis.h"

namespace velkan {

// A "cr" smooth with k knots spaced evenly from x_min to x_max and the "cr" penalty.
Result<SmoothTerm> new_cr_smooth(std::string name, std::size_t k, double x_min, double x_max);

}  // namespace velkan
