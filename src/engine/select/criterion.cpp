// Derivatives of the criteria (K_j = H^-1 S_j, u_j = H^-1 S_j beta, so that
// d beta / d rho_j = -lambda_j u_j):
//
//   ln|H|:  first  lambda_j tr(K_j)
//           second delta_jk lambda_j tr(K_j) - lambda_j lambda_k tr(K_j K_k)
//   D_p:    first  lambda_j beta'S_j beta                (beta minimises D_p)
//           second delta_jk lambda_j beta'S_j beta - 2 lambda_j lambda_k (S_j beta)'u_k
//   D:      first  2 lambda_j (S~ beta)'u_j              (S~ = ridge + S_lambda)
//           second 2 lambda_j lambda_k u_k'G u_j + 2 delta_jk lambda_j (S~ beta)'u_j
//                  - 2 lambda_j lambda_k (v'S_k u_j + v'S_j u_k),  v = H^-1 S~ beta
//   tau:    first  -lambda_j tr(S_j M),                  M = H^-1 G H^-1
//           second delta_jk tau_j + 2 lambda_j lambda_k tr(S_j H^-1 S_k M)
//
// Every S_j is non-zero on its own block only, so each trace and product runs over block
// entries: O(p q^2) per penalty with q the block size.
#include "engine/select/criterion.h"

#include "engine/select/blocked.h"

#include <cmath>
#include <numbers>
#include <optional>

#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

namespace {

struct Block {
  std::size_t o;  // offset
  std::size_t q;  // size
  const Matrix* s;
  const Matrix* root;  // root' root = s
};

// E x[o..o+q) with E the block's penalty root.
Vector root_times(const Block& b, const Vector& x) {
  Vector y(b.root->rows());
  for (std::size_t a = 0; a < y.size(); ++a) {
    double acc = 0.0;
    const double* row = b.root->row_ptr(a);
    for (std::size_t c = 0; c < b.q; ++c) acc += row[c] * x[b.o + c];
    y[a] = acc;
  }
  return y;
}

// S x[o..o+q) = E'(E x), which keeps the digits of a vector close to the null space.
Vector block_times(const Block& b, const Vector& ex) {
  Vector y(b.q);
  for (std::size_t a = 0; a < b.root->rows(); ++a) {
    const double* row = b.root->row_ptr(a);
    for (std::size_t c = 0; c < b.q; ++c) y[c] += row[c] * ex[a];
  }
  return y;
}

// The penalized fit at rho, and the pieces of it every derivative reuses.
struct Solve {
  std::vector<Block> blocks;
  std::vector<double> lambda;
  std::optional<SpdFactor> factor;
  std::vector<Vector> s_beta;  // S_j beta over block j
  std::vector<double> quad;    // beta'S_j beta = |E_j beta|^2
  Vector s_tilde_beta;         // (ridge + S_lambda) beta
};

// H = G + ridge + sum_j lambda_j S_j, factorised; false when it is not positive definite.
bool factor_h(const WorkingProblem& wp, VectorView rho, Solve& s) {
  const std::size_t m = wp.penalties.size();
  s.blocks.resize(m);
  s.lambda.resize(m);
  Matrix h = wp.xtwx;
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) h(i, i) += wp.ridge[i];
  for (std::size_t j = 0; j < m; ++j) {
    const auto& pen = wp.penalties[j];
    s.blocks[j] = {pen.offset, pen.matrix.rows(), &pen.matrix, &pen.root};
    s.lambda[j] = std::exp(rho[j]);
    for (std::size_t a = 0; a < s.blocks[j].q; ++a)
      for (std::size_t b = 0; b < s.blocks[j].q; ++b) h(pen.offset + a, pen.offset + b) += s.lambda[j] * pen.matrix(a, b);
  }
  auto factor = SpdFactor::factor(h.view());
  if (!factor) return false;
  s.factor = std::move(*factor);
  return true;
}

