// The REML score. Both entry points share one evaluation that starts from X'WX and X'Wy;
// the from-data entry point only forms those two first, so a cache built from the same
// data gives bit-identical scores.
#include "reml/criterion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "diag/format.h"
#include "linalg/dense_solve.h"
#include "linalg/products.h"

namespace velkan {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Status check_data(VectorView y, MatrixView x, VectorView w) {
  if (x.rows != y.size || w.size != y.size) {
    return fail(GamError::dimension_mismatch(
        diag::format("X has {} rows but y has {} elements and w has {} elements",
                     {x.rows, y.size, w.size})));
  }
  return {};
}

// Only the first `used` penalties are read; each must be p x p.
Status check_penalties(std::span<const Matrix> penalties, std::size_t used, std::size_t p) {
  for (std::size_t j = 0; j < used; ++j) {
    if (penalties[j].rows() != p || penalties[j].cols() != p) {
      return fail(GamError::dimension_mismatch(
          diag::format("Penalty matrix {} is {}x{} but X has {} columns",
                       {j, penalties[j].rows(), penalties[j].cols(), p})));
    }
  }
  return {};
}

// Rank of one penalty: its non-zero rows minus two, at least 1. A row is non-zero when its
// absolute sum exceeds kRemlRowThreshold * max(1, max |S_ab|); NaN entries are skipped by
// the maximum, and a row whose sum is NaN does not count.
std::size_t penalty_rank(const Matrix& s) {
  double largest = 1.0;
  for (std::size_t k = 0; k < s.size(); ++k) {
    const double v = std::abs(s.data()[k]);
    if (v > largest) largest = v;
  }
  const double threshold = kRemlRowThreshold * largest;
  const std::size_t rows = std::min(s.rows(), s.cols());
  std::size_t nonzero = 0;
  for (std::size_t a = 0; a < rows; ++a) {
    double row_sum = 0.0;
    for (std::size_t b = 0; b < s.cols(); ++b) row_sum += std::abs(s(a, b));
    if (row_sum > threshold) ++nonzero;
  }
  // Two null directions (constant and linear) per penalty; a penalty with at most one
  // non-zero row (an empty one included) still counts as rank 1.
  return nonzero >= 2 ? nonzero - 2 : 1;
}

// The score from the weighted cross products. `xtwx` and `xtwy` are X'WX and X'Wy of the
// same (y, x, w) that the RSS is computed from.
Result<double> evaluate(VectorView y, MatrixView x, VectorView w, const Matrix& xtwx,
                        const Vector& xtwy, std::span<const double> lambdas,
                        std::span<const Matrix> penalties) {
  const std::size_t n = y.size;
  const std::size_t p = x.cols;
  const std::size_t used = std::min(lambdas.size(), penalties.size());
  if (auto ok = check_penalties(penalties, used, p); !ok) return fail(std::move(ok.error()));

  // A = X'WX + sum_j lambda_j S_j, then the uniform ridge from A's own diagonal.
  Matrix a = xtwx;
  for (std::size_t j = 0; j < used; ++j) a.add_scaled(penalties[j], lambdas[j]);
  double diag_max = 1.0;
  for (std::size_t i = 0; i < p; ++i) {
    const double v = std::abs(a(i, i));
    if (v > diag_max) diag_max = v;  // NaN never compares greater: skipped
  }
  const double delta =
      kRemlRidge * (1.0 + std::sqrt(static_cast<double>(lambdas.size()))) * diag_max;
  for (std::size_t i = 0; i < p; ++i) a(i, i) += delta;

  auto solved = solve(a, xtwy);
  if (!solved) return fail(std::move(solved.error()));
  const Vector& beta = *solved;

  // Weighted residual sum of squares from the data: O(n p), and free of the cancellation
  // that y'Wy - 2 beta'X'Wy + beta'X'WX beta suffers when the fit nearly interpolates.
  const Vector fitted = matvec(x, beta);
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = y[i] - fitted[i];
    rss += w[i] * r * r;
  }

  double penalty = 0.0;
  for (std::size_t j = 0; j < used; ++j) penalty += lambdas[j] * quad_form(penalties[j], beta);

  // Summed pivot logs: ln(det) of a 60 x 60 X'WX with large entries would overflow, and
  // small working weights would underflow det to 0, if the determinant were formed.
  auto logdet = log_determinant(a);
  if (!logdet) return fail(std::move(logdet.error()));

  std::size_t rank = 0;
  double log_lambda_sum = 0.0;
  for (std::size_t j = 0; j < used; ++j) {
    if (!(lambdas[j] > kRemlLambdaFloor)) continue;  // NaN lambdas contribute nothing too
    const std::size_t rj = penalty_rank(penalties[j]);
    rank += rj;
    log_lambda_sum += static_cast<double>(rj) * std::log(lambdas[j]);
  }

  // With no residual degrees of freedom the scale is undefined; report it as NaN rather
  // than dividing by zero or by a negative count.
  if (rank >= n) return kNaN;
  const double dof = static_cast<double>(n - rank);
  const double phi = rss / dof;
  return 0.5 * (*logdet + (rss + penalty) / phi + dof * std::log(kTwoPi * phi) - log_lambda_sum);
}

}  // namespace

Result<double> reml_criterion(VectorView y, MatrixView x, VectorView w,
                              std::span<const double> lambdas, std::span<const Matrix> penalties) {
  if (auto ok = check_data(y, x, w); !ok) return fail(std::move(ok.error()));
  const RemlCache cache = make_reml_cache(y, x, w);
  return evaluate(y, x, w, cache.xtwx, cache.xtwy, lambdas, penalties);
}

RemlCache make_reml_cache(VectorView y, MatrixView x, VectorView w) {
  return RemlCache{compute_xtwx(x, w), compute_xtwy(x, w, y)};
}

Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties) {
  if (auto ok = check_data(y, x, w); !ok) return fail(std::move(ok.error()));
  const std::size_t p = x.cols;
  if (cache.xtwx.rows() != p || cache.xtwx.cols() != p || cache.xtwy.size() != p) {
    return fail(GamError::dimension_mismatch(
        diag::format("Cached cross products are {}x{} and {} but X has {} columns",
                     {cache.xtwx.rows(), cache.xtwx.cols(), cache.xtwy.size(), p})));
  }
  return evaluate(y, x, w, cache.xtwx, cache.xtwy, lambdas, penalties);
}

}  // namespace velkan
