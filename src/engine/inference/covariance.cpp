#include "engine/inference/covariance.h"

#include <cmath>

#include "diag/format.h"
#include "linalg/factorizations.h"
#include "engine/select/blocked.h"
#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::inference {

namespace {

void symmetrise(Matrix& a) {
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const double v = 0.5 * (a(i, j) + a(j, i));
      a(i, j) = v;
      a(j, i) = v;
    }
}

// V_rho = sum_e variance[e] w_e w_e' over the free rho (w_e: column e of `vectors`).
struct RhoCovariance {
  std::vector<std::size_t> free;  // positions of the free rho among all
  std::vector<double> variance;
  Matrix vectors;                 // f x f
};

Result<RhoCovariance> rho_covariance(const SmoothingUncertainty& u) {
  RhoCovariance out;
  for (std::size_t j = 0; j < u.free.size(); ++j)
    if (u.free[j]) out.free.push_back(j);
  const std::size_t f = out.free.size();
  if (f == 0) return out;
  Matrix hf(f, f);
  for (std::size_t a = 0; a < f; ++a)
    for (std::size_t b = 0; b < f; ++b) hf(a, b) = u.hessian(out.free[a], out.free[b]);
  auto eig = symmetric_eigen(hf.view());
  if (!eig)
    return fail(GamError::linalg_error("eigendecomposition failed: " + eig.error().debug()));
  // min(1 / h_e, cap); a non-positive h_e takes the cap.
  for (std::size_t e = 0; e < f; ++e) {
    const double h = eig->values[e];
    out.variance.push_back(h > 1.0 / kRhoVarianceCap ? 1.0 / h : kRhoVarianceCap);
  }
  out.vectors = std::move(eig->vectors);
  return out;
}

// The penalty's block over the determined coefficients: its rows there (positions among
// them) and the matrix restricted to them.
struct KeptBlock {
  std::vector<std::size_t> at;
  Matrix matrix;
};

KeptBlock kept_block(const terms::PenaltyBlock& pen, const std::vector<std::size_t>& kept,
                     std::size_t p) {
  KeptBlock out;
  std::vector<std::size_t> local;
  for (std::size_t a = 0; a < pen.matrix.rows(); ++a) {
    if (kept[pen.offset + a] == p) continue;
    out.at.push_back(kept[pen.offset + a]);
    local.push_back(a);
  }
  out.matrix = Matrix(local.size(), local.size());
  for (std::size_t a = 0; a < local.size(); ++a)
    for (std::size_t b = 0; b < local.size(); ++b) out.matrix(a, b) = pen.matrix(local[a], local[b]);
  return out;
}

// J V_rho J' = sum_e variance_e (J w_e)(J w_e)' from J's columns (one per free rho).
Matrix jacobian_outer(const std::vector<Vector>& jac, const RhoCovariance& vr, std::size_t m) {
  Matrix out(m, m);
  for (std::size_t e = 0; e < jac.size(); ++e) {
    Vector dir(m);  // J w_e
    for (std::size_t c = 0; c < jac.size(); ++c)
      for (std::size_t i = 0; i < m; ++i) dir[i] += vr.vectors(c, e) * jac[c][i];
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t k = 0; k < m; ++k) out(i, k) += vr.variance[e] * dir[i] * dir[k];
  }
  return out;
}

// J V_rho J' (see the header) on the m determined coefficients.
Matrix first_order(const SpdFactor& factor, const std::vector<KeptBlock>& blocks,
                   const RhoCovariance& vr, VectorView beta, VectorView rho, std::size_t m) {
  const std::size_t f = vr.free.size();
  std::vector<Vector> jac(f);  // column c of J: -lambda_c H^-1 S_c beta
  for (std::size_t c = 0; c < f; ++c) {
    const KeptBlock& b = blocks[vr.free[c]];
    Vector sb(m);
    for (std::size_t a = 0; a < b.at.size(); ++a)
      for (std::size_t k = 0; k < b.at.size(); ++k) sb[b.at[a]] += b.matrix(a, k) * beta[b.at[k]];
    jac[c] = factor.solve(sb.view());
    const double lambda = std::exp(rho[vr.free[c]]);
    for (auto& v : jac[c]) v *= -lambda;
  }
  return jacobian_outer(jac, vr, m);
}