// beta = H^-1 (r + G beta0), the working and penalized deviances, and S_j beta.
void solve_beta(const WorkingProblem& wp, Solve& s, Evaluation& ev) {
  const std::size_t p = wp.xtwx.rows();
  const std::size_t m = wp.penalties.size();
  Vector b = Vector::from(wp.xtwt);
  {
    const Vector gb0 = matvec(wp.xtwx.view(), wp.beta0.view());
    for (std::size_t i = 0; i < p; ++i) b[i] += gb0[i];
  }
  ev.beta = s.factor->solve(b.view());
  Vector delta(p);
  for (std::size_t i = 0; i < p; ++i) delta[i] = ev.beta[i] - wp.beta0[i];
  const Vector g_delta = matvec(wp.xtwx.view(), delta.view());
  ev.deviance = wp.ttwt - 2.0 * dot(delta.view(), wp.xtwt.view()) + dot(delta.view(), g_delta.view());

  s.s_beta.assign(m, Vector());
  s.quad.assign(m, 0.0);
  s.s_tilde_beta = Vector(p);
  double penalty = 0.0;
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) {
    s.s_tilde_beta[i] = wp.ridge[i] * ev.beta[i];
    penalty += wp.ridge[i] * ev.beta[i] * ev.beta[i];
  }
  for (std::size_t j = 0; j < m; ++j) {
    const Vector eb = root_times(s.blocks[j], ev.beta);
    s.quad[j] = dot(eb.view(), eb.view());
    penalty += s.lambda[j] * s.quad[j];
    s.s_beta[j] = block_times(s.blocks[j], eb);
    for (std::size_t a = 0; a < s.blocks[j].q; ++a) s.s_tilde_beta[s.blocks[j].o + a] += s.lambda[j] * s.s_beta[j][a];
  }
  ev.penalized_deviance = ev.deviance + penalty;
  ev.log_det_h = s.factor->log_determinant();
}

// H^-1 and the effective degrees of freedom diag(H^-1 G).
void add_inverse(const WorkingProblem& wp, const Solve& s, Evaluation& ev) {
  const std::size_t p = wp.xtwx.rows();
  ev.h_inverse = s.factor->inverse();
  ev.edf_per_coefficient = Vector(p);
  for (std::size_t i = 0; i < p; ++i) {
    double f = 0.0;
    for (std::size_t k = 0; k < p; ++k) f += ev.h_inverse(i, k) * wp.xtwx(k, i);
    ev.edf_per_coefficient[i] = f;
    ev.edf += f;
  }
}

// The score at the solve; false where the criterion is undefined. `phi` receives the
// scale the score uses and `lds` ln|S_lambda|_+ (REML).
bool score(const WorkingProblem& wp, Criterion criterion, double known_scale, bool scale_known,
           VectorView rho, Evaluation& ev, double& phi, terms::LogDeterminant& lds) {
  const double n = wp.rows;
  const double nr = n - static_cast<double>(wp.null_space_dimension);
  phi = known_scale;
  switch (criterion) {
    case Criterion::Reml: {
      lds = wp.log_det_penalty(rho);
      if (!scale_known) {
        ev.saturated = !(nr > 0.0);
        if (!(ev.penalized_deviance > 0.0) || ev.saturated) return false;
        phi = ev.penalized_deviance / nr;
      }
      ev.scale = phi;
      ev.score = 0.5 * (ev.penalized_deviance / phi + ev.log_det_h - lds.value +
                        nr * std::log(2.0 * std::numbers::pi * phi));
      break;
    }
    case Criterion::Gcv: {
      const double t = n - ev.edf;
      ev.saturated = !(t > kSaturatedShare * n);
      if (ev.saturated) return false;
      ev.score = n * ev.deviance / (t * t);
      ev.scale = ev.deviance / t;
      break;
    }
    case Criterion::Ubre: {
      ev.score = ev.deviance / n - phi + 2.0 * phi * ev.edf / n;
      ev.scale = phi;
      break;
    }
  }
  return std::isfinite(ev.score);
}

// First derivatives of the pieces: u_j = H^-1 S_j beta, tr_j = lambda_j tr(H^-1 S_j),
// dp_j = lambda_j beta'S_j beta; for GCV / UBRE also dd_j (of D), dtau_j (of tau) and
// M = H^-1 G H^-1.
struct FirstOrder {
  std::vector<Vector> u;
  std::vector<double> tr, dp, dd, dtau;
  Matrix mmat;
};

FirstOrder first_order(const WorkingProblem& wp, const Solve& s, const Evaluation& ev,
                       Criterion criterion) {
  const std::size_t p = wp.xtwx.rows();
  const std::size_t m = wp.penalties.size();
  const Matrix& hinv = ev.h_inverse;
  FirstOrder f{std::vector<Vector>(m), std::vector<double>(m), std::vector<double>(m),
               std::vector<double>(m), std::vector<double>(m), Matrix()};
  for (std::size_t j = 0; j < m; ++j) {
    const Block& bj = s.blocks[j];
    f.u[j] = Vector(p);
    for (std::size_t i = 0; i < p; ++i) {
      double acc = 0.0;
      for (std::size_t a = 0; a < bj.q; ++a) acc += hinv(i, bj.o + a) * s.s_beta[j][a];
      f.u[j][i] = acc;
    }
    double t = 0.0;
    for (std::size_t a = 0; a < bj.q; ++a)
      for (std::size_t c = 0; c < bj.q; ++c) t += hinv(bj.o + a, bj.o + c) * (*bj.s)(c, a);
    f.tr[j] = s.lambda[j] * t;
    f.dp[j] = s.lambda[j] * s.quad[j];
  }
  if (criterion != Criterion::Reml) {
    f.mmat = matmul(matmul(hinv.view(), wp.xtwx.view()).view(), hinv.view());
    for (std::size_t j = 0; j < m; ++j) {
      const Block& bj = s.blocks[j];
      f.dd[j] = 2.0 * s.lambda[j] * dot(s.s_tilde_beta.view(), f.u[j].view());
      double t = 0.0;
      for (std::size_t a = 0; a < bj.q; ++a)
        for (std::size_t c = 0; c < bj.q; ++c) t += (*bj.s)(a, c) * f.mmat(bj.o + c, bj.o + a);
      f.dtau[j] = -s.lambda[j] * t;
    }
  }
  return f;
}

