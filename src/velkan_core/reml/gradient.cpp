#include "velkan_core/reml/gradient.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"
#include "velkan_core/reml/augmented.h"
#include "velkan_core/reml/blockwise_qr.h"
#include "velkan_core/reml/derivatives.h"
#include "velkan_core/reml/penalty_sqrt.h"
#include "velkan_core/reml/residual_sums.h"

namespace velkan {

namespace {

using diag::Switch;

// The square roots a call works with: the caller's, or computed here in penalty order.
Result<std::span<const Matrix>> resolve_sqrts(std::span<const Matrix> penalties,
                                              std::span<const Matrix> given,
                                              std::optional<std::vector<Matrix>>& storage) {
  if (!given.empty() || penalties.empty()) return given;
  auto computed = penalty_sqrts(penalties);
  if (!computed) return fail(std::move(computed.error()));
  storage = std::move(*computed);
  return std::span<const Matrix>(*storage);
}

GamError qr_failure(const LinalgFailure& f) {
  return GamError::invalid_parameter("QR decomposition failed: " + f.debug());
}

// The ridge on every diagonal element, as add_diagonal_to_triangle takes it.
Vector uniform(std::size_t p, double delta) { return Vector(p, delta); }

double max_abs_difference(const Matrix& a, const Matrix& b) {
  double worst = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k)
    worst = std::max(worst, std::abs(a.data()[k] - b.data()[k]));
  return worst;
}

double trace_of(const Matrix& a) {
  double t = 0.0;
  for (std::size_t i = 0; i < a.rows(); ++i) t += a(i, i);
  return t;
}

}  // namespace

std::size_t blockwise_row_threshold(std::size_t m) {
  const std::size_t extra = m > 2 ? m - 2 : 0;
  const std::size_t drop = extra * kDirectRowsPerSmooth;
  return drop >= kDirectRowsBase ? 0 : kDirectRowsBase - drop;
}

Result<Vector> reml_gradient_multi_qr(VectorView y, MatrixView x, VectorView w,
                                      std::span<const double> lambdas,
                                      std::span<const Matrix> penalties,
                                      std::span<const Matrix> sqrt_penalties) {
  if (auto ok = check_derivative_inputs(y, x, w, lambdas, penalties, sqrt_penalties); !ok)
    return fail(std::move(ok.error()));
  std::optional<std::vector<Matrix>> storage;
  auto sqrts = resolve_sqrts(penalties, sqrt_penalties, storage);
  if (!sqrts) return fail(std::move(sqrts.error()));

  auto r = augmented_triangle(x, w, lambdas, *sqrts, /*trace=*/true);
  if (!r) return fail(qr_failure(r.error()));

  // Z'Z has no ridge; the triangle is brought to A + delta I, the matrix whose
  // log-determinant the score carries and through which every solve is refined.
  CrossProducts products = compute_xtwx_xtwy(x, w, y);
  const double delta = normal_matrix_ridge(products.xtwx, lambdas.size());
  auto ridged = add_diagonal_to_triangle(*r, uniform(x.cols, delta).span());
  if (!ridged) return fail(qr_failure(ridged.error()));
  const RidgedSolver system = RidgedSolver::from_triangle(
      penalized_normal_matrix(products.xtwx, lambdas, penalties), delta, std::move(*ridged));
  auto beta = system.solve(products.xtwy);
  if (!beta) return fail(std::move(beta.error()));

  ResidualSums sums(y, x, w);
  const ResidualProducts residuals = sums.at(*beta);
  auto first = reml_first_order(system, lambdas, penalties, *sqrts, std::move(*beta), residuals,
                                x.rows);
  if (!first) return fail(std::move(first.error()));
  diag::trace(Switch::GradDebug, "[PHI_DEBUG] n={}, total_rank={}, rss={:.6}, phi={:.6}\n",
              {x.rows, first->rank, first->rss, first->phi});
  return std::move(first->gradient);
}