// V'' (see the header) on the m determined coefficients: phi L K L', with L the lower
// Cholesky factor of H^-1, K = sum_e variance_e Phi(N_e) Phi(N_e)', N_e = sum_c w_ce M_c
// and M_c = L^-1 (dVp / d rho_c) L^-T / phi = -lambda_c L_c' S_c L_c (L_c: L's rows on
// penalty c). Empty when H^-1 has no Cholesky factor in floating point.
Matrix second_order(const Matrix& h_inverse, const std::vector<KeptBlock>& blocks,
                    const RhoCovariance& vr, VectorView rho, double scale) {
  const std::size_t m = h_inverse.rows(), f = vr.free.size();
  auto l = cholesky(h_inverse.view(), 'L');
  if (!l) return Matrix();
  std::vector<Matrix> derivative;  // M_c
  for (std::size_t c = 0; c < f; ++c) {
    const KeptBlock& b = blocks[vr.free[c]];
    Matrix lc(b.at.size(), m);
    for (std::size_t a = 0; a < b.at.size(); ++a)
      for (std::size_t k = 0; k < m; ++k) lc(a, k) = (*l)(b.at[a], k);
    Matrix mc = matmul(lc.t(), matmul(b.matrix.view(), lc.view()).view());
    mc *= -std::exp(rho[vr.free[c]]);
    derivative.push_back(std::move(mc));
  }
  Matrix k(m, m), phi(m, m);
  for (std::size_t e = 0; e < f; ++e) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j <= i; ++j) {
        double v = 0.0;
        for (std::size_t c = 0; c < f; ++c) v += vr.vectors(c, e) * derivative[c](i, j);
        phi(i, j) = i == j ? 0.5 * v : v;
      }
    Matrix outer = gram(phi.t());  // Phi Phi'
    outer *= vr.variance[e];
    k += outer;
  }
  Matrix out = matmul(matmul(l->view(), k.view()).view(), l->t());
  out *= scale;
  symmetrise(out);
  return out;
}

// The smoothing-parameter correction on the m determined coefficients: J V_rho J' and V''
// (V'' zero beyond kSecondOrderWork multiply-adds).
struct Correction {
  Matrix first;
  Matrix second;
};

// tr(A B) / scale for symmetric m x m A and B (0 for a zero scale).
double trace_product(const Matrix& a, const Matrix& b, double scale) {
  if (!(scale > 0.0)) return 0.0;
  double t = 0.0;
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t k = 0; k < a.cols(); ++k) t += a(i, k) * b(i, k);
  return t / scale;
}

