// The linear system behind a natural cubic spline through given knot values, shared by the
// bases and penalties of both modules.
//
// For knots t_0 .. t_{k-1} (k >= 3) with spacings h_j = t_{j+1} - t_j, the natural cubic
// spline through values beta (one per knot) has zero second derivative at both end knots,
// and its second derivatives g at the n = k - 2 interior knots solve
//   B g = D beta,
//   D (n x k): row i holds 1/h_i, -1/h_i - 1/h_{i+1}, 1/h_{i+1} in columns i, i+1, i+2
//              (second divided differences of the values);
//   B (n x n): symmetric tridiagonal, B_ii = (h_i + h_{i+1}) / 3, B_i,i+1 = h_{i+1} / 6
//              (continuity of the first derivative at each interior knot).
// Its integrated squared second derivative is beta' D' B^-1 D beta. Only the non-zero bands
// are stored; every entry is formed by exactly the expression above, so a caller that
// places them into dense matrices gets the same numbers as one that builds those matrices
// entry by entry from the spacings.
#pragma once

#include <array>
#include <vector>

#include "linalg/matrix.h"

namespace velkan {

struct NaturalSplineSystem {
  std::vector<double> h;                 // k - 1 spacings
  std::vector<std::array<double, 3>> d;  // n rows of D: entries at columns i, i + 1, i + 2
  std::vector<double> b_diag;            // n diagonal entries of B
  std::vector<double> b_off;             // n - 1 off-diagonal entries: B_i,i+1 = B_i+1,i
};

// The bands for `knots` (at least 3). The knots are not checked: coincident or decreasing
// knots give zero or negative spacings and non-finite entries.
NaturalSplineSystem natural_spline_system(VectorView knots);

}  // namespace velkan
