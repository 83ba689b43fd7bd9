// LAPACK-backed factorizations. Every operation copies its input into a dense
// column-major buffer (ColMajor), so the triangle and transposition letters passed to
// LAPACK mean exactly what they mean for the caller's matrix, whatever its strides.
#include "linalg/factorizations.h"

#include <algorithm>
#include <cstddef>

#include "linalg/lapack.h"
#include "linalg/lapack_support.h"

namespace velkan {

namespace {

using lapack::ColMajor;
using lapack::lapack_int;

std::unexpected<LinalgFailure> failed(LinalgFailure f) { return std::unexpected(std::move(f)); }

// Triangle letters are accepted in either case, as LAPACK does. Anything else is reported
// the way LAPACK itself would (UPLO is the first argument of dpotrf and dtrtrs), without
// letting the library print its own complaint.
LinalgResult<char> triangle_letter(char uplo) {
  if (uplo == 'U' || uplo == 'u') return 'U';
  if (uplo == 'L' || uplo == 'l') return 'L';
  return failed(LinalgFailure::lapack_info(-1));
}

LinalgResult<void> require_square(MatrixView a) {
  if (a.rows != a.cols) {
    return failed(LinalgFailure::not_square(static_cast<std::int64_t>(a.rows),
                                            static_cast<std::int64_t>(a.cols)));
  }
  return {};
}

// Runs dgeqrf on `buf` in place; returns the Householder scalars (min(m, n) of them).
LinalgResult<std::vector<double>> householder_qr(ColMajor& buf) {
  const lapack_int k = std::min(buf.rows, buf.cols);
  std::vector<double> tau(static_cast<std::size_t>(std::max<lapack_int>(k, 1)));
  auto work = lapack::query_workspace([&](double* w, const lapack_int* lw, lapack_int* info) {
    lapack::scipy_dgeqrf_(&buf.rows, &buf.cols, buf.data.data(), &buf.ld, tau.data(), w, lw, info);
  });
  if (!work) return failed(work.error());
  const auto lwork = static_cast<lapack_int>(work->size());
  lapack_int info = 0;
  lapack::scipy_dgeqrf_(&buf.rows, &buf.cols, buf.data.data(), &buf.ld, tau.data(),
                        work->data(), &lwork, &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return tau;
}

// The k x n upper triangle of a factored buffer, zero below the diagonal.
Matrix upper_r(const ColMajor& buf, lapack_int k) {
  Matrix r(static_cast<std::size_t>(k), static_cast<std::size_t>(buf.cols));
  for (lapack_int i = 0; i < k; ++i) {
    for (lapack_int j = i; j < buf.cols; ++j) {
      r(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) = buf.at(i, j);
    }
  }
  return r;
}

}  // namespace

LinalgResult<QrResult> qr(MatrixView a) {
  const std::size_t k = std::min(a.rows, a.cols);
  if (k == 0) return QrResult{Matrix(a.rows, 0), Matrix(0, a.cols)};
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  auto tau = householder_qr(*buf);
  if (!tau) return failed(tau.error());
  const auto kk = static_cast<lapack_int>(k);
  QrResult out{Matrix(), upper_r(*buf, kk)};

  // dorgqr overwrites the first k columns with Q; the trailing columns of a wide input
  // (n > m) are left alone and ignored.
  auto work = lapack::query_workspace([&](double* w, const lapack_int* lw, lapack_int* info) {
    lapack::scipy_dorgqr_(&buf->rows, &kk, &kk, buf->data.data(), &buf->ld, tau->data(), w, lw, info);
  });
  if (!work) return failed(work.error());
  const auto lwork = static_cast<lapack_int>(work->size());
  lapack_int info = 0;
  lapack::scipy_dorgqr_(&buf->rows, &kk, &kk, buf->data.data(), &buf->ld, tau->data(),
                        work->data(), &lwork, &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  out.q = buf->to_matrix(buf->rows, kk);
  return out;
}

LinalgResult<Matrix> qr_r(MatrixView a) {
  const std::size_t k = std::min(a.rows, a.cols);
  if (k == 0) return Matrix(0, a.cols);
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  auto tau = householder_qr(*buf);
  if (!tau) return failed(tau.error());
  return upper_r(*buf, static_cast<lapack_int>(k));
}

LinalgResult<Matrix> cholesky(MatrixView a, char uplo) {
  if (auto ok = require_square(a); !ok) return failed(ok.error());
  auto letter = triangle_letter(uplo);
  if (!letter) return failed(letter.error());
  if (a.rows == 0) return Matrix();
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  lapack_int info = 0;
  const char u = *letter;
  lapack::scipy_dpotrf_(&u, &buf->rows, buf->data.data(), &buf->ld, &info, 1);
  // INFO = k > 0: the leading minor of order k is not positive definite.
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  // dpotrf leaves the other triangle as it found it (the input); clear it.
  const lapack_int n = buf->rows;
  for (lapack_int j = 0; j < n; ++j) {
    for (lapack_int i = 0; i < n; ++i) {
      if ((u == 'U' && i > j) || (u == 'L' && i < j)) buf->at(i, j) = 0.0;
    }
  }
  return buf->to_matrix();
}

LinalgResult<Matrix> solve_triangular(MatrixView a, char uplo, MatrixView b) {
  if (auto ok = require_square(a); !ok) return failed(ok.error());
  auto letter = triangle_letter(uplo);
  if (!letter) return failed(letter.error());
  if (b.rows != a.rows) {
    // The right-hand side (argument 1 of the operation) does not have n rows.
    LinalgFailure f;
    f.kind = LinalgFailure::Kind::NotStandardShape;
    f.obj = 1;
    f.rows = static_cast<std::int64_t>(b.rows);
    f.cols = static_cast<std::int64_t>(b.cols);
    return failed(std::move(f));
  }
  if (a.rows == 0 || b.cols == 0) return Matrix(b.rows, b.cols);
  auto abuf = ColMajor::from(a);
  if (!abuf) return failed(abuf.error());
  auto bbuf = ColMajor::from(b);
  if (!bbuf) return failed(bbuf.error());
  const char u = *letter, trans = 'N', diag = 'N';
  lapack_int info = 0;
  // dtrtrs checks the diagonal for exact zeros before solving: INFO = i > 0 names the
  // first zero diagonal element, and B is left untouched.
  lapack::scipy_dtrtrs_(&u, &trans, &diag, &abuf->rows, &bbuf->cols, abuf->data.data(),
                        &abuf->ld, bbuf->data.data(), &bbuf->ld, &info, 1, 1, 1);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return bbuf->to_matrix();
}

LinalgResult<Vector> solve_triangular(MatrixView a, char uplo, VectorView b) {
  const MatrixView column{b.data, b.size, 1, b.stride, 1};
  auto x = solve_triangular(a, uplo, column);
  if (!x) return failed(x.error());
  return Vector(std::vector<double>(x->data(), x->data() + x->size()));
}

LinalgResult<LuFactors> lu_factor(MatrixView a) {
  const std::size_t k = std::min(a.rows, a.cols);
  if (k == 0) return LuFactors{Matrix(a.rows, a.cols), {}};
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  std::vector<std::int32_t> pivots(k);
  lapack_int info = 0;
  lapack::scipy_dgetrf_(&buf->rows, &buf->cols, buf->data.data(), &buf->ld, pivots.data(),
                        &info);
  // INFO = i > 0: U(i, i) is exactly zero. The factors exist but cannot be used to solve
  // or invert, so this is reported as a failure.
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return LuFactors{buf->to_matrix(), std::move(pivots)};
}

LinalgResult<Matrix> lu_inverse(const LuFactors& f) {
  if (auto ok = require_square(f.lu.view()); !ok) return failed(ok.error());
  const std::size_t n = f.lu.rows();
  // dgetri applies the interchanges blindly; a pivot list of the wrong length or with an
  // index outside 1..n would make it read and write out of bounds. Reported as LAPACK
  // would report a bad IPIV (its fourth argument).
  bool pivots_ok = f.pivots.size() == n;
  for (std::int32_t p : f.pivots) {
    pivots_ok = pivots_ok && p >= 1 && static_cast<std::size_t>(p) <= n;
  }
  if (!pivots_ok) return failed(LinalgFailure::lapack_info(-4));
  if (n == 0) return Matrix();
  auto buf = ColMajor::from(f.lu.view());
  if (!buf) return failed(buf.error());
  auto work = lapack::query_workspace([&](double* w, const lapack_int* lw, lapack_int* info) {
    lapack::scipy_dgetri_(&buf->rows, buf->data.data(), &buf->ld, f.pivots.data(), w, lw, info);
  });
  if (!work) return failed(work.error());
  const auto lwork = static_cast<lapack_int>(work->size());
  lapack_int info = 0;
  lapack::scipy_dgetri_(&buf->rows, buf->data.data(), &buf->ld, f.pivots.data(), work->data(),
                        &lwork, &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return buf->to_matrix();
}

LinalgResult<SymmetricEigen> symmetric_eigen(MatrixView a) {
  if (auto ok = require_square(a); !ok) return failed(ok.error());
  if (a.rows == 0) return SymmetricEigen{};
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  const char jobz = 'V', uplo = 'U';
  Vector values(a.rows);
  auto work = lapack::query_workspace([&](double* w, const lapack_int* lw, lapack_int* info) {
    lapack::scipy_dsyev_(&jobz, &uplo, &buf->rows, buf->data.data(), &buf->ld, values.data(), w, lw,
                 info, 1, 1);
  });
  if (!work) return failed(work.error());
  const auto lwork = static_cast<lapack_int>(work->size());
  lapack_int info = 0;
  // dsyev returns the eigenvalues in ascending order and the orthonormal eigenvectors in
  // the columns of the buffer, in the same order.
  lapack::scipy_dsyev_(&jobz, &uplo, &buf->rows, buf->data.data(), &buf->ld, values.data(),
                       work->data(), &lwork, &info, 1, 1);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return SymmetricEigen{std::move(values), buf->to_matrix()};
}

namespace {

// The reduction A = Q T Q' of a symmetric matrix (its upper triangle): T's diagonal and
// off-diagonal, and Q as dsytrd leaves it (reflectors in the buffer, their scalars).
struct Tridiagonal {
  ColMajor reflectors;
  std::vector<double> d, e, tau;
};

LinalgResult<Tridiagonal> tridiagonal(ColMajor a) {
  const lapack_int n = a.rows;
  const auto nn = static_cast<std::size_t>(n);
  Tridiagonal t{std::move(a), std::vector<double>(nn), std::vector<double>(nn > 1 ? nn - 1 : 1),
                std::vector<double>(nn > 1 ? nn - 1 : 1)};
  const char uplo = 'U';
  auto call = [&](double* work, const lapack_int* lwork, lapack_int* info) {
    lapack::scipy_dsytrd_(&uplo, &n, t.reflectors.data.data(), &t.reflectors.ld, t.d.data(),
                          t.e.data(), t.tau.data(), work, lwork, info, 1);
  };
  auto work = lapack::query_workspace(call);
  if (!work) return failed(work.error());
  const auto lwork = static_cast<lapack_int>(work->size());
  lapack_int info = 0;
  call(work->data(), &lwork, &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  return t;
}

// Eigenpairs il..iu (1-based, ascending) from the reduction: bisection on T for the values
// (dstebz), inverse iteration for T's vectors (dstein), Q applied to them (dormtr), then
// sorted ascending: the steps dsyevr takes for part of the spectrum, with the reduction
// made once for every range.
LinalgResult<SymmetricEigen> eigen_range(const Tridiagonal& t, lapack_int il, lapack_int iu) {
  const lapack_int n = t.reflectors.rows;
  const auto nn = static_cast<std::size_t>(n);
  const char range = 'I', order = 'B';
  const double none = 0.0, abstol = 0.0;  // abstol 0: the routine's own tolerance
  lapack_int found = 0, nsplit = 0, info = 0;
  std::vector<double> w(nn), work(5 * nn);
  std::vector<lapack_int> block(nn), split(nn), iwork(3 * nn);
  lapack::scipy_dstebz_(&range, &order, &n, &none, &none, &il, &iu, &abstol, t.d.data(),
                        t.e.data(), &found, &nsplit, w.data(), block.data(), split.data(),
                        work.data(), iwork.data(), &info, 1, 1);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  const lapack_int count = iu - il + 1;
  if (found != count) return failed(LinalgFailure::lapack_info(count - found));  // pairs not found
  auto z = ColMajor::zeros(nn, static_cast<std::size_t>(count));
  if (!z) return failed(z.error());
  std::vector<lapack_int> unconverged(static_cast<std::size_t>(count));
  lapack::scipy_dstein_(&n, t.d.data(), t.e.data(), &found, w.data(), block.data(), split.data(),
                        z->data.data(), &z->ld, work.data(), iwork.data(), unconverged.data(),
                        &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  const char side = 'L', uplo = 'U', trans = 'N';
  auto apply = [&](double* wk, const lapack_int* lwork, lapack_int* inf) {
    lapack::scipy_dormtr_(&side, &uplo, &trans, &n, &found, t.reflectors.data.data(),
                          &t.reflectors.ld, t.tau.data(), z->data.data(), &z->ld, wk, lwork, inf,
                          1, 1, 1);
  };
  auto wk = lapack::query_workspace(apply);
  if (!wk) return failed(wk.error());
  const auto lwork = static_cast<lapack_int>(wk->size());
  apply(wk->data(), &lwork, &info);
  if (auto ok = lapack::check_info(info); !ok) return failed(ok.error());
  // Ascending, each vector with its value (bisection orders them by split block).
  for (lapack_int j = 0; j + 1 < count; ++j) {
    lapack_int least = j;
    for (lapack_int k = j + 1; k < count; ++k)
      if (w[static_cast<std::size_t>(k)] < w[static_cast<std::size_t>(least)]) least = k;
    if (least == j) continue;
    std::swap(w[static_cast<std::size_t>(j)], w[static_cast<std::size_t>(least)]);
    for (lapack_int i = 0; i < n; ++i) std::swap(z->at(i, j), z->at(i, least));
  }
  Vector values(static_cast<std::size_t>(count));
  for (lapack_int j = 0; j < count; ++j) values[static_cast<std::size_t>(j)] = w[static_cast<std::size_t>(j)];
  return SymmetricEigen{std::move(values), z->to_matrix()};
}

}  // namespace

LinalgResult<SymmetricEigen> symmetric_eigen_extremes(MatrixView a, std::size_t low,
                                                      std::size_t high) {
  if (auto ok = require_square(a); !ok) return failed(ok.error());
  const std::size_t n = a.rows;
  if (low + high >= n) return symmetric_eigen(a);
  auto buf = ColMajor::from(a);
  if (!buf) return failed(buf.error());
  auto reduced = tridiagonal(std::move(*buf));
  if (!reduced) return failed(reduced.error());
  SymmetricEigen out{Vector(low + high), Matrix(n, low + high)};
  std::size_t at = 0;
  const std::size_t first[2] = {1, n - high + 1}, last[2] = {low, n};
  for (std::size_t r = 0; r < 2; ++r) {
    if (last[r] < first[r]) continue;
    auto part = eigen_range(*reduced, static_cast<lapack_int>(first[r]), static_cast<lapack_int>(last[r]));
    if (!part) return failed(part.error());
    for (std::size_t j = 0; j < part->values.size(); ++j, ++at) {
      out.values[at] = part->values[j];
      for (std::size_t i = 0; i < n; ++i) out.vectors(i, at) = part->vectors(i, j);
    }
  }
  return out;
}

}  // namespace velkan
