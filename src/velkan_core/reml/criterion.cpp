// The REML score. All entry points share one evaluation that starts from X'WX and X'Wy;
// they differ only in how the residual sum of squares is obtained: the from-data entry
// point always sums over the data, the cached one uses the normal equations when they are
// accurate enough (see kRemlRssCancellationLimit), and the anchored one asks ResidualSums,
// which applies the same test relative to its anchor.
#include "velkan_core/reml/criterion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "diag/format.h"
#include "linalg/dense_solve.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"
#include "velkan_core/reml/residual_sums.h"

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

Status check_cache(const RemlCache& cache, std::size_t p) {
  if (cache.xtwx.rows() != p || cache.xtwx.cols() != p || cache.xtwy.size() != p) {
    return fail(GamError::dimension_mismatch(
        diag::format("Cached cross products are {}x{} and {} but X has {} columns",
                     {cache.xtwx.rows(), cache.xtwx.cols(), cache.xtwy.size(), p})));
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

double rss_from_data(VectorView y, MatrixView x, VectorView w, const Vector& beta) {
  const Vector fitted = matvec(x, beta);
  double rss = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) {
    const double r = y[i] - fitted[i];
    rss += w[i] * r * r;
  }
  return rss;
}

// y'Wy - 2 beta'X'Wy + beta'X'WX beta when cancellation leaves it accurate, else NaN.
// Each cross-product entry carries a rounding error proportional to the Cauchy-Schwarz
// bound sqrt(X'WX_jj X'WX_kk) (or sqrt(X'WX_jj y'Wy)), so the error of the whole
// expression is proportional to (sqrt(y'Wy) + sum_j |beta_j| sqrt(X'WX_jj))^2.
double rss_from_normal_equations(const Matrix& xtwx, const Vector& xtwy, double ywy,
                                 const Vector& beta) {
  if (!(ywy >= 0.0)) return kNaN;
  const Vector xtwx_beta = matvec(xtwx, beta);
  const double rss = ywy - 2.0 * dot(beta, xtwy) + dot(beta, xtwx_beta);
  double spread = std::sqrt(ywy);
  for (std::size_t j = 0; j < beta.size(); ++j) {
    spread += std::abs(beta[j]) * std::sqrt(std::max(xtwx(j, j), 0.0));
  }
  return rss >= kRemlRssCancellationLimit * spread * spread ? rss : kNaN;
}

// The score from the weighted cross products of the same (y, x, w). With `sums` the RSS
// comes from them; without, with `ywy` NaN it is summed over the data, otherwise the
// normal equations are tried first.
Result<double> evaluate(VectorView y, MatrixView x, VectorView w, const Matrix& xtwx,
                        const Vector& xtwy, double ywy, std::span<const double> lambdas,
                        std::span<const Matrix> penalties, ResidualSums* sums = nullptr) {
  const std::size_t n = y.size;
  const std::size_t p = x.cols;
  const std::size_t used = std::min(lambdas.size(), penalties.size());
  if (auto ok = check_penalties(penalties, used, p); !ok) return fail(std::move(ok.error()));

  // A = X'WX + sum_j lambda_j S_j; its log-determinant is taken with the ridge delta,
  // and beta is the refined solution of A beta = X'Wy (linalg/ridged_solve.h).
  const double delta = normal_matrix_ridge(xtwx, lambdas.size());
  Matrix a = xtwx;
  for (std::size_t j = 0; j < used; ++j) a.add_scaled(penalties[j], lambdas[j]);
  auto system = RidgedSolver::from_matrix(a, delta);
  if (!system) return fail(std::move(system.error()));
  auto solved = system->solve(xtwy);
  if (!solved) return fail(std::move(solved.error()));
  const Vector& beta = *solved;
  for (std::size_t i = 0; i < p; ++i) a(i, i) += delta;

  // Weighted residual sum of squares. The pass over the data is O(n p) and free of the
  // cancellation the normal-equation form suffers when the fit nearly interpolates.
  double rss = kNaN;
  if (sums) {
    rss = sums->at(beta).rss;
  } else {
    rss = rss_from_normal_equations(xtwx, xtwy, ywy, beta);
    if (std::isnan(rss)) rss = rss_from_data(y, x, w, beta);
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
  // No y'Wy: the from-data score always sums the residuals over the data.
  return evaluate(y, x, w, compute_xtwx(x, w), compute_xtwy(x, w, y), kNaN, lambdas,
                  penalties);
}

RemlCache make_reml_cache(VectorView y, MatrixView x, VectorView w) {
  double ywy = 0.0;
  for (std::size_t i = 0; i < y.size; ++i) ywy += w[i] * y[i] * y[i];
  return RemlCache{compute_xtwx(x, w), compute_xtwy(x, w, y), ywy};
}

Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties) {
  if (auto ok = check_data(y, x, w); !ok) return fail(std::move(ok.error()));
  if (auto ok = check_cache(cache, x.cols); !ok) return fail(std::move(ok.error()));
  return evaluate(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, lambdas, penalties);
}

Result<double> reml_criterion_cached(VectorView y, MatrixView x, VectorView w,
                                     const RemlCache& cache, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties, ResidualSums& sums) {
  if (auto ok = check_data(y, x, w); !ok) return fail(std::move(ok.error()));
  if (auto ok = check_cache(cache, x.cols); !ok) return fail(std::move(ok.error()));
  return evaluate(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, lambdas, penalties, &sums);
}

}  // namespace velkan