Result<Correction> smoothing_correction(const SpdFactor& factor, const Matrix& h_inverse,
                                        const std::vector<terms::PenaltyBlock>& penalties,
                                        const std::vector<std::size_t>& kept, VectorView rho,
                                        double scale, const SmoothingUncertainty& u,
                                        std::size_t p) {
  const std::size_t m = h_inverse.rows();
  const std::size_t npen = penalties.size();
  if (u.beta.size != p || u.hessian.rows != npen || u.hessian.cols != npen ||
      u.free.size() != npen) {
    return fail(GamError::dimension_mismatch(
        "the smoothing-parameter correction needs p coefficients, an m x m Hessian and m flags"));
  }
  auto vr = rho_covariance(u);
  if (!vr) return fail(vr.error());
  Correction out{Matrix(m, m), Matrix(m, m)};
  if (vr->free.empty()) return out;
  std::vector<KeptBlock> blocks;
  for (const auto& pen : penalties) blocks.push_back(kept_block(pen, kept, p));
  Vector beta(m);
  for (std::size_t i = 0; i < p; ++i)
    if (kept[i] != p) beta[kept[i]] = u.beta[i];
  out.first = first_order(factor, blocks, *vr, beta.view(), rho, m);
  const double md = static_cast<double>(m);
  if (static_cast<double>(vr->free.size() + 2) * md * md * md <= kSecondOrderWork) {
    Matrix v2 = second_order(h_inverse, blocks, *vr, rho, scale);
    if (v2.rows() == m) out.second = std::move(v2);
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
  const Matrix f = factor->solve(g.view());
  Matrix ve = factor->solve(f.t());
  symmetrise(ve);

  // J V_rho J' + V'' over the determined coefficients (m x m), from the free rho.
  Matrix correction(m, m);
  Covariance out;
  if (uncertainty != nullptr) {
    auto added = smoothing_correction(*factor, vp, penalties, kept, rho, scale, *uncertainty, p);
    if (!added) return fail(added.error());
    out.edf_corrected = trace_product(added->first, g, scale);
    correction = std::move(added->first);
    correction += added->second;
  }

  out.vp = Matrix(p, p);
  out.vc = Matrix(p, p);
  out.ve = Matrix(p, p);
  out.edf = Vector(p);
  for (std::size_t a = 0; a < m; ++a) {
    out.edf[index[a]] = f(a, a);
    out.edf_corrected += f(a, a);
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
  const Matrix f = factor->solve(g.view());
  Matrix ve = factor->solve(f.t());
  symmetrise(ve);
  Matrix vc = vp;
  vc *= scale;
  double edf_first = 0.0;
  if (u != nullptr) {
    // J = -lambda_j H_N^-1 N'S_j beta per free rho, then J V_rho J' as in the unconstrained case.
    std::vector<std::size_t> kept(q);
    for (std::size_t i = 0; i < q; ++i) kept[i] = i;
    std::vector<terms::PenaltyBlock> projected;
    for (const auto& pen : penalties) {
      Matrix full(p, p);
      for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
        for (std::size_t b = 0; b < pen.matrix.rows(); ++b) full(pen.offset + a, pen.offset + b) = pen.matrix(a, b);
      projected.push_back({0, matmul(matmul(basis.transposed(), full.view()).view(), basis), Matrix()});
    }
    const Vector theta = matvec(basis.transposed(), u->beta);
    const SmoothingUncertainty ut{theta.view(), u->hessian, u->free};
    auto added = smoothing_correction(*factor, vp, projected, kept, rho, scale, ut, q);
    if (!added) return fail(added.error());
    edf_first = trace_product(added->first, g, scale);
    vc += added->first;
    vc += added->second;
  }
  Covariance out;
  out.edf_corrected = edf_first;
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
  for (std::size_t i = 0; i < p; ++i) out.edf_corrected += out.edf[i];
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
    auto vr = rho_covariance(*u);
    if (!vr) return fail(vr.error());
    std::vector<Vector> jac;
    for (std::size_t j : vr->free) {
      Vector col = h.solve(h.penalty_times(j, Vector::from(u->beta)));
      for (auto& v : col) v *= -h.lambda[j];
      jac.push_back(std::move(col));
    }
    if (!jac.empty()) out.vc += jacobian_outer(jac, *vr, p);
  }
  // Coefficients held by the ridge are fixed at zero.
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) {
    if (!(wp.ridge[i] > 0.0)) continue;
    out.edf[i] = 0.0;
    for (Matrix* v : {&out.vp, &out.ve, &out.vc})
      for (std::size_t k = 0; k < p; ++k) (*v)(i, k) = (*v)(k, i) = 0.0;
  }
  // Vc here is first order: tr(Vc X'WX) / phi (tr(F) for a zero scale).
  out.edf_corrected = trace_product(out.vc, wp.xtwx, scale);
  if (!(scale > 0.0))
    for (std::size_t i = 0; i < p; ++i) out.edf_corrected += out.edf[i];
  return out;
}

}  // namespace velkan::inference
