#include "linalg/spd_factor.h"

#include <cmath>

#include "linalg/lapack.h"
#include "linalg/lapack_support.h"

namespace velkan {

namespace {
using lapack::lapack_int;
}

LinalgResult<SpdFactor> SpdFactor::factor(MatrixView a) {
  if (a.rows != a.cols) {
    return std::unexpected(LinalgFailure::not_square(static_cast<std::int64_t>(a.rows),
                                                     static_cast<std::int64_t>(a.cols)));
  }
  auto ni = lapack::dim(a.rows);
  if (!ni) return std::unexpected(ni.error());
  SpdFactor f;
  f.n_ = a.rows;
  const std::size_t n = f.n_;
  f.d_ = Vector(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double aii = a(i, i);
    if (!(aii > 0.0) || !std::isfinite(aii)) {
      return std::unexpected(LinalgFailure::lapack_info(static_cast<std::int32_t>(i + 1)));
    }
    f.d_[i] = 1.0 / std::sqrt(aii);
  }
  f.r_.assign(n * n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i <= j; ++i) f.r_[i + j * n] = f.d_[i] * a(i, j) * f.d_[j];
  }
  if (n == 0) return f;
  lapack_int info = 0;
  const char uplo = 'U';
  lapack::scipy_dpotrf_(&uplo, &*ni, f.r_.data(), &*ni, &info, 1);
  if (info != 0) return std::unexpected(LinalgFailure::lapack_info(info));
  return f;
}

double SpdFactor::log_determinant() const {
  double s = 0.0;
  for (std::size_t i = 0; i < n_; ++i) s += 2.0 * (std::log(r_[i + i * n_]) - std::log(d_[i]));
  return s;
}

Vector SpdFactor::solve(VectorView b) const {
  Vector x(n_);
  for (std::size_t i = 0; i < n_; ++i) x[i] = d_[i] * b[i];
  if (n_ > 0) {
    const auto ni = static_cast<lapack_int>(n_);
    const lapack_int one = 1;
    lapack_int info = 0;
    const char uplo = 'U';
    lapack::scipy_dpotrs_(&uplo, &ni, &one, r_.data(), &ni, x.data(), &ni, &info, 1);
  }
  for (std::size_t i = 0; i < n_; ++i) x[i] *= d_[i];
  return x;
}

Matrix SpdFactor::solve(MatrixView b) const {
  const std::size_t r = b.cols;
  std::vector<double> x(n_ * r);  // column-major n x r
  for (std::size_t j = 0; j < r; ++j)
    for (std::size_t i = 0; i < n_; ++i) x[i + j * n_] = d_[i] * b(i, j);
  if (n_ > 0 && r > 0) {
    const auto ni = static_cast<lapack_int>(n_), ri = static_cast<lapack_int>(r);
    lapack_int info = 0;
    const char uplo = 'U';
    lapack::scipy_dpotrs_(&uplo, &ni, &ri, r_.data(), &ni, x.data(), &ni, &info, 1);
  }
  Matrix out(n_, r);
  for (std::size_t i = 0; i < n_; ++i)
    for (std::size_t j = 0; j < r; ++j) out(i, j) = d_[i] * x[i + j * n_];
  return out;
}

Matrix SpdFactor::inverse() const {
  std::vector<double> buf = r_;
  if (n_ > 0) {
    const auto ni = static_cast<lapack_int>(n_);
    lapack_int info = 0;
    const char uplo = 'U';
    lapack::scipy_dpotri_(&uplo, &ni, buf.data(), &ni, &info, 1);
  }
  Matrix out(n_, n_);
  for (std::size_t j = 0; j < n_; ++j) {
    for (std::size_t i = 0; i <= j; ++i) {
      const double v = d_[i] * buf[i + j * n_] * d_[j];
      out(i, j) = v;
      out(j, i) = v;
    }
  }
  return out;
}

LinalgResult<PivotedRank> pivoted_rank(MatrixView a, double relative_tolerance) {
  const std::size_t n = a.rows;
  auto ni = lapack::dim(n);
  if (!ni) return std::unexpected(ni.error());
  PivotedRank out;
  std::vector<std::size_t> positive;
  for (std::size_t i = 0; i < n; ++i) {
    if (a(i, i) > 0.0 && std::isfinite(a(i, i))) positive.push_back(i);
  }
  const std::size_t m = positive.size();
  std::vector<double> buf(m * m);
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t pi = positive[i], pj = positive[j];
      // Each root taken on its own: the product of two diagonal entries near 1e-200
      // would underflow.
      buf[i + j * m] = a(pi, pj) / (std::sqrt(a(pi, pi)) * std::sqrt(a(pj, pj)));
    }
  }
  lapack_int rank = 0;
  if (m > 0) {
    const auto mi = static_cast<lapack_int>(m);
    std::vector<lapack_int> piv(m);
    std::vector<double> work(2 * m);
    lapack_int info = 0;
    const char uplo = 'U';
    lapack::scipy_dpstrf_(&uplo, &mi, buf.data(), &mi, piv.data(), &rank, &relative_tolerance,
                          work.data(), &info, 1);
    if (info < 0) return std::unexpected(LinalgFailure::lapack_info(info));
    for (std::size_t i = 0; i < m; ++i) out.order.push_back(positive[static_cast<std::size_t>(piv[i] - 1)]);
  }
  out.rank = static_cast<std::size_t>(rank);
  for (std::size_t i = 0; i < n; ++i) {
    if (!(a(i, i) > 0.0 && std::isfinite(a(i, i)))) out.order.push_back(i);
  }
  return out;
}

}  // namespace velkan
