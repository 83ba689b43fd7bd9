// The criterion's pieces in the constrained parameterisation (see laplace.h). K
// coordinates: the free rho first, in penalty order, then psi. With B_k the rows and
// columns of penalty k's block, S_k beta and tr(H^-1 S_k) run over B_k only.
#include "engine/select/laplace.h"

#include <cmath>
#include <numbers>
#include <optional>

#include "diag/format.h"
#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

namespace {

// S_k x over the whole coefficient vector (zero outside penalty k's block).
Vector penalty_times(const terms::PenaltyBlock& pen, const Vector& x) {
  Vector out(x.size());
  const std::size_t q = pen.matrix.rows();
  for (std::size_t a = 0; a < q; ++a) {
    double acc = 0.0;
    for (std::size_t b = 0; b < q; ++b) acc += pen.matrix(a, b) * x[pen.offset + b];
    out[pen.offset + a] = acc;
  }
  return out;
}

// The shared state of one evaluation: H, its factor, lambda, S_k beta.
struct State {
  std::vector<terms::PenaltyBlock> penalties;
  std::vector<double> lambda;
  Matrix g;  // observed X'WX, constrained
  Matrix h;
  std::optional<SpdFactor> factor;
  std::vector<Vector> s_beta;  // S_j beta, every penalty
  std::size_t n_rho = 0;       // rho coordinates
  std::size_t k = 0;           // all coordinates
};

Status check_shapes(const LaplaceInput& in) {
  const std::size_t width = in.layout->width(), p = in.layout->coefficients();
  const std::size_t m = in.layout->penalties().size();
  if (in.sums->xtwx.rows() != width || in.beta_raw.size() != width || in.rho.size() != m ||
      in.free.size() != m || (!in.ridge.empty() && in.ridge.size() != p) ||
      (in.sums->correction.rows() != 0 && in.sums->correction.rows() != width) ||
      (in.parameter && in.sums->parameter.xg1.size() != width)) {
    return fail(GamError::dimension_mismatch(
        "the Laplace criterion's pass sums, coefficients or smoothing parameters do not match "
        "the layout"));
  }
  return {};
}

Result<State> build_state(const LaplaceInput& in, LaplacePoint& out) {
  const terms::ModelLayout& layout = *in.layout;
  State st;
  st.penalties = layout.constrained_penalties();
  const std::size_t m = st.penalties.size();
  for (std::size_t j = 0; j < m; ++j) {
    st.lambda.push_back(std::exp(in.rho[j]));
    if (in.free[j]) out.coordinates.push_back(j);
  }
  st.n_rho = out.coordinates.size();
  st.k = st.n_rho + (in.parameter ? 1 : 0);
  Matrix xtwx = in.sums->xtwx;
  if (in.sums->correction.rows() != 0) xtwx += in.sums->correction;
  st.g = layout.constrain(xtwx);
  st.h = st.g;
  const std::size_t p = st.h.rows();
  for (std::size_t i = 0; i < in.ridge.size(); ++i) st.h(i, i) += in.ridge[i];
  for (std::size_t j = 0; j < m; ++j) {
    const auto& pen = st.penalties[j];
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b)
        st.h(pen.offset + a, pen.offset + b) += st.lambda[j] * pen.matrix(a, b);
  }
  out.beta = layout.constrain(in.beta_raw.view());
  auto factor = SpdFactor::factor(st.h.view());
  if (factor) st.factor = std::move(*factor);
  for (std::size_t j = 0; j < m; ++j) st.s_beta.push_back(penalty_times(st.penalties[j], out.beta));
  (void)p;
  return st;
}

// The score at the point (out.defined false where it is undefined).
void score(const LaplaceInput& in, const State& st, LaplacePoint& out) {
  const std::size_t m = st.penalties.size();
  double quad = 0.0;
  for (std::size_t i = 0; i < in.ridge.size(); ++i) quad += in.ridge[i] * out.beta[i] * out.beta[i];
  for (std::size_t j = 0; j < m; ++j) quad += st.lambda[j] * dot(out.beta.view(), st.s_beta[j].view());
  out.deviance = in.sums->deviance;
  out.penalized_deviance = out.deviance + quad;
  out.log_det_h = st.factor->log_determinant();
  const double lds = in.layout->log_pseudo_determinant(in.rho.view()).value;
  const double nr = in.sums->rows - static_cast<double>(in.layout->null_space_dimension());
  const bool known = std::isfinite(in.known_scale) && in.known_scale > 0.0;
  double phi = known ? in.known_scale : 0.0;
  if (!known) {
    if (!(out.penalized_deviance > 0.0) || !(nr > 0.0)) return;
    phi = out.penalized_deviance / nr;
  }
  out.scale = phi;
  const double data = in.parameter ? -in.sums->parameter.loglik + 0.5 * quad
                                   : 0.5 * out.penalized_deviance / phi;
  out.score = data + 0.5 * (out.log_det_h - lds + nr * std::log(2.0 * std::numbers::pi * phi));
  out.defined = std::isfinite(out.score);
}

