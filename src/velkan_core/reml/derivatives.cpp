#include "velkan_core/reml/derivatives.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diag/sink.h"

namespace velkan {

namespace {

using diag::Switch;

// The named sub-terms of one Hessian entry, as the diagnostic block lists them.
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

Vector column(const Matrix& m, std::size_t c) {
  Vector v(m.rows());
  for (std::size_t i = 0; i < m.rows(); ++i) v[i] = m(i, c);
  return v;
}

// The products of the first derivatives that every Hessian entry reuses.
struct SecondOrderTerms {
  std::vector<Matrix> f_inv_s;             // (A + delta I)^-1 S_j, for the cross traces
  std::vector<Vector> s_lambda_dbeta;      // S_lambda dbeta_a
  std::vector<Vector> xtwx_dbeta;          // X'WX dbeta_a
  Matrix d2beta;                           // p x m (m + 1) / 2, one column per pair a <= b
};

// (A + delta I)^-1 S_j for the cross traces of the log-determinant, S_lambda dbeta_a and
// X'WX dbeta_a. Errors: those of the ridged solve.
Status first_derivative_products(const RemlFirstOrder& f, const RidgedSolver& system,
                                 const Matrix& xtwx, std::span<const double> lambdas,
                                 std::span<const Matrix> penalties, SecondOrderTerms& out) {
  const std::size_t m = lambdas.size(), p = f.beta.size();
  out.f_inv_s.resize(m);
  out.s_lambda_dbeta.resize(m);
  out.xtwx_dbeta.resize(m);
  Matrix s_lambda(p, p);
  for (std::size_t j = 0; j < m; ++j) {
    auto fs = system.solve_ridged(penalties[j]);
    if (!fs) return fail(std::move(fs.error()));
    out.f_inv_s[j] = std::move(*fs);
    s_lambda.add_scaled(penalties[j], lambdas[j]);
  }
  for (std::size_t a = 0; a < m; ++a) {
    out.s_lambda_dbeta[a] = matvec(s_lambda, f.dbeta[a]);
    out.xtwx_dbeta[a] = matvec(xtwx, f.dbeta[a]);
  }
  return {};
}

// A^-1 (lambda_a S_a dbeta_b + lambda_b S_b dbeta_a + [a = b] lambda_a S_a beta) for every
// pair a <= b, through one refined solve with a column per pair: minus the second
// derivatives of beta. Errors: those of the solve.
Result<Matrix> second_beta_derivatives(const RemlFirstOrder& f, const RidgedSolver& system,
                                       std::span<const double> lambdas,
                                       std::span<const Matrix> penalties) {
  const std::size_t m = lambdas.size(), p = f.beta.size();
  const std::size_t pairs = m * (m + 1) / 2;
  Matrix v(p, pairs);
  std::vector<Vector> s_beta(m);
  for (std::size_t a = 0; a < m; ++a) s_beta[a] = matvec(penalties[a], f.beta);
  for (std::size_t a = 0, col = 0; a < m; ++a) {
    for (std::size_t b = a; b < m; ++b, ++col) {
      const Vector sa_db = matvec(penalties[a], f.dbeta[b]);
      const Vector sb_da = matvec(penalties[b], f.dbeta[a]);
      for (std::size_t i = 0; i < p; ++i) {
        v(i, col) = lambdas[a] * sa_db[i] + lambdas[b] * sb_da[i];
        if (a == b) v(i, col) += lambdas[a] * s_beta[a][i];
      }
    }
  }
  return system.solve(v);
}

// The terms of Hessian entry (a, b), a <= b, whose pair is column `col` of t.d2beta.
EntryTerms hessian_entry(const RemlFirstOrder& f, const SecondOrderTerms& t,
                         std::span<const double> lambdas, std::size_t a, std::size_t b,
                         std::size_t col) {
  const bool same = a == b;
  EntryTerms e{};
  // Term 1: half the second derivative of ln|A + delta I|.
  e.t1a = -0.5 * lambdas[a] * lambdas[b] * trace_of_product(t.f_inv_s[a], t.f_inv_s[b]);
  if (same) e.t1b = 0.5 * lambdas[a] * f.trace[a];
  Vector d2beta = column(t.d2beta, col);
  for (double& x : d2beta) x = -x;

  // Weighted: (X dbeta_a)' W (X dbeta_b) - r' W X d2beta, both through cross products.
  e.d2rss = 2.0 * dot(f.dbeta[a], t.xtwx_dbeta[b]) - 2.0 * dot(f.xtwr, d2beta);
  e.d2phi = e.d2rss / f.n_minus_r;
  const double d2phi_rel = e.d2rss / f.rss;
  const double q = lambdas[b] * dot(f.st_beta[b], f.dbeta[a]) + dot(f.s_lambda_t_beta, d2beta) +
                   dot(f.dbeta[a], t.s_lambda_dbeta[b]);
  e.d2pen = e.d2rss + (same ? lambdas[a] * f.quad[a] : 0.0) +
            2.0 * lambdas[a] * dot(f.st_beta[a], f.dbeta[b]) + 2.0 * q;

  // Term 2: half the second derivative of (RSS + P) / phi; term 3: half the derivative of
  // (n - r) dphi_a / phi. Quotients by phi as ratios (see the header).
  const double pen_over_phi = f.pen_total / f.phi;
  const double ra = f.d_phi_rel[a], rb = f.d_phi_rel[b];
  e.t2a = 0.5 * e.d2pen / f.phi;
  e.t2b = -0.5 * (f.d_pen_total[a] * rb + f.d_pen_total[b] * ra) / f.phi;
  e.t2c = pen_over_phi * ra * rb;
  e.t2d = -0.5 * pen_over_phi * d2phi_rel;
  e.t3a = 0.5 * f.n_minus_r * d2phi_rel;
  e.t3b = -0.5 * f.n_minus_r * ra * rb;
  return e;
}

}  // namespace

Result<RemlFirstOrder> reml_first_order(const RidgedSolver& system,
                                        std::span<const double> lambdas,
                                        std::span<const Matrix> penalties,
                                        std::span<const Matrix> sqrt_penalties, Vector beta,
                                        const ResidualProducts& residuals, std::size_t n) {
  const std::size_t m = lambdas.size(), p = beta.size();
  RemlFirstOrder out;
  for (const Matrix& l : sqrt_penalties) out.rank += l.cols();
  out.n_minus_r = static_cast<double>(n) - static_cast<double>(out.rank);
  out.rss = residuals.rss;
  out.xtwr = residuals.xtwr;
  // Without residual degrees of freedom the scale is undefined: NaN, as the criterion
  // reports it, rather than a negative or infinite phi that would look like a value.
  out.phi = out.rank < n ? out.rss / out.n_minus_r : std::numeric_limits<double>::quiet_NaN();

  // S_i beta, S_i' beta, beta' S_i beta and S_lambda' beta, S_lambda beta.
  std::vector<Vector> s_beta(m);
  out.st_beta.resize(m);
  out.quad.resize(m);
  out.s_lambda_t_beta = Vector(p);
  Vector s_lambda_beta(p);
  double pen = 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    s_beta[j] = matvec(penalties[j], beta);
    out.st_beta[j] = matvec(penalties[j].t(), beta);
    out.quad[j] = dot(beta, s_beta[j]);
    pen += lambdas[j] * out.quad[j];
    for (std::size_t c = 0; c < p; ++c) {
      s_lambda_beta[c] += lambdas[j] * s_beta[j][c];
      out.s_lambda_t_beta[c] += lambdas[j] * out.st_beta[j][c];
    }
  }
  out.pen_total = out.rss + pen;