void gradient(const WorkingProblem& wp, Criterion criterion, double phi,
              const terms::LogDeterminant& lds, const FirstOrder& f, Evaluation& ev) {
  const std::size_t m = wp.penalties.size();
  const double n = wp.rows;
  ev.gradient = Vector(m);
  const double tgcv = n - ev.edf;
  for (std::size_t j = 0; j < m; ++j) {
    switch (criterion) {
      case Criterion::Reml:
        ev.gradient[j] = 0.5 * (f.dp[j] / phi + f.tr[j] - lds.gradient[j]);
        break;
      case Criterion::Gcv:
        ev.gradient[j] = n * f.dd[j] / (tgcv * tgcv) + 2.0 * n * ev.deviance * f.dtau[j] / (tgcv * tgcv * tgcv);
        break;
      case Criterion::Ubre:
        ev.gradient[j] = f.dd[j] / n + 2.0 * phi * f.dtau[j] / n;
        break;
    }
  }
  // With the scale estimated, phi = D_p / (n - M) moves with rho; the score's derivative
  // through phi vanishes at this phi (it is the minimiser), so the gradient above stands.
}

// P_j = H^-1[:, B_j] S_j  (p x q_j)
std::vector<Matrix> penalty_products(const Solve& s, const Matrix& hinv, std::size_t p) {
  std::vector<Matrix> pm(s.blocks.size());
  for (std::size_t j = 0; j < s.blocks.size(); ++j) {
    const Block& bj = s.blocks[j];
    pm[j] = Matrix(p, bj.q);
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t c = 0; c < bj.q; ++c) {
        double acc = 0.0;
        for (std::size_t a = 0; a < bj.q; ++a) acc += hinv(i, bj.o + a) * (*bj.s)(a, c);
        pm[j](i, c) = acc;
      }
  }
  return pm;
}

void reml_hessian(const WorkingProblem& wp, const Solve& s, const FirstOrder& f,
                  const std::vector<Matrix>& pm, double phi, bool scale_known,
                  const terms::LogDeterminant& lds, Evaluation& ev) {
  const std::size_t m = wp.penalties.size();
  const auto& blocks = s.blocks;
  // tr(K_j K_k) = sum over a in B_k, b in B_j of P_j[o_k + a, b] P_k[o_j + b, a]
  auto trace_kk = [&](std::size_t j, std::size_t k) {
    const Block &bj = blocks[j], &bk = blocks[k];
    double t = 0.0;
    for (std::size_t a = 0; a < bk.q; ++a)
      for (std::size_t b = 0; b < bj.q; ++b) t += pm[j](bk.o + a, b) * pm[k](bj.o + b, a);
    return t;
  };
  for (std::size_t j = 0; j < m; ++j) {
    for (std::size_t k = 0; k <= j; ++k) {
      const double ljk = s.lambda[j] * s.lambda[k];
      double sbu = 0.0;  // (S_j beta)'u_k
      for (std::size_t a = 0; a < blocks[j].q; ++a) sbu += s.s_beta[j][a] * f.u[k][blocks[j].o + a];
      double d2dp = -2.0 * ljk * sbu;
      double d2h = -ljk * trace_kk(j, k);
      if (j == k) {
        d2dp += f.dp[j];
        d2h += f.tr[j];
      }
      const double v = 0.5 * (d2dp / phi + d2h - lds.hessian(j, k));
      ev.hessian(j, k) = v;
      ev.hessian(k, j) = v;
    }
  }
  if (!scale_known) {
    // Profiling phi adds -(n - M)/2 (dD_p_j dD_p_k) / D_p^2: the derivative of
    // (n - M) ln D_p / 2 beyond the term kept at fixed phi.
    const double nr = wp.rows - static_cast<double>(wp.null_space_dimension);
    const double dpen = ev.penalized_deviance;
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t k = 0; k < m; ++k) ev.hessian(j, k) -= 0.5 * nr * (f.dp[j] / dpen) * (f.dp[k] / dpen);
  }
}

