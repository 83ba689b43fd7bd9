#include "reml/hessian.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "reml/augmented.h"
#include "reml/penalty_sqrt.h"

namespace velkan {

namespace {

using diag::Switch;

// The named sub-terms of one entry, as the diagnostic block lists them.
struct EntryTerms {
  double t1a, t1b, t2a, t2b, t2c, t2d, t3a, t3b;
  double d2rss, d2pen, d2phi;
  double term1() const { return t1a + t1b; }
  double term2() const { return t2a + t2b + t2c + t2d; }
  double term3() const { return t3a + t3b; }
  double total() const { return term1() + term2() + term3(); }
};

void trace_entry(std::size_t a, std::size_t b, const EntryTerms& e) {
  diag::print("\n[HESS_CORRECTED] H[{},{}]:\n", {a, b});
  diag::print("  Term 1 (∂²tr/∂ρⱼ∂ρᵢ): {:.6e}\n", {e.term1()});
  diag::print("    - 1a (cross): {:.6e}\n", {e.t1a});
  diag::print("    - 1b (diagonal): {:.6e}\n", {e.t1b});
  diag::print("  Term 2 (∂²(P/φ)/∂ρⱼ∂ρᵢ): {:.6e}\n", {e.term2()});
  diag::print("    - 2a (d2P/φ): {:.6e}\n", {e.t2a});
  diag::print("    - 2b (cross dP·dφ/φ²): {:.6e}\n", {e.t2b});
  diag::print("    - 2c (P·dφ²/φ³): {:.6e}\n", {e.t2c});
  diag::print("    - 2d (P·d2φ/φ²): {:.6e}\n", {e.t2d});
  diag::print("    - d2rss: {:.6e}\n", {e.d2rss});
  diag::print("    - d2P: {:.6e}\n", {e.d2pen});
  diag::print("    - d2phi: {:.6e}\n", {e.d2phi});
  diag::print("  Term 3 (∂/∂ρⱼ[(n-r)·dφ/φ]): {:.6e}\n", {e.term3()});
  diag::print("    - 3a ((n-r)·d2φ/φ): {:.6e}\n", {e.t3a});
  diag::print("    - 3b (-(n-r)·dφ²/φ²): {:.6e}\n", {e.t3b});
  diag::print("  TOTAL: {:.6e}\n", {e.total()});
}

void trace_matrix(const Matrix& h) {
  diag::print("\n[HESS_CORRECTED] Final Hessian:\n");
  for (std::size_t i = 0; i < h.rows(); ++i) {
    std::string line = "  [";
    for (std::size_t j = 0; j < h.cols(); ++j) line += diag::format("{:>10.6e}", {h(i, j)});
    line += "]\n";
    diag::write(line);
  }
}

// tr(M N) for square M, N of equal size, without forming the product.
double trace_of_product(const Matrix& m, const Matrix& n) {
  double t = 0.0;
  for (std::size_t i = 0; i < m.rows(); ++i)
    for (std::size_t j = 0; j < m.cols(); ++j) t += m(i, j) * n(j, i);
  return t;
}

// A^-1 = R^-1 R^-T from the LU factorisation and inverse of the triangle.
Result<Matrix> inverse_of_gram(const Matrix& r, Matrix& r_inv) {
  auto lu = lu_factor(r);
  if (!lu) return fail(GamError::singular_matrix());
  auto inv = lu_inverse(*lu);
  if (!inv) return fail(GamError::singular_matrix());
  r_inv = std::move(*inv);
  return matmul(r_inv, r_inv.t());
}

}  // namespace

Result<Matrix> reml_hessian_multi_qr(VectorView y, MatrixView x, VectorView w,
                                     std::span<const double> lambdas,
                                     std::span<const Matrix> penalties) {
  const std::size_t n = x.rows, p = x.cols, m = lambdas.size();
  if (diag::enabled(Switch::HessDebug)) {
    diag::print("\n[HESS_CORRECTED] Starting CORRECTED Hessian computation (matching gradient)\n");
    diag::print("[HESS_CORRECTED] n={}, p={}, m={}\n", {n, p, m});
  }
  if (auto ok = check_derivative_inputs(y, x, w, lambdas, penalties, {}); !ok)
    return fail(std::move(ok.error()));

  auto sqrts = penalty_sqrts(penalties);
  if (!sqrts) return fail(std::move(sqrts.error()));
  auto r = augmented_triangle(x, w, lambdas, *sqrts, /*trace=*/false);
  if (!r) return fail(GamError::linalg_error("QR decomposition failed"));

  const Matrix xtwx = compute_xtwx(x, w);
  auto coef = ridged_coefficients(xtwx, compute_xtwy(x, w, y), lambdas, penalties);
  if (!coef) return fail(std::move(coef.error()));
  const Vector& beta = coef->beta;

  // The triangle of Z carries no ridge; with two or more smooths Z'Z is singular (constants
  // move freely between smooths) and its inverse would be rounding noise. Give it the
  // coefficient solve's ridge, so A^-1 below is the inverse that produced beta.
  auto ridged = add_diagonal_to_triangle(*r, coef->ridge.span());
  if (!ridged) return fail(GamError::linalg_error("QR decomposition failed"));
  Matrix r_inv;
  auto a_inv_result = inverse_of_gram(*ridged, r_inv);
  if (!a_inv_result) return fail(std::move(a_inv_result.error()));
  const Matrix& a_inv = *a_inv_result;

  // Scale estimate and the penalized residual sum P = RSS + sum lambda_j beta' S_j beta.
  const Vector fitted = matvec(x, beta);
  Vector resid(n);
  double rss = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    resid[k] = y[k] - fitted[k];
    rss += w[k] * resid[k] * resid[k];
  }
  const std::size_t rank = total_rank(*sqrts);
  const double n_minus_r = static_cast<double>(n) - static_cast<double>(rank);
  // Without residual degrees of freedom the scale is undefined: NaN, as the criterion
  // reports it, rather than a negative or infinite phi that would look like a value.
  const double phi = rank < n ? rss / n_minus_r : std::numeric_limits<double>::quiet_NaN();
  std::vector<double> quad(m);
  double pen_total = rss;
  for (std::size_t j = 0; j < m; ++j) {
    quad[j] = quad_form(penalties[j], beta);
    pen_total += lambdas[j] * quad[j];
  }
  if (diag::enabled(Switch::HessDebug)) {
    diag::print("[HESS_CORRECTED] RSS={:.6e}, phi={:.6e}, P={:.6e}\n", {rss, phi, pen_total});
    diag::print("[HESS_CORRECTED] total_rank={}, n-r={:.6}\n", {rank, n_minus_r});
  }