  // dbeta_i = -A^-1 lambda_i S_i beta for every i at once.
  Matrix rhs(p, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t c = 0; c < p; ++c) rhs(c, i) = lambdas[i] * s_beta[i][c];
  auto solved = system.solve(rhs);
  if (!solved) return fail(std::move(solved.error()));

  out.trace.resize(m);
  out.dbeta.resize(m);
  out.d_rss.resize(m);
  out.d_phi_rel.resize(m);
  out.d_pen_total.resize(m);
  out.gradient = Vector(m);
  const double pen_over_phi = out.pen_total / out.phi;
  for (std::size_t i = 0; i < m; ++i) {
    auto t = system.trace_with(sqrt_penalties[i]);
    if (!t) return fail(std::move(t.error()));
    out.trace[i] = *t;
    Vector db = column(*solved, i);
    for (double& v : db) v = -v;
    // The weights belong in this sum because RSS itself is weighted.
    out.d_rss[i] = -2.0 * dot(out.xtwr, db);
    out.d_phi_rel[i] = out.d_rss[i] / out.rss;
    out.d_pen_total[i] = out.d_rss[i] + lambdas[i] * out.quad[i] + dot(db, s_lambda_beta) +
                         dot(out.s_lambda_t_beta, db);
    out.dbeta[i] = std::move(db);
    const double r_i = static_cast<double>(sqrt_penalties[i].cols());
    out.gradient[i] = 0.5 * (lambdas[i] * out.trace[i] - r_i + out.d_pen_total[i] / out.phi -
                             pen_over_phi * out.d_phi_rel[i] + out.n_minus_r * out.d_phi_rel[i]);
  }
  out.beta = std::move(beta);
  return out;
}

Result<Matrix> reml_second_order(const RemlFirstOrder& f, const RidgedSolver& system,
                                 const Matrix& xtwx, std::span<const double> lambdas,
                                 std::span<const Matrix> penalties, bool trace) {
  const std::size_t m = lambdas.size();
  if (trace && diag::enabled(Switch::HessDebug)) {
    diag::print("[HESS_CORRECTED] RSS={:.6e}, phi={:.6e}, P={:.6e}\n",
                {f.rss, f.phi, f.pen_total});
    diag::print("[HESS_CORRECTED] total_rank={}, n-r={:.6}\n", {f.rank, f.n_minus_r});
  }
  SecondOrderTerms t;
  if (auto ok = first_derivative_products(f, system, xtwx, lambdas, penalties, t); !ok)
    return fail(std::move(ok.error()));
  auto d2 = second_beta_derivatives(f, system, lambdas, penalties);
  if (!d2) return fail(std::move(d2.error()));
  t.d2beta = std::move(*d2);

  Matrix h(m, m);
  for (std::size_t a = 0, col = 0; a < m; ++a) {
    for (std::size_t b = a; b < m; ++b, ++col) {
      const EntryTerms e = hessian_entry(f, t, lambdas, a, b, col);
      const double total = e.total();
      h(b, a) = total;
      if (a != b) h(a, b) = total;
      if ((a == b || (a == 0 && b == 1)) && trace && diag::enabled(Switch::HessDebug))
        trace_entry(a, b, e);
    }
  }
  if (trace && diag::enabled(Switch::HessDebug)) trace_matrix(h);
  return h;
}

}  // namespace velkan
