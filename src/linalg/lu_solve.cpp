// Solve with the LU factors of lu_factor (dgetrs).
#include <cstddef>

#include "linalg/factorizations.h"
#include "linalg/lapack.h"
#include "linalg/lapack_support.h"

namespace velkan {

LinalgResult<Vector> lu_solve(const LuFactors& f, VectorView b) {
  const std::size_t n = f.lu.rows();
  if (f.lu.cols() != n)
    return std::unexpected(LinalgFailure::not_square(static_cast<std::int64_t>(n),
                                                     static_cast<std::int64_t>(f.lu.cols())));
  // dgetrs applies the interchanges without checking them: a pivot list of the wrong
  // length or with an index outside 1..n is refused as LAPACK refuses a bad IPIV (its
  // sixth argument), and a right-hand side of the wrong length as a bad B (its seventh).
  bool pivots_ok = f.pivots.size() == n;
  for (std::int32_t p : f.pivots) pivots_ok = pivots_ok && p >= 1 && static_cast<std::size_t>(p) <= n;
  if (!pivots_ok) return std::unexpected(LinalgFailure::lapack_info(-6));
  if (b.size != n) return std::unexpected(LinalgFailure::lapack_info(-7));
  if (n == 0) return Vector();
  auto a = lapack::ColMajor::from(f.lu.view());
  if (!a) return std::unexpected(a.error());
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = b[i];
  const char trans = 'N';
  const lapack::lapack_int nrhs = 1;
  lapack::lapack_int info = 0;
  lapack::scipy_dgetrs_(&trans, &a->rows, &nrhs, a->data.data(), &a->ld, f.pivots.data(),
                        x.data(), &a->rows, &info, 1);
  if (auto ok = lapack::check_info(info); !ok) return std::unexpected(ok.error());
  return Vector(std::move(x));
}

}  // namespace velkan
