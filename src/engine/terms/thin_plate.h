// Thin-plate regression splines of one to three columns: the rank-k eigen-truncation of
// the thin-plate spline through a set of points, penalty the integrated squared second
// derivatives (isotropic: the same in every direction), linear beyond the training box.
//
// With points x_1 .. x_N (standardised: shifted by their centroid and divided by one
// common scale, so the basis stays isotropic), the radial functions e_i(x) = eta(|x - x_i|)
// (eta(r) = r^3 / 12, r^2 log r / (8 pi), -r / (8 pi) in one, two, three dimensions) and
// the polynomials T = [1, x] spanning the penalty's null space:
//
//   E = [eta(|x_i - x_j|)] = U D U',   U_k, D_k: the k eigenpairs of largest magnitude,
//   Z: an orthonormal basis of {d : T'U_k d = 0}  (k x (k - d - 1)),
//   Z'D_k Z = V L V':   radial columns W = U_k Z V  (N x (k - d - 1)), penalty diag(L).
//
// A row of the design is [e(x)'W, 1, x]: k columns, the last d + 1 unpenalized. Beyond the
// box of the training data a row continues along its tangent at the nearest point of the
// box (value plus gradient times the step), so the fitted surface extrapolates linearly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/gam_error.h"
#include "engine/terms/spec.h"
#include "linalg/matrix.h"

namespace velkan::terms {

// The basis name of thin-plate smooths, the most columns they take and their smallest
// size (for one column; d columns need d + 2).
inline constexpr const char* kThinPlateBasis = "tp";
inline constexpr std::size_t kThinPlateMaxColumns = 3;
inline constexpr std::size_t kThinPlateMinSize = 3;

// Largest number of points a thin-plate basis is built from.
inline constexpr std::size_t kMaxThinPlatePoints = 5000;

// Fills spec.k, points, transform, penalty_values, standardise and box from distinct
// points (N x d, 1 <= d <= 3, in the data's coordinates) and the training box (d lower
// ends, d upper ends). Refused (InvalidParameter, naming `what`): too few distinct points
// for k, k below d + 2, more than kMaxThinPlatePoints points, a point outside the box.
Status build_thin_plate(MatrixView points, std::size_t k, VectorView box, std::string_view what,
                        TermSpec& spec);

}  // namespace velkan::terms

namespace velkan::terms {

// The rows of a point sample: the distinct rows of x (n x d) with the `size` smallest
// hashes, in the order of their hashes, each as the first row with that hash. The hash of
// a row mixes the bits of its values (-0.0 as 0.0), so the sample is the same however the
// rows are ordered or chunked, and uniform over the distinct points whatever their
// multiplicities.
struct PointHashes {
  std::vector<std::uint64_t> hashes;
  std::vector<std::size_t> rows;
};
PointHashes smallest_point_hashes(MatrixView x, std::size_t size);

}  // namespace velkan::terms