  // Per-penalty products reused by every entry: A^-1 S_j, S_j' beta, and the combined
  // penalty S_lambda = sum lambda_j S_j with S_lambda' beta.
  std::vector<Matrix> a_inv_s(m);
  std::vector<Vector> st_beta(m);
  Matrix s_lambda(p, p);
  for (std::size_t j = 0; j < m; ++j) {
    a_inv_s[j] = matmul(a_inv, penalties[j]);
    st_beta[j] = matvec(penalties[j].t(), beta);
    s_lambda.add_scaled(penalties[j], lambdas[j]);
  }
  const Vector s_lambda_t_beta = matvec(s_lambda.t(), beta);
  const Vector sl_beta = matvec(s_lambda, beta);
  // X'W r: with it every weighted residual product r'W X v costs O(p).
  const Vector xtwr = compute_xtwy(x, w, resid);

  // First derivatives.
  std::vector<Vector> dbeta(m), s_lambda_dbeta(m), xtwx_dbeta(m);
  std::vector<double> d_rss(m), d_phi(m), d_pen(m);
  for (std::size_t a = 0; a < m; ++a) {
    const Vector sb = matvec(penalties[a], beta);
    Vector v = matvec(a_inv, sb);
    for (double& e : v) e *= -lambdas[a];
    dbeta[a] = std::move(v);
    d_rss[a] = -2.0 * dot(xtwr, dbeta[a]);
    d_phi[a] = d_rss[a] / n_minus_r;
    // sum_j lambda_j (dbeta' S_j beta + beta' S_j dbeta) = dbeta' (S_lambda + S_lambda') beta
    d_pen[a] = d_rss[a] + lambdas[a] * quad[a] + dot(dbeta[a], sl_beta) +
               dot(s_lambda_t_beta, dbeta[a]);
    s_lambda_dbeta[a] = matvec(s_lambda, dbeta[a]);
    xtwx_dbeta[a] = matvec(xtwx, dbeta[a]);
  }