// d beta / d x_k and the derivative pass's request.
void first_order(const LaplaceInput& in, const State& st, LaplacePoint& out) {
  const std::size_t p = st.h.rows();
  out.h_inverse = st.factor->inverse();
  out.dbeta = Matrix(p, st.k);
  for (std::size_t c = 0; c < st.k; ++c) {
    Vector b(p);
    if (c < st.n_rho) {
      const std::size_t j = out.coordinates[c];
      for (std::size_t i = 0; i < p; ++i) b[i] = -st.lambda[j] * st.s_beta[j][i];
    } else {
      b = in.layout->constrain(in.sums->parameter.xg1.view());
    }
    const Vector d = st.factor->solve(b.view());
    for (std::size_t i = 0; i < p; ++i) out.dbeta(i, c) = d[i];
  }
  out.request.h_inverse = in.layout->expand(out.h_inverse);
  out.request.dbeta = Matrix(in.layout->width(), st.k);
  for (std::size_t c = 0; c < st.k; ++c) {
    Vector col(p);
    for (std::size_t i = 0; i < p; ++i) col[i] = out.dbeta(i, c);
    const Vector raw = in.layout->expand(col.view());
    for (std::size_t i = 0; i < raw.size(); ++i) out.request.dbeta(i, c) = raw[i];
  }
  out.request.parameter = in.parameter;
}

}  // namespace

Result<LaplacePoint> laplace_point(const LaplaceInput& in) {
  if (auto ok = check_shapes(in); !ok) return fail(ok.error());
  LaplacePoint out;
  auto st = build_state(in, out);
  if (!st) return fail(st.error());
  if (!st->factor) return out;  // H not positive definite: undefined here
  score(in, *st, out);
  if (!out.defined) return out;
  first_order(in, *st, out);
  return out;
}

namespace {

// dH_k as a dense matrix: the data part A_k (constrained) plus lambda_k S_k for a rho.
Matrix dh(const LaplaceInput& in, const State& st, const LaplacePoint& at,
          const passes::DerivativeSums& d, std::size_t c) {
  Matrix out = in.layout->constrain(d.a[c]);
  if (c < st.n_rho) {
    const std::size_t j = at.coordinates[c];
    const auto& pen = st.penalties[j];
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
      for (std::size_t b = 0; b < pen.matrix.rows(); ++b)
        out(pen.offset + a, pen.offset + b) += st.lambda[j] * pen.matrix(a, b);
  }
  return out;
}

Vector column(const Matrix& m, std::size_t c) {
  Vector v(m.rows());
  for (std::size_t i = 0; i < m.rows(); ++i) v[i] = m(i, c);
  return v;
}

// H^-1 (db_a/dx_b - dH_b d beta_a): the second derivative of beta^.
Vector second_beta(const LaplaceInput& in, const State& st, const LaplacePoint& at,
                   const std::vector<Matrix>& dhs, const passes::DerivativeSums& d,
                   std::size_t a, std::size_t b) {
  const std::size_t p = st.h.rows();
  const Vector dba = column(at.dbeta, a), dbb = column(at.dbeta, b);
  const Vector hb = matvec(dhs[b].view(), dba.view());
  Vector rhs(p);
  if (a < st.n_rho) {
    const std::size_t j = at.coordinates[a];
    const Vector sd = penalty_times(st.penalties[j], dbb);
    for (std::size_t i = 0; i < p; ++i) {
      rhs[i] = -st.lambda[j] * sd[i] - (a == b ? st.lambda[j] * st.s_beta[j][i] : 0.0);
    }
  } else {
    Vector ub(d.u.rows());
    for (std::size_t i = 0; i < ub.size(); ++i) ub[i] = d.u(i, b);
    const Vector uc = in.layout->constrain(ub.view());
    for (std::size_t i = 0; i < p; ++i) rhs[i] = -uc[i];
    if (b == a) {
      const Vector g2 = in.layout->constrain(in.sums->parameter.xg2.view());
      for (std::size_t i = 0; i < p; ++i) rhs[i] += g2[i];
    }
  }
  for (std::size_t i = 0; i < p; ++i) rhs[i] -= hb[i];
  return st.factor->solve(rhs.view());
}

double trace_product(const Matrix& a, const Matrix& b) {
  double t = 0.0;
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) t += a(i, j) * b(j, i);
  return t;
}

// tr(H^-1 S_j) over penalty j's block.
double penalty_trace(const State& st, const Matrix& hinv, std::size_t j) {
  const auto& pen = st.penalties[j];
  double t = 0.0;
  for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
    for (std::size_t b = 0; b < pen.matrix.rows(); ++b) t += hinv(pen.offset + a, pen.offset + b) * pen.matrix(b, a);
  return t;
}

