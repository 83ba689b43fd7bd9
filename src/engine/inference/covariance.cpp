#include "engine/inference/covariance.h"

#include <cmath>

#include "diag/format.h"
#include "linalg/factorizations.h"
#include "engine/select/blocked.h"
#include "linalg/products.h"
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

// J V_rho J' (see the header) on the determined coefficients.
Result<Matrix> smoothing_correction(const SpdFactor& factor,
                                    const std::vector<terms::PenaltyBlock>& penalties,
                                    const std::vector<std::size_t>& kept,
                                    const std::vector<std::size_t>& index, VectorView rho,
                                    const SmoothingUncertainty& u, std::size_t p) {
  const std::size_t m = index.size();
  const std::size_t npen = penalties.size();
  if (u.beta.size != p || u.hessian.rows != npen || u.hessian.cols != npen ||
      u.free.size() != npen) {
    return fail(GamError::dimension_mismatch(
        "the smoothing-parameter correction needs p coefficients, an m x m Hessian and m flags"));
  }
  std::vector<std::size_t> fr;
  for (std::size_t j = 0; j < npen; ++j)
    if (u.free[j]) fr.push_back(j);
  Matrix out(m, m);
  if (fr.empty()) return out;
  const std::size_t f = fr.size();
  // Columns of J over the determined coefficients.
  std::vector<Vector> jac(f);
  for (std::size_t c = 0; c < f; ++c) {
    const auto& pen = penalties[fr[c]];
    Vector sb(m);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a) {
      const std::size_t ka = kept[pen.offset + a];
      if (ka == p) continue;
      double acc = 0.0;
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b)
        acc += pen.matrix(a, b) * u.beta[pen.offset + b];
      sb[ka] = acc;
    }
    jac[c] = factor.solve(sb.view());
    const double lambda = std::exp(rho[fr[c]]);
    for (auto& v : jac[c]) v *= -lambda;
  }
  Matrix hf(f, f);
  for (std::size_t a = 0; a < f; ++a)
    for (std::size_t b = 0; b < f; ++b) hf(a, b) = u.hessian(fr[a], fr[b]);
  auto eig = symmetric_eigen(hf.view());
  if (!eig)
    return fail(GamError::linalg_error("eigendecomposition failed: " + eig.error().debug()));
  // V_rho = sum_e v_e w_e w_e', v_e = min(1 / h_e, cap) (non-positive h_e: the cap).
  for (std::size_t e = 0; e < f; ++e) {
    const double h = eig->values[e];
    const double var = h > 1.0 / kRhoVarianceCap ? 1.0 / h : kRhoVarianceCap;
    Vector dir(m);  // J w_e
    for (std::size_t c = 0; c < f; ++c) {
      const double w = eig->vectors(c, e);
      for (std::size_t i = 0; i < m; ++i) dir[i] += w * jac[c][i];
    }
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t k = 0; k < m; ++k) out(i, k) += var * dir[i] * dir[k];
  }
  return out;
}

}  // namespace

Result<Covariance> coefficient_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale,
                                          const SmoothingUncertainty* uncertainty) {
  const std::size_t p = xtwx.rows;
  if (xtwx.cols != p || (ridge.size != 0 && ridge.size != p) || rho.size != penalties.size()) {
    return fail(GamError::dimension_mismatch(diag::format(
        "cross products {} x {}, ridge {}, {} log smoothing parameters for {} penalties", xtwx.rows,
        xtwx.cols, ridge.size, rho.size, penalties.size())));
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

  // J V_rho J' over the determined coefficients (m x m), from the free rho.
  Matrix correction(m, m);
  if (uncertainty != nullptr) {
    auto added = smoothing_correction(*factor, penalties, kept, index, rho, *uncertainty, p);
    if (!added) return fail(added.error());
    correction = std::move(*added);
  }

  Covariance out;
  out.vp = Matrix(p, p);
  out.vc = Matrix(p, p);
  out.ve = Matrix(p, p);
  out.edf = Vector(p);
  for (std::size_t a = 0; a < m; ++a) {
    out.edf[index[a]] = f(a, a);
    for (std::size_t b = 0; b < m; ++b) {
      out.vp(index[a], index[b]) = scale * vp(a, b);
      out.vc(index[a], index[b]) = scale * vp(a, b) + correction(a, b);
      out.ve(index[a], index[b]) = scale * ve(a, b);
    }
  }
  return out;
}

namespace {

// N V N' for a q x q V.
Matrix map_back(MatrixView n, const Matrix& v) {
  const Matrix nv = matmul(n, v.view());
  Matrix out = matmul(nv.view(), n.transposed());
  symmetrise(out);
  return out;
}

}  // namespace

Result<Covariance> constrained_covariance(MatrixView xtwx,
                                          const std::vector<terms::PenaltyBlock>& penalties,
                                          VectorView ridge, VectorView rho, double scale,
                                          MatrixView basis, const SmoothingUncertainty* u) {
  const std::size_t p = xtwx.rows, q = basis.cols;
  if (basis.rows != p || rho.size != penalties.size() || (ridge.size != 0 && ridge.size != p)) {
    return fail(GamError::dimension_mismatch("the constraint basis does not match the coefficients"));
  }
  Matrix h = Matrix::from(xtwx);
  for (std::size_t i = 0; i < ridge.size; ++i) h(i, i) += ridge[i];
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    const auto& pen = penalties[j];
    const double lambda = std::exp(rho[j]);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b) h(pen.offset + a, pen.offset + b) += lambda * pen.matrix(a, b);
  }
  const Matrix g = matmul(matmul(basis.transposed(), xtwx).view(), basis);
  const Matrix hn = matmul(matmul(basis.transposed(), h.view()).view(), basis);
  auto factor = SpdFactor::factor(hn.view());
  if (!factor) {
    return fail(GamError::linalg_error("the penalized cross products are not positive definite: " +
                                       factor.error().debug()));
  }
  const Matrix vp = factor->inverse();
  const Matrix f = solve_columns(*factor, g.view());
  Matrix ve = solve_columns(*factor, f.t());
  symmetrise(ve);
  Matrix vc = vp;
  vc *= scale;
  if (u != nullptr) {
    // J = -lambda_j H_N^-1 N'S_j beta per free rho, then J V_rho J' as in the unconstrained case.
    std::vector<std::size_t> kept(q), index(q);
    for (std::size_t i = 0; i < q; ++i) kept[i] = index[i] = i;
    std::vector<terms::PenaltyBlock> projected;
    for (const auto& pen : penalties) {
      Matrix full(p, p);
      for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
        for (std::size_t b = 0; b < pen.matrix.rows(); ++b) full(pen.offset + a, pen.offset + b) = pen.matrix(a, b);
      projected.push_back({0, matmul(matmul(basis.transposed(), full.view()).view(), basis), Matrix()});
    }
    const Vector theta = matvec(basis.transposed(), u->beta);
    const SmoothingUncertainty ut{theta.view(), u->hessian, u->free};
    auto added = smoothing_correction(*factor, projected, kept, index, rho, ut, q);
    if (!added) return fail(added.error());
    vc += *added;
  }
  Covariance out;
  Matrix vps = vp, ves = ve;
  vps *= scale;
  ves *= scale;
  out.vp = map_back(basis, vps);
  out.ve = map_back(basis, ves);
  out.vc = map_back(basis, vc);
  const Matrix nf = matmul(basis, f.view());
  out.edf = Vector(p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t c = 0; c < q; ++c) out.edf[i] += nf(i, c) * basis(i, c);
  return out;
}

