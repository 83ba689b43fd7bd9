#include "inference/covariance.h"

#include <cmath>

#include "diag/format.h"
#include "linalg/spd_factor.h"

namespace velkan::inference {

namespace {

// Solves H X = B column by column for a p x p right-hand side B read through `b`.
Matrix solve_columns(const SpdFactor& factor, MatrixView b) {
  const std::size_t p = b.rows;
  Matrix x(p, b.cols);
  for (std::size_t j = 0; j < b.cols; ++j) {
    const Vector col = factor.solve(b.col(j));
    for (std::size_t i = 0; i < p; ++i) x(i, j) = col[i];
  }
  return x;
}

void symmetrise(Matrix& a) {
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const double v = 0.5 * (a(i, j) + a(j, i));
      a(i, j) = v;
      a(j, i) = v;
    }
}

}  // namespace

Result<Covariance> coefficient_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale) {
  const std::size_t p = xtwx.rows;
  if (xtwx.cols != p || (ridge.size != 0 && ridge.size != p) || rho.size != penalties.size()) {
    return fail(GamError::dimension_mismatch(diag::format(
        "cross products {} x {}, ridge {}, {} log smoothing parameters for {} penalties",
        xtwx.rows, xtwx.cols, ridge.size, rho.size, penalties.size())));
  }
  if (!(scale >= 0.0) || !std::isfinite(scale)) {
    return fail(GamError::invalid_parameter(
        diag::format("the scale must be non-negative and finite, got {}", scale)));
  }
  // kept[i]: position of coefficient i among the determined ones, or p when it is held at 0.
  std::vector<std::size_t> kept(p, p), index;
  for (std::size_t i = 0; i < p; ++i) {
    if (ridge.size == 0 || !(ridge[i] > 0.0)) {
      kept[i] = index.size();
      index.push_back(i);
    }
  }
  const std::size_t m = index.size();
  Matrix g(m, m);
  for (std::size_t a = 0; a < m; ++a)
    for (std::size_t b = 0; b < m; ++b) g(a, b) = xtwx(index[a], index[b]);
  Matrix h = g;
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const auto& pen = penalties[j];
    if (pen.offset + pen.matrix.rows() > p) {
      return fail(GamError::dimension_mismatch("a penalty block lies outside the coefficients"));
    }
    const double lambda = std::exp(rho[j]);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a) {
      const std::size_t ka = kept[pen.offset + a];
      if (ka == p) continue;
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b) {
        const std::size_t kb = kept[pen.offset + b];
        if (kb != p) h(ka, kb) += lambda * pen.matrix(a, b);
      }
    }
  }
  auto factor = SpdFactor::factor(h.view());
  if (!factor) {
    return fail(GamError::linalg_error("the penalized cross products are not positive definite: " +
                                       factor.error().debug()));
  }
  const Matrix vp = factor->inverse();
  // F = H^-1 G; Ve / phi = H^-1 G H^-1 = H^-1 F' (G symmetric).
  const Matrix f = solve_columns(*factor, g.view());
  Matrix ve = solve_columns(*factor, f.t());
  symmetrise(ve);

  Covariance out;
  out.vp = Matrix(p, p);
  out.ve = Matrix(p, p);
  out.edf = Vector(p);
  for (std::size_t a = 0; a < m; ++a) {
    out.edf[index[a]] = f(a, a);
    for (std::size_t b = 0; b < m; ++b) {
      out.vp(index[a], index[b]) = scale * vp(a, b);
      out.ve(index[a], index[b]) = scale * ve(a, b);
    }
  }
  return out;
}

}  // namespace velkan::inference