  Matrix h(m, m);
  for (std::size_t a = 0; a < m; ++a) {
    for (std::size_t b = a; b < m; ++b) {
      const bool same = a == b;
      EntryTerms e{};
      // Term 1: half the second derivative of log|A|.
      e.t1a = -0.5 * lambdas[a] * lambdas[b] * trace_of_product(a_inv_s[a], a_inv_s[b]);
      if (same) {
        // ||R^-T L_a||_F^2 = tr(A^-1 S_a); no columns, no contribution.
        double frob = 0.0;
        if ((*sqrts)[a].cols() > 0) {
          const Matrix t = matmul(r_inv.t(), (*sqrts)[a]);
          for (std::size_t k = 0; k < t.size(); ++k) frob += t.data()[k] * t.data()[k];
        }
        e.t1b = 0.5 * lambdas[a] * frob;
      }

      // d2beta_ab = -lambda_a A^-1 S_a dbeta_b - lambda_b A^-1 S_b dbeta_a
      //             - delta_ab lambda_a A^-1 S_a beta
      const Vector sa_db = matvec(a_inv_s[a], dbeta[b]);
      const Vector sb_da = matvec(a_inv_s[b], dbeta[a]);
      Vector d2beta(p);
      for (std::size_t i = 0; i < p; ++i)
        d2beta[i] = -lambdas[a] * sa_db[i] - lambdas[b] * sb_da[i];
      if (same) {
        // A^-1 S_a beta = -dbeta_a / lambda_a, written out to avoid dividing by lambda.
        const Vector sa_beta = matvec(a_inv_s[a], beta);
        for (std::size_t i = 0; i < p; ++i) d2beta[i] -= lambdas[a] * sa_beta[i];
      }

      // Weighted: (X dbeta_a)' W (X dbeta_b) - r' W X d2beta, both through cross products.
      e.d2rss = 2.0 * dot(dbeta[a], xtwx_dbeta[b]) - 2.0 * dot(xtwr, d2beta);
      e.d2phi = e.d2rss / n_minus_r;
      const double q = lambdas[b] * dot(st_beta[b], dbeta[a]) + dot(s_lambda_t_beta, d2beta) +
                       dot(dbeta[a], s_lambda_dbeta[b]);
      e.d2pen = e.d2rss + (same ? lambdas[a] * quad[a] : 0.0) +
                2.0 * lambdas[a] * dot(st_beta[a], dbeta[b]) + 2.0 * q;

      // Term 2: half the second derivative of P / phi.
      e.t2a = 0.5 * e.d2pen / phi;
      e.t2b = -0.5 * (d_pen[a] * d_phi[b] + d_pen[b] * d_phi[a]) / (phi * phi);
      e.t2c = 0.5 * 2.0 * pen_total * d_phi[a] * d_phi[b] / (phi * phi * phi);
      e.t2d = -0.5 * pen_total * e.d2phi / (phi * phi);
      // Term 3: half the derivative of (n - r) dphi_a / phi.
      e.t3a = 0.5 * n_minus_r * e.d2phi / phi;
      e.t3b = -0.5 * n_minus_r * d_phi[a] * d_phi[b] / (phi * phi);

      const double total = e.total();
      h(b, a) = total;
      if (!same) h(a, b) = total;
      if ((same || (a == 0 && b == 1)) && diag::enabled(Switch::HessDebug)) trace_entry(a, b, e);
    }
  }

  if (diag::enabled(Switch::HessDebug)) trace_matrix(h);
  return h;
}

}  // namespace velkan
