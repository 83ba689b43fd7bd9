#include "reml/gradient.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "reml/augmented.h"
#include "reml/blockwise_qr.h"
#include "reml/penalty_sqrt.h"
#include "reml/residual_sums.h"

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

// Steps shared by both entries once A = R'R (ridge included) and beta are known.
Result<Vector> gradient_from_factor(MatrixView x, std::span<const double> lambdas,
                                    std::span<const Matrix> penalties,
                                    std::span<const Matrix> sqrts, const TriangularSystem& factor,
                                    const Vector& beta, ResidualSums& sums, bool trace_phi) {
  const std::size_t n = x.rows, p = x.cols, m = lambdas.size();

  const ResidualProducts residuals = sums.at(beta);
  const double rss = residuals.rss;
  const std::size_t rank = total_rank(sqrts);
  const double n_minus_r = static_cast<double>(n) - static_cast<double>(rank);
  // Without residual degrees of freedom the scale is undefined: NaN, as the criterion
  // reports it, rather than a negative or infinite phi that would look like a value.
  const double phi = rank < n ? rss / n_minus_r : std::numeric_limits<double>::quiet_NaN();
  if (trace_phi)
    diag::trace(Switch::GradDebug, "[PHI_DEBUG] n={}, total_rank={}, rss={:.6}, phi={:.6}\n",
                {n, rank, rss, phi});

  // S_j beta, beta' S_j beta, and sum_j lambdcj (S_j + S_j') beta, so that
  // dP_i = lambdci beta' S_i beta + dbetci' u costs O(p) per smooth.
  std::vector<Vector> s_beta(m);
  Vector u(p);
  double pen = 0.0;
  std::vector<double> quad(m);
  for (std::size_t j = 0; j < m; ++j) {
    s_beta[j] = matvec(penalties[j], beta);
    const Vector st_beta = matvec(penalties[j].t(), beta);
    quad[j] = dot(beta, s_beta[j]);
    pen += lambdas[j] * quad[j];
    for (std::size_t c = 0; c < p; ++c) u[c] += lambdas[j] * (s_beta[j][c] + st_beta[c]);
  }

  // dbetci = -A^-1 lambdci S_i beta for all i at once: two triangular solves.
  Matrix rhs(p, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t c = 0; c < p; ++c) rhs(c, i) = lambdas[i] * s_beta[i][c];
  auto solved = factor.solve(rhs);
  if (!solved) return fail(std::move(solved.error()));

  // sum_k w_k r_k (X v)_k = (X'W r)' v: one X'W r serves every smooth. The weights belong
  // in this sum because RSS itself is weighted.
  const Vector& xtwr = residuals.xtwr;

  Vector g(m);
  for (std::size_t i = 0; i < m; ++i) {
    // tr(A^-1 S_i) = ||R'^-1 L_i||_F^2; a square root without columns contributes 0.
    double trace = 0.0;
    const std::size_t r_i = sqrts[i].cols();
    if (r_i > 0) {
      auto t = factor.solve_lower(sqrts[i]);
      if (!t) return fail(std::move(t.error()));
      for (std::size_t k = 0; k < t->size(); ++k) trace += t->data()[k] * t->data()[k];
    }
    double d_rss = 0.0, d_pen_cross = 0.0;
    for (std::size_t c = 0; c < p; ++c) {
      const double dbeta = -(*solved)(c, i);
      d_rss += xtwr[c] * dbeta;
      d_pen_cross += u[c] * dbeta;
    }
    d_rss *= -2.0;
    const double d_phi = d_rss / n_minus_r;
    const double d_pen = lambdas[i] * quad[i] + d_pen_cross;
    g[i] = 0.5 * (lambdas[i] * trace - static_cast<double>(r_i) + (d_rss + d_pen) / phi -
                  (rss + pen) * d_phi / (phi * phi) + n_minus_r * d_phi / phi);
  }
  return g;
}

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

  auto coef = ridged_coefficients(compute_xtwx(x, w), compute_xtwy(x, w, y), lambdas, penalties);
  if (!coef) return fail(std::move(coef.error()));

  // Z'Z has no ridge; bring the triangle to the ridged matrix the coefficients solved.
  auto ridged = add_diagonal_to_triangle(*r, coef->ridge.span());
  if (!ridged) return fail(qr_failure(ridged.error()));

  ResidualSums sums(y, x, w);
  return gradient_from_factor(x, lambdas, penalties, *sqrts, TriangularSystem(std::move(*ridged)),
                              coef->beta, sums, /*trace_phi=*/true);
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

  // The factor, and the ridge it already carries on its diagonal.
  Matrix r;
  Vector carried(p);
  bool have_factor = false;
  if (xtwx) {
    Matrix a = penalized_normal_matrix(*xtwx, lambdas, penalties);
    for (std::size_t i = 0; i < p; ++i) {
      carried[i] = kCholeskyRidge * std::max(std::abs(a(i, i)), 1.0);
      a(i, i) += carried[i];
    }
    if (auto c = cholesky(a, 'U')) {
      r = std::move(*c);
      have_factor = true;
    }
  }
  if (!have_factor) {
    // No cache, or the cached matrix is not positive definite: accumulate the exact
    // ridge-free factor over blocks instead.
    auto b = compute_r_blockwise(x, w, lambdas, *sqrts);
    if (!b) return fail(std::move(b.error()));
    r = std::move(*b);
    carried = Vector(p);
  }

  if (diag::enabled(Switch::GradDebug)) {
    const Matrix expected = penalized_normal_matrix(compute_xtwx(x, w), lambdas, penalties);
    const Matrix rtr = matmul(r.t(), r);
    diag::print("[BLOCKWISE_DEBUG] Max error in R'R vs X'WX+λS: {:.6e}\n",
                {max_abs_difference(rtr, expected)});
    diag::print("[BLOCKWISE_DEBUG] R'R trace: {:.6e}\n", {trace_of(rtr)});
    diag::print("[BLOCKWISE_DEBUG] Expected trace: {:.6e}\n", {trace_of(expected)});
  }

  // Whatever the caller did not cache is formed here, both products in one pass.
  Result<RidgedCoefficients> coef;
  if (xtwx) {
    coef = ridged_coefficients(*xtwx, xtwy ? *xtwy : compute_xtwy(x, w, y), lambdas, penalties);
  } else {
    CrossProducts products = compute_xtwx_xtwy(x, w, y);
    coef = ridged_coefficients(products.xtwx, xtwy ? *xtwy : std::move(products.xtwy), lambdas,
                               penalties);
  }
  if (!coef) return fail(std::move(coef.error()));

  // Top the factor's ridge up to the coefficient solve's, so that R'R is the very matrix
  // whose inverse gave beta.
  Vector extra(p);
  for (std::size_t i = 0; i < p; ++i) extra[i] = coef->ridge[i] - carried[i];
  auto ridged = add_diagonal_to_triangle(r, extra.span());
  if (!ridged) return fail(qr_failure(ridged.error()));

  ResidualSums local(y, x, w);
  return gradient_from_factor(x, lambdas, penalties, *sqrts, TriangularSystem(std::move(*ridged)),
                              coef->beta, sums ? *sums : local, /*trace_phi=*/false);
}

}  // namespace velkan