// lambda_j beta'S_j beta and lambda_j tr(H^-1 S_j) per rho coordinate, and the gradient:
// its data part is the derivative pass's t alone.
struct GradientParts {
  std::vector<double> quad, trs;
  Vector gradient;
};

GradientParts gradient_parts(const LaplaceInput& in, const State& st, const LaplacePoint& at,
                             const passes::DerivativeSums& d, const Vector& lds_gradient) {
  const std::size_t k = st.k;
  GradientParts g{std::vector<double>(k, 0.0), std::vector<double>(k, 0.0), Vector(k)};
  for (std::size_t c = 0; c < st.n_rho; ++c) {
    const std::size_t j = at.coordinates[c];
    g.quad[c] = st.lambda[j] * dot(at.beta.view(), st.s_beta[j].view());
    g.trs[c] = st.lambda[j] * penalty_trace(st, at.h_inverse, j);
    g.gradient[c] = 0.5 * (g.quad[c] / at.scale + g.trs[c] + d.t[c] - lds_gradient[j]);
  }
  if (in.parameter) g.gradient[k - 1] = -in.sums->parameter.l1 + 0.5 * d.t[k - 1];
  return g;
}

}  // namespace

Result<Vector> laplace_gradient(const LaplaceInput& in, const LaplacePoint& at,
                                const passes::DerivativeSums& d) {
  if (auto ok = check_shapes(in); !ok) return fail(ok.error());
  LaplacePoint scratch;
  auto built = build_state(in, scratch);
  if (!built) return fail(built.error());
  const State& st = *built;
  if (!at.defined || !st.factor || d.t.size() != st.k) {
    return fail(GamError::dimension_mismatch(diag::format(
        "the derivative sums do not match the criterion's {} coordinates", st.k)));
  }
  const auto lds = in.layout->log_pseudo_determinant(in.rho.view());
  return gradient_parts(in, st, at, d, lds.gradient).gradient;
}

Result<LaplaceDerivatives> laplace_derivatives(const LaplaceInput& in, const LaplacePoint& at,
                                               const passes::DerivativeSums& d) {
  if (auto ok = check_shapes(in); !ok) return fail(ok.error());
  LaplacePoint scratch;
  auto built = build_state(in, scratch);
  if (!built) return fail(built.error());
  const State& st = *built;
  const std::size_t k = st.k, width = in.layout->width();
  if (!d.hessian) {
    return fail(GamError::dimension_mismatch("the derivative pass was made for the gradient alone"));
  }
  if (!at.defined || !st.factor || d.a.size() != k || d.v.size() != width || d.q.rows() != k ||
      d.u.rows() != width) {
    return fail(GamError::dimension_mismatch(diag::format(
        "the derivative sums do not match the criterion's {} coordinates", k)));
  }
  const auto lds = in.layout->log_pseudo_determinant(in.rho.view());
  const double phi = at.scale;
  const bool known = std::isfinite(in.known_scale) && in.known_scale > 0.0;
  const double nr = in.sums->rows - static_cast<double>(in.layout->null_space_dimension());
  const Vector vc = in.layout->constrain(d.v.view());
  std::vector<Matrix> dhs, ms;
  for (std::size_t c = 0; c < k; ++c) {
    dhs.push_back(dh(in, st, at, d, c));
    ms.push_back(matmul(at.h_inverse.view(), dhs.back().view()));
  }
  auto parts = gradient_parts(in, st, at, d, lds.gradient);
  const std::vector<double>& quad = parts.quad;
  const std::vector<double>& trs = parts.trs;
  LaplaceDerivatives out{std::move(parts.gradient), Matrix(k, k)};
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      const Vector dba = column(at.dbeta, a), dbb = column(at.dbeta, b);
      const Vector hdb = matvec(st.h.view(), dbb.view());
      double v = -dot(dba.view(), hdb.view()) / phi;  // the fit's part
      const Vector d2b = second_beta(in, st, at, dhs, d, a, b);
      double logdet = d.q(a, b) + dot(vc.view(), d2b.view()) - trace_product(ms[a], ms[b]);
      if (in.parameter && a == k - 1) logdet += d.r[b];
      if (in.parameter && b == k - 1) logdet += d.r[a];
      if (in.parameter && a == k - 1 && b == k - 1) {
        logdet += d.s;
        v -= in.sums->parameter.l2;
      }
      if (a < st.n_rho && b < st.n_rho) {
        v -= 0.5 * lds.hessian(at.coordinates[a], at.coordinates[b]);
        if (a == b) {
          v += 0.5 * quad[a] / phi;
          logdet += trs[a];
        }
        if (!known) v -= 0.5 * nr * quad[a] * quad[b] / (at.penalized_deviance * at.penalized_deviance);
      }
      out.hessian(a, b) = out.hessian(b, a) = v + 0.5 * logdet;
    }
  }
  return out;
}

}  // namespace velkan::select
