// The system's own solve, inverse and determinant. Below kLapackThreshold unknowns the
// work is a Gaussian elimination whose pivoting rule and floors are part of the contract
// (callers rely on exactly which systems count as singular); from the threshold on LAPACK
// LU does it. Row-major storage of A is column-major storage of A', which the LAPACK calls
// below use instead of copying into another layout.
#include "linalg/dense_solve.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "linalg/factorizations.h"
#include "linalg/lapack.h"

namespace velkan {

namespace {

using lapack::lapack_int;

bool all_finite(const double* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// Row index in rows k..n-1 of column k with the largest magnitude; on ties the first such
// row wins (a later row replaces the candidate only when strictly greater).
std::size_t pivot_row(const double* a, std::size_t n, std::size_t stride, std::size_t k,
                      double& largest) {
  std::size_t best = k;
  largest = std::abs(a[k * stride + k]);
  for (std::size_t i = k + 1; i < n; ++i) {
    const double v = std::abs(a[i * stride + k]);
    if (v > largest) {
      largest = v;
      best = i;
    }
  }
  return best;
}

// The diagonal of U of a partially pivoted LU of A, with what the determinant's sign
// needs. `zero` is set when the factorisation met a pivot that makes det(A) exactly 0
// (below the floor in the elimination, an exact zero in LAPACK's); `pivots` then holds
// only the pivots found before it.
struct DeterminantFactors {
  bool zero = false;
  bool from_lapack = false;
  double sign = 1.0;  // the row interchanges' sign only
  std::vector<double> pivots;
};

Result<DeterminantFactors> determinant_factors(MatrixView a) {
  if (a.rows != a.cols) return fail(GamError::dimension_mismatch("Matrix must be square"));
  const std::size_t n = a.rows;
  DeterminantFactors out;
  out.pivots.reserve(n);
  Matrix m = Matrix::from(a);
  if (n < kLapackThreshold) {
    double* d = m.data();
    for (std::size_t c = 0; c < n; ++c) {
      double largest = 0.0;
      const std::size_t p = pivot_row(d, n, n, c, largest);
      if (largest < kDeterminantPivotFloor) {
        out.zero = true;
        return out;
      }
      if (p != c) {
        std::swap_ranges(d + c * n, d + c * n + n, d + p * n);
        out.sign = -out.sign;
      }
      const double* prow = d + c * n;
      for (std::size_t i = c + 1; i < n; ++i) {
        double* row = d + i * n;
        const double f = row[c] / prow[c];
        row[c] = f;
        // A zero multiplier leaves the row unchanged for finite entries; skipping it keeps
        // banded systems (penalties, B-spline cross products) cheap.
        if (f == 0.0) continue;
        for (std::size_t j = c + 1; j < n; ++j) row[j] -= f * prow[j];
      }
      out.pivots.push_back(prow[c]);
    }
    return out;
  }

  // dgetrf on the row-major copy factors A' = P L U; det(A') = det(A).
  out.from_lapack = true;
  if (n > static_cast<std::size_t>(INT32_MAX)) return fail(GamError::singular_matrix());
  const auto ni = static_cast<lapack_int>(n);
  std::vector<lapack_int> ipiv(n);
  lapack_int info = 0;
  lapack::scipy_dgetrf_(&ni, &ni, m.data(), &ni, ipiv.data(), &info);
  if (info > 0) {
    out.zero = true;
    return out;
  }
  if (info < 0) return fail(GamError::singular_matrix());
  for (std::size_t i = 0; i < n; ++i) {
    if (ipiv[i] != static_cast<lapack_int>(i + 1)) out.sign = -out.sign;
    out.pivots.push_back(m(i, i));
  }
  return out;
}

// det(A) from its factors, computed the way each path defines it: the plain product of
// the pivots for the elimination, sign * exp(sum of ln|u_ii|) for LAPACK.
double determinant_from(const DeterminantFactors& f) {
  if (f.zero) return 0.0;
  if (!f.from_lapack) {
    double product = 1.0;
    for (double p : f.pivots) product *= p;
    return f.sign * product;
  }
  double sign = f.sign, logabs = 0.0;
  for (double u : f.pivots) {
    if (u < 0.0) sign = -sign;
    logabs += std::log(std::abs(u));
  }
  return sign * std::exp(logabs);
}

}  // namespace

Result<Vector> solve(Matrix a, Vector b) {
  if (!a.square() || b.size() != a.rows()) {
    return fail(GamError::dimension_mismatch("Matrix must be square and match RHS"));
  }
  const std::size_t n = a.rows();
  if (n == 0) return Vector();
  // A system with an infinite or NaN entry has no meaningful solution. Neither the pivot
  // floor nor LAPACK notices (a NaN never compares below the floor), so it would come
  // back as a NaN vector reported as a success; it is refused as singular instead.
  if (!all_finite(a.data(), a.size()) || !all_finite(b.data(), b.size())) {
    return fail(GamError::singular_matrix());
  }

  if (n >= kLapackThreshold) {
    if (n > static_cast<std::size_t>(INT32_MAX)) return fail(GamError::singular_matrix());
    const auto ni = static_cast<lapack_int>(n);
    const lapack_int one = 1;
    std::vector<lapack_int> ipiv(n);
    lapack_int info = 0;
    // The row-major buffer is A' in column-major terms: factor A', then solve with the
    // transpose ('T') of the factored matrix, which is A.
    lapack::scipy_dgetrf_(&ni, &ni, a.data(), &ni, ipiv.data(), &info);
    if (info != 0) return fail(GamError::singular_matrix());
    const char trans = 'T';
    lapack::scipy_dgetrs_(&trans, &ni, &one, a.data(), &ni, ipiv.data(), b.data(), &ni, &info,
                          1);
    if (info != 0) return fail(GamError::singular_matrix());
    return b;
  }

  double* d = a.data();
  for (std::size_t k = 0; k < n; ++k) {
    double largest = 0.0;
    const std::size_t p = pivot_row(d, n, n, k, largest);
    if (largest < kSolvePivotFloor) return fail(GamError::singular_matrix());
    if (p != k) {
      std::swap_ranges(d + k * n, d + k * n + n, d + p * n);
      std::swap(b[k], b[p]);
    }
    const double* prow = d + k * n;
    for (std::size_t i = k + 1; i < n; ++i) {
      double* row = d + i * n;
      const double f = row[k] / prow[k];
      // Skipping a zero multiplier changes nothing for finite entries.
      if (f == 0.0) continue;
      for (std::size_t j = k + 1; j < n; ++j) row[j] -= f * prow[j];
      b[i] -= f * b[k];
    }
  }
  Vector x(n);
  for (std::size_t i = n; i-- > 0;) {
    const double* row = d + i * n;
    double s = 0.0;
    for (std::size_t j = i + 1; j < n; ++j) s += row[j] * x[j];
    x[i] = (b[i] - s) / row[i];
  }
  return x;
}

Result<Matrix> inverse(MatrixView a) {
  if (a.rows != a.cols) return fail(GamError::dimension_mismatch("Matrix must be square"));
  const std::size_t n = a.rows;
  if (n == 0) return Matrix();
  Matrix left = Matrix::from(a);
  // Non-finite entries are refused as in solve.
  if (!all_finite(left.data(), left.size())) return fail(GamError::singular_matrix());

  if (n >= kLapackThreshold) {
    auto f = lu_factor(left.view());
    if (!f) return fail(GamError::singular_matrix());
    auto inv = lu_inverse(*f);
    if (!inv) return fail(GamError::singular_matrix());
    return std::move(*inv);
  }

  // Gauss-Jordan on [A | I]. The right half is stored with its columns permuted so that
  // only the columns that can be non-zero are touched: before step k, the right half is
  // dense only in the identity columns of the k rows already used as pivots, and every
  // other row still holds its own identity entry alone. Column k of `right` is the
  // identity column of the row that becomes pivot k (original row `origin[k]`), so the
  // touched part of the right half is always its leading k + 1 columns. Apart from
  // skipping operations on exact zeros, every arithmetic step is that of the plain
  // elimination on the full [A | I], so the result is the same.
  Matrix right(n, n);
  std::vector<std::size_t> origin(n);
  for (std::size_t i = 0; i < n; ++i) origin[i] = i;
  double* l = left.data();
  double* r = right.data();
  for (std::size_t k = 0; k < n; ++k) {
    double largest = 0.0;
    const std::size_t p = pivot_row(l, n, n, k, largest);
    if (largest < kSolvePivotFloor) return fail(GamError::singular_matrix());
    if (p != k) {
      // Columns < k of rows k.. are zero on the left; on the right both rows hold only
      // their dense part (columns < k) besides their not yet placed identity entry.
      std::swap_ranges(l + k * n + k, l + k * n + n, l + p * n + k);
      std::swap_ranges(r + k * n, r + k * n + k, r + p * n);
      std::swap(origin[k], origin[p]);
    }
    double* lrow = l + k * n;
    double* rrow = r + k * n;
    rrow[k] = 1.0;  // the pivot row's own identity entry, placed in column k
    const double pivot = lrow[k];
    for (std::size_t j = k; j < n; ++j) lrow[j] /= pivot;
    for (std::size_t j = 0; j <= k; ++j) rrow[j] /= pivot;
    for (std::size_t i = 0; i < n; ++i) {
      if (i == k) continue;
      double* li = l + i * n;
      const double f = li[k];
      if (f == 0.0) continue;
      for (std::size_t j = k + 1; j < n; ++j) li[j] -= f * lrow[j];
      li[k] -= f * lrow[k];  // exactly 0: lrow[k] is 1
      double* ri = r + i * n;
      for (std::size_t j = 0; j <= k; ++j) ri[j] -= f * rrow[j];
    }
  }
  // Undo the column permutation: column k of `right` is identity column origin[k].
  Matrix out(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    const double* ri = r + i * n;
    double* oi = out.row_ptr(i);
    for (std::size_t k = 0; k < n; ++k) oi[origin[k]] = ri[k];
  }
  return out;
}

Result<double> determinant(MatrixView a) {
  auto f = determinant_factors(a);
  if (!f) return fail(f.error());
  return determinant_from(*f);
}

Result<double> log_determinant(MatrixView a) {
  auto f = determinant_factors(a);
  if (!f) return fail(f.error());
  if (f->zero) return -std::numeric_limits<double>::infinity();
  // Where the determinant itself is a normal positive double, its logarithm is the
  // answer, so this agrees with ln(determinant(A)) to the last bit.
  const double det = determinant_from(*f);
  if (std::isfinite(det) && det >= DBL_MIN) return std::log(det);

  // Otherwise the product of the pivots left the double range (or is negative or NaN).
  // Accumulate it as mantissa * 2^exponent, renormalising after every factor, so it
  // can neither overflow nor underflow; the log of that is the sum of the pivots' logs.
  double sign = f->sign, mantissa = 1.0;
  long long exponent = 0;
  for (double p : f->pivots) {
    if (std::isnan(p)) return std::numeric_limits<double>::quiet_NaN();
    if (p < 0.0) sign = -sign;
    int e = 0;
    mantissa = std::frexp(mantissa * std::abs(p), &e);
    exponent += e;
  }
  // A negative determinant has no real logarithm.
  if (sign < 0.0) return std::numeric_limits<double>::quiet_NaN();
  return std::log(mantissa) + static_cast<double>(exponent) * std::numbers::ln2;
}

}  // namespace velkan