Result<Vector> reml_gradient_blockwise(VectorView y, MatrixView x, VectorView w,
                                       std::span<const double> lambdas,
                                       std::span<const Matrix> penalties,
                                       std::span<const Matrix> sqrt_penalties, const Matrix* xtwx,
                                       const Vector* xtwy, ResidualSums* sums) {
  if (auto ok = check_derivative_inputs(y, x, w, lambdas, penalties, sqrt_penalties); !ok)
    return fail(std::move(ok.error()));
  const std::size_t n = x.rows, p = x.cols, m = lambdas.size();
  if (xtwx && (xtwx->rows() != p || xtwx->cols() != p))
    return fail(GamError::dimension_mismatch(diag::format(
        "Cached X'WX is {}x{} but X has {} columns", {xtwx->rows(), xtwx->cols(), p})));
  if (xtwy && xtwy->size() != p)
    return fail(GamError::dimension_mismatch(
        diag::format("Cached X'Wy has {} elements but X has {} columns", {xtwy->size(), p})));

  if (n < blockwise_row_threshold(m))
    return reml_gradient_multi_qr(y, x, w, lambdas, penalties, sqrt_penalties);

  std::optional<std::vector<Matrix>> storage;
  auto sqrts = resolve_sqrts(penalties, sqrt_penalties, storage);
  if (!sqrts) return fail(std::move(sqrts.error()));
  const bool cached_xtwx = xtwx != nullptr;

  // Whatever the caller did not cache is formed here, both products in one pass.
  std::optional<CrossProducts> own;
  if (!xtwx || !xtwy) {
    own = compute_xtwx_xtwy(x, w, y);
    if (!xtwx) xtwx = &own->xtwx;
    if (!xtwy) xtwy = &own->xtwy;
  }
  const double delta = normal_matrix_ridge(*xtwx, m);
  Matrix a = penalized_normal_matrix(*xtwx, lambdas, penalties);

  // The factor of A + delta I: Cholesky of the cached matrix, or, when that fails (or no
  // X'WX was cached), the block-wise QR of the augmented rows with the ridge added after.
  Matrix r;
  bool have_factor = false;
  if (cached_xtwx) {
    Matrix f = a;
    for (std::size_t i = 0; i < p; ++i) f(i, i) += delta;
    if (auto c = cholesky(f, 'U')) {
      r = std::move(*c);
      have_factor = true;
    }
  }
  if (!have_factor) {
    auto b = compute_r_blockwise(x, w, lambdas, *sqrts);
    if (!b) return fail(std::move(b.error()));
    r = std::move(*b);
  }

  if (diag::enabled(Switch::GradDebug)) {
    const Matrix expected = penalized_normal_matrix(compute_xtwx(x, w), lambdas, penalties);
    const Matrix rtr = matmul(r.t(), r);
    diag::print("[BLOCKWISE_DEBUG] Max error in R'R vs X'WX+λS: {:.6e}\n",
                {max_abs_difference(rtr, expected)});
    diag::print("[BLOCKWISE_DEBUG] R'R trace: {:.6e}\n", {trace_of(rtr)});
    diag::print("[BLOCKWISE_DEBUG] Expected trace: {:.6e}\n", {trace_of(expected)});
  }

  if (!have_factor) {
    auto ridged = add_diagonal_to_triangle(r, uniform(p, delta).span());
    if (!ridged) return fail(qr_failure(ridged.error()));
    r = std::move(*ridged);
  }
  const RidgedSolver system = RidgedSolver::from_triangle(std::move(a), delta, std::move(r));
  auto beta = system.solve(*xtwy);
  if (!beta) return fail(std::move(beta.error()));

  ResidualSums local(y, x, w);
  const ResidualProducts residuals = (sums ? *sums : local).at(*beta);
  auto first = reml_first_order(system, lambdas, penalties, *sqrts, std::move(*beta), residuals, n);
  if (!first) return fail(std::move(first.error()));
  return std::move(first->gradient);
}

}  // namespace velkan