void residual_hessian(const WorkingProblem& wp, const Solve& s, const FirstOrder& f,
                      const std::vector<Matrix>& pm, Criterion criterion, double phi,
                      Evaluation& ev) {
  const std::size_t m = wp.penalties.size();
  const double n = wp.rows;
  const double tgcv = n - ev.edf;
  const auto& blocks = s.blocks;
  const Vector v = s.factor->solve(s.s_tilde_beta.view());
  std::vector<Vector> gu(m);
  for (std::size_t j = 0; j < m; ++j) gu[j] = matvec(wp.xtwx.view(), f.u[j].view());
  auto quad_block = [&](std::size_t k, const Vector& left, const Vector& right) {
    // left[B_k]' S_k right[B_k]
    const Block& bk = blocks[k];
    double t = 0.0;
    for (std::size_t a = 0; a < bk.q; ++a) {
      double row = 0.0;
      for (std::size_t c = 0; c < bk.q; ++c) row += (*bk.s)(a, c) * right[bk.o + c];
      t += left[bk.o + a] * row;
    }
    return t;
  };
  for (std::size_t j = 0; j < m; ++j) {
    const Block& bj = blocks[j];
    for (std::size_t k = 0; k <= j; ++k) {
      const Block& bk = blocks[k];
      const double ljk = s.lambda[j] * s.lambda[k];
      double d2d = 2.0 * ljk * dot(f.u[k].view(), gu[j].view()) -
                   2.0 * ljk * (quad_block(k, v, f.u[j]) + quad_block(j, v, f.u[k]));
      // tr(S_j H^-1 S_k M) = sum_{a,b in B_j} S_j[a,b] (P_k M[B_k, :])[o_j + b, o_j + a]
      double t = 0.0;
      for (std::size_t a = 0; a < bj.q; ++a)
        for (std::size_t b2 = 0; b2 < bj.q; ++b2) {
          double pmm = 0.0;
          for (std::size_t c = 0; c < bk.q; ++c) pmm += pm[k](bj.o + b2, c) * f.mmat(bk.o + c, bj.o + a);
          t += (*bj.s)(a, b2) * pmm;
        }
      double d2tau = 2.0 * ljk * t;
      if (j == k) {
        d2d += 2.0 * s.lambda[j] * dot(s.s_tilde_beta.view(), f.u[j].view());
        d2tau += f.dtau[j];
      }
      double value = 0.0;
      if (criterion == Criterion::Gcv) {
        const double t2 = tgcv * tgcv, t3 = t2 * tgcv, t4 = t3 * tgcv;
        value = n * d2d / t2 + 2.0 * n * (f.dd[j] * f.dtau[k] + f.dd[k] * f.dtau[j]) / t3 +
                2.0 * n * ev.deviance * d2tau / t3 + 6.0 * n * ev.deviance * f.dtau[j] * f.dtau[k] / t4;
      } else {
        value = d2d / n + 2.0 * phi * d2tau / n;
      }
      ev.hessian(j, k) = value;
      ev.hessian(k, j) = value;
    }
  }
}

}  // namespace

Result<Evaluation> evaluate(const WorkingProblem& wp, Criterion criterion, double known_scale,
                            VectorView rho, int order) {
  const std::size_t m = wp.penalties.size();
  if (rho.size != m) {
    return fail(GamError::dimension_mismatch("one log smoothing parameter per penalty is needed"));
  }
  const bool scale_known = std::isfinite(known_scale) && known_scale > 0.0;
  if (criterion == Criterion::Ubre && !scale_known) {
    return fail(GamError::invalid_parameter("UBRE needs a known scale"));
  }
  if (wp.sparse) {
    if (criterion != Criterion::Reml) {
      return fail(GamError::invalid_parameter("block elimination serves REML only"));
    }
    return evaluate_blocked(wp, known_scale, rho, order);
  }
  Evaluation ev;
  Solve s;
  if (!factor_h(wp, rho, s)) return ev;  // not positive definite: undefined here
  ev.solved = true;
  solve_beta(wp, s, ev);
  if (order >= 1 || criterion != Criterion::Reml) add_inverse(wp, s, ev);
  double phi = known_scale;
  terms::LogDeterminant lds;
  if (!score(wp, criterion, known_scale, scale_known, rho, ev, phi, lds)) return ev;
  ev.defined = true;
  if (order < 1) return ev;
  const FirstOrder f = first_order(wp, s, ev, criterion);
  gradient(wp, criterion, phi, lds, f, ev);
  if (order < 2) return ev;
  const auto pm = penalty_products(s, ev.h_inverse, wp.xtwx.rows());
  ev.hessian = Matrix(m, m);
  if (criterion == Criterion::Reml) {
    reml_hessian(wp, s, f, pm, phi, scale_known, lds, ev);
  } else {
    residual_hessian(wp, s, f, pm, criterion, phi, ev);
  }
  return ev;
}

}  // namespace velkan::select