Result<Covariance> blocked_covariance(const select::WorkingProblem& wp, VectorView rho, double scale,
                                      const SmoothingUncertainty* u) {
  const std::size_t p = wp.xtwx.rows(), m = wp.penalties.size();
  if (rho.size != m || !wp.sparse) {
    return fail(GamError::dimension_mismatch("one log smoothing parameter per penalty is needed"));
  }
  if (!(scale >= 0.0) || !std::isfinite(scale)) {
    return fail(GamError::invalid_parameter(
        diag::format("the scale must be non-negative and finite, got {}", scale)));
  }
  select::BlockSystem h(wp, rho);
  if (!h.factor()) {
    return fail(GamError::linalg_error("the penalized cross products are not positive definite"));
  }
  Covariance out;
  Matrix x = h.inverse();
  Matrix xsx = h.inverse_penalty_inverse();
  out.edf = h.edf_per_coefficient();
  out.vp = x;
  out.vp *= scale;
  out.ve = std::move(x);
  out.ve -= xsx;
  out.ve *= scale;
  symmetrise(out.ve);
  out.vc = out.vp;
  if (u != nullptr && u->beta.size == p) {
    std::vector<std::size_t> fr;
    for (std::size_t j = 0; j < m; ++j)
      if (u->free[j]) fr.push_back(j);
    std::vector<Vector> jac;
    for (std::size_t j : fr) {
      Vector col = h.solve(h.penalty_times(j, Vector::from(u->beta)));
      for (auto& v : col) v *= -h.lambda[j];
      jac.push_back(std::move(col));
    }
    Matrix hf(fr.size(), fr.size());
    for (std::size_t a = 0; a < fr.size(); ++a)
      for (std::size_t b = 0; b < fr.size(); ++b) hf(a, b) = u->hessian(fr[a], fr[b]);
    if (!fr.empty()) {
      auto eig = symmetric_eigen(hf.view());
      if (!eig) return fail(GamError::linalg_error("eigendecomposition failed: " + eig.error().debug()));
      for (std::size_t e = 0; e < fr.size(); ++e) {
        const double hv = eig->values[e];
        const double var = hv > 1.0 / kRhoVarianceCap ? 1.0 / hv : kRhoVarianceCap;
        Vector dir(p);
        for (std::size_t c = 0; c < fr.size(); ++c)
          for (std::size_t i = 0; i < p; ++i) dir[i] += eig->vectors(c, e) * jac[c][i];
        for (std::size_t i = 0; i < p; ++i)
          for (std::size_t k = 0; k < p; ++k) out.vc(i, k) += var * dir[i] * dir[k];
      }
    }
  }
  // Coefficients held by the ridge are fixed at zero.
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) {
    if (!(wp.ridge[i] > 0.0)) continue;
    out.edf[i] = 0.0;
    for (Matrix* v : {&out.vp, &out.ve, &out.vc})
      for (std::size_t k = 0; k < p; ++k) (*v)(i, k) = (*v)(k, i) = 0.0;
  }
  return out;
}

}  // namespace velkan::inference
