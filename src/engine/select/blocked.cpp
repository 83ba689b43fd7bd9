#include "engine/select/blocked.h"

#include <cmath>
#include <algorithm>
#include <numbers>
#include <vector>

#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

BlockSystem::BlockSystem(const WorkingProblem& wp, VectorView rho)
    : wp_(wp), p_(wp.xtwx.rows()), o_(wp.sparse->offset), q_(wp.sparse->size()),
      b_(wp.sparse->block), groups_(wp.sparse->groups), pd_(p_ - q_) {
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    lambda.push_back(std::exp(rho[j]));
    const auto& pen = wp.penalties[j];
    const bool sparse = pen.offset == o_ && pen.repeat * pen.matrix.rows() == q_;
    place_.push_back({sparse, sparse ? 0 : (pen.offset < o_ ? pen.offset : pen.offset - q_)});
  }
}

bool BlockSystem::factor() {
  // H_dd and each group's A_g.
  Matrix hdd(pd_, pd_);
  for (std::size_t a = 0; a < pd_; ++a) {
    for (std::size_t c = 0; c < pd_; ++c) hdd(a, c) = wp_.xtwx(full(a), full(c));
    hdd(a, a) += ridge(full(a));
  }
  for (std::size_t j = 0; j < place_.size(); ++j) {
    if (place_[j].sparse) continue;
    const std::size_t f = place_[j].first;
    for (std::size_t a = 0; a < pen(j).rows(); ++a)
      for (std::size_t c = 0; c < pen(j).rows(); ++c) hdd(f + a, f + c) += lambda[j] * pen(j)(a, c);
  }
  ainv_.assign(groups_, Matrix());
  k_.assign(groups_, Matrix());
  log_det_ = 0.0;
  Matrix ag(b_, b_);
  for (std::size_t g = 0; g < groups_; ++g) {
    const std::size_t s0 = o_ + g * b_;
    for (std::size_t a = 0; a < b_; ++a) {
      for (std::size_t c = 0; c < b_; ++c) ag(a, c) = wp_.xtwx(s0 + a, s0 + c);
      ag(a, a) += ridge(s0 + a);
    }
    for (std::size_t j = 0; j < place_.size(); ++j)
      if (place_[j].sparse) {
        for (std::size_t a = 0; a < b_; ++a)
          for (std::size_t c = 0; c < b_; ++c) ag(a, c) += lambda[j] * pen(j)(a, c);
      }
    auto f = SpdFactor::factor(ag.view());
    if (!f) return false;
    log_det_ += f->log_determinant();
    ainv_[g] = f->inverse();
    // K_g = A_g^-1 H_sd,g, and C -= H_ds,g K_g.
    Matrix hsd(b_, pd_);
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < pd_; ++c) hsd(a, c) = wp_.xtwx(s0 + a, full(c));
    k_[g] = matmul(ainv_[g].view(), hsd.view());
    for (std::size_t a = 0; a < pd_; ++a)
      for (std::size_t c = 0; c < pd_; ++c) {
        double acc = 0.0;
        for (std::size_t x = 0; x < b_; ++x) acc += hsd(x, a) * k_[g](x, c);
        hdd(a, c) -= acc;
      }
  }
  for (std::size_t a = 0; a < pd_; ++a)
    for (std::size_t c = 0; c < a; ++c) hdd(a, c) = hdd(c, a) = 0.5 * (hdd(a, c) + hdd(c, a));
  if (pd_ > 0) {
    auto c = SpdFactor::factor(hdd.view());
    if (!c) return false;
    log_det_ += c->log_determinant();
    cinv_ = c->inverse();
  }
  return true;
}

Vector BlockSystem::solve(const Vector& y) const {
  Vector x(p_), rd(pd_), xd(pd_);
  std::vector<double> z(q_);
  for (std::size_t a = 0; a < pd_; ++a) rd[a] = y[full(a)];
  for (std::size_t g = 0; g < groups_; ++g) {
    const std::size_t s0 = o_ + g * b_;
    for (std::size_t a = 0; a < b_; ++a) {
      double acc = 0.0;
      for (std::size_t c = 0; c < b_; ++c) acc += ainv_[g](a, c) * y[s0 + c];
      z[g * b_ + a] = acc;
    }
    // r_d -= H_ds,g z_g, with H_ds,g = (A_g K_g)' read from G.
    for (std::size_t c = 0; c < pd_; ++c) {
      double acc = 0.0;
      for (std::size_t a = 0; a < b_; ++a) acc += wp_.xtwx(s0 + a, full(c)) * z[g * b_ + a];
      rd[c] -= acc;
    }
  }
  for (std::size_t a = 0; a < pd_; ++a) {
    double acc = 0.0;
    for (std::size_t c = 0; c < pd_; ++c) acc += cinv_(a, c) * rd[c];
    xd[a] = acc;
    x[full(a)] = acc;
  }
  for (std::size_t g = 0; g < groups_; ++g)
    for (std::size_t a = 0; a < b_; ++a) {
      double acc = z[g * b_ + a];
      for (std::size_t c = 0; c < pd_; ++c) acc -= k_[g](a, c) * xd[c];
      x[o_ + g * b_ + a] = acc;
    }
  return x;
}

Vector BlockSystem::penalty_times(std::size_t j, const Vector& x) const {
  Vector out(p_);
  const Matrix& s = pen(j);
  const std::size_t reps = place_[j].sparse ? groups_ : 1;
  const std::size_t base = wp_.penalties[j].offset;
  for (std::size_t r = 0; r < reps; ++r)
    for (std::size_t a = 0; a < s.rows(); ++a) {
      double acc = 0.0;
      for (std::size_t c = 0; c < s.rows(); ++c) acc += s(a, c) * x[base + r * s.rows() + c];
      out[base + r * s.rows() + a] = acc;
    }
  return out;
}

void BlockSystem::prepare_traces() {
  m_.assign(place_.size(), Matrix());
  cmc_.assign(place_.size(), Matrix());
  for (std::size_t j = 0; j < place_.size(); ++j) {
    if (!place_[j].sparse) continue;
    Matrix m(pd_, pd_);
    for (std::size_t g = 0; g < groups_; ++g) {
      const Matrix pk = matmul(pen(j).view(), k_[g].view());  // b x p_d
      for (std::size_t a = 0; a < pd_; ++a)
        for (std::size_t c = 0; c < pd_; ++c) {
          double acc = 0.0;
          for (std::size_t x = 0; x < b_; ++x) acc += k_[g](x, a) * pk(x, c);
          m(a, c) += acc;
        }
    }
    cmc_[j] = matmul(matmul(cinv_.view(), m.view()).view(), cinv_.view());
    m_[j] = std::move(m);
  }
}

double BlockSystem::trace_h_s(std::size_t j) const {
  const Matrix& s = pen(j);
  double t = 0.0;
  if (!place_[j].sparse) {
    const std::size_t f = place_[j].first;
    for (std::size_t a = 0; a < s.rows(); ++a)
      for (std::size_t c = 0; c < s.rows(); ++c) t += cinv_(f + a, f + c) * s(c, a);
    return t;
  }
  // sum_g tr(A_g^-1 P) + tr(C^-1 M_j).
  for (std::size_t g = 0; g < groups_; ++g)
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < b_; ++c) t += ainv_[g](a, c) * s(c, a);
  for (std::size_t a = 0; a < pd_; ++a)
    for (std::size_t c = 0; c < pd_; ++c) t += cinv_(a, c) * m_[j](c, a);
  return t;
}

double BlockSystem::trace_h_s_h_s(std::size_t j, std::size_t k) const {
  if (place_[j].sparse && !place_[k].sparse) return trace_h_s_h_s(k, j);
  const Matrix &sj = pen(j), &sk = pen(k);
  double t = 0.0;
  if (!place_[j].sparse) {
    const std::size_t fj = place_[j].first;
    if (!place_[k].sparse) {
      // tr(C^-1[B_k,B_j] S_j C^-1[B_j,B_k] S_k)
      const std::size_t fk = place_[k].first;
      const std::size_t qj = sj.rows(), qk = sk.rows();
      Matrix left(qk, qj), right(qj, qk);  // C^-1[B_k,B_j] S_j and C^-1[B_j,B_k] S_k
      for (std::size_t a = 0; a < qk; ++a)
        for (std::size_t c = 0; c < qj; ++c) {
          double acc = 0.0;
          for (std::size_t x = 0; x < qj; ++x) acc += cinv_(fk + a, fj + x) * sj(x, c);
          left(a, c) = acc;
        }
      for (std::size_t a = 0; a < qj; ++a)
        for (std::size_t c = 0; c < qk; ++c) {
          double acc = 0.0;
          for (std::size_t x = 0; x < qk; ++x) acc += cinv_(fj + a, fk + x) * sk(x, c);
          right(a, c) = acc;
        }
      for (std::size_t a = 0; a < qk; ++a)
        for (std::size_t c = 0; c < qj; ++c) t += left(a, c) * right(c, a);
      return t;
    }
    // j dense, k sparse: tr(S_j (C^-1 M_k C^-1)[B_j, B_j]).
    for (std::size_t a = 0; a < sj.rows(); ++a)
      for (std::size_t c = 0; c < sj.rows(); ++c) t += sj(a, c) * cmc_[k](fj + c, fj + a);
    return t;
  }
  // Both on the sparse block.
  Matrix qjk(pd_, pd_), qkj(pd_, pd_);
  for (std::size_t g = 0; g < groups_; ++g) {
    const Matrix aj = matmul(ainv_[g].view(), sj.view()), ak = matmul(ainv_[g].view(), sk.view());
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < b_; ++c) t += aj(a, c) * ak(c, a);
    // P_j A^-1 P_k K_g and P_k A^-1 P_j K_g (b x p_d), then K_g' times them.
    const Matrix pj_k = matmul(matmul(sj.view(), ak.view()).view(), k_[g].view());
    const Matrix pk_j = matmul(matmul(sk.view(), aj.view()).view(), k_[g].view());
    for (std::size_t a = 0; a < pd_; ++a)
      for (std::size_t c = 0; c < pd_; ++c) {
        double x1 = 0.0, x2 = 0.0;
        for (std::size_t x = 0; x < b_; ++x) {
          x1 += k_[g](x, a) * pj_k(x, c);
          x2 += k_[g](x, a) * pk_j(x, c);
        }
        qjk(a, c) += x1;
        qkj(a, c) += x2;
      }
  }
  for (std::size_t a = 0; a < pd_; ++a)
    for (std::size_t c = 0; c < pd_; ++c) {
      t += cinv_(a, c) * (qjk(c, a) + qkj(c, a));
      t += cmc_[j](a, c) * m_[k](c, a);
    }
  return t;
}

Matrix BlockSystem::dense_penalty() const {
  Matrix sdd(pd_, pd_);
  for (std::size_t a = 0; a < pd_; ++a) sdd(a, a) = ridge(full(a));
  for (std::size_t j = 0; j < place_.size(); ++j) {
    if (place_[j].sparse) continue;
    const std::size_t f = place_[j].first;
    for (std::size_t a = 0; a < pen(j).rows(); ++a)
      for (std::size_t c = 0; c < pen(j).rows(); ++c) sdd(f + a, f + c) += lambda[j] * pen(j)(a, c);
  }
  return sdd;
}

Matrix BlockSystem::group_penalty(std::size_t g) const {
  const std::size_t s0 = o_ + g * b_;
  Matrix sg(b_, b_);
  for (std::size_t a = 0; a < b_; ++a) sg(a, a) = ridge(s0 + a);
  for (std::size_t j = 0; j < place_.size(); ++j)
    if (place_[j].sparse) {
      for (std::size_t a = 0; a < b_; ++a)
        for (std::size_t c = 0; c < b_; ++c) sg(a, c) += lambda[j] * pen(j)(a, c);
    }
  return sg;
}

Vector BlockSystem::edf_per_coefficient() const {
  Vector edf(p_);
  // Dense: 1 - (C^-1 S~_dd)_ii.
  const Matrix sdd = dense_penalty();
  for (std::size_t a = 0; a < pd_; ++a) {
    double acc = 0.0;
    for (std::size_t c = 0; c < pd_; ++c) acc += cinv_(a, c) * sdd(c, a);
    edf[full(a)] = 1.0 - acc;
  }
  // Sparse: 1 - (W_g S~_g)_ii, W_g = A_g^-1 + K_g C^-1 K_g'.
  for (std::size_t g = 0; g < groups_; ++g) {
    const std::size_t s0 = o_ + g * b_;
    const Matrix sg = group_penalty(g);
    const Matrix kc = matmul(k_[g].view(), cinv_.view());  // b x p_d
    for (std::size_t a = 0; a < b_; ++a) {
      double acc = 0.0;
      for (std::size_t c = 0; c < b_; ++c) {
        double w = ainv_[g](a, c);
        for (std::size_t x = 0; x < pd_; ++x) w += kc(a, x) * k_[g](c, x);
        acc += w * sg(c, a);
      }
      edf[s0 + a] = 1.0 - acc;
    }
  }
  return edf;
}

void BlockSystem::add_vmv(const Matrix& m, Matrix& out) const {
  // V = [I; -K]: dd += M, sd -= K M, ss += K M K'.
  Matrix km(q_, pd_), kall(q_, pd_);
  for (std::size_t g = 0; g < groups_; ++g)
    for (std::size_t x = 0; x < b_; ++x)
      for (std::size_t c = 0; c < pd_; ++c) kall(g * b_ + x, c) = k_[g](x, c);
  if (pd_ > 0) km = matmul(kall.view(), m.view());
  for (std::size_t a = 0; a < pd_; ++a)
    for (std::size_t c = 0; c < pd_; ++c) out(full(a), full(c)) += m(a, c);
  for (std::size_t i = 0; i < q_; ++i)
    for (std::size_t c = 0; c < pd_; ++c) {
      out(o_ + i, full(c)) -= km(i, c);
      out(full(c), o_ + i) -= km(i, c);
    }
  if (pd_ > 0) {
    const Matrix kmk = matmul(km.view(), kall.t());
    for (std::size_t i = 0; i < q_; ++i)
      for (std::size_t j = 0; j < q_; ++j) out(o_ + i, o_ + j) += kmk(i, j);
  }
}

void BlockSystem::add_fv(const Matrix& f, Matrix& out) const {
  // F V' + V F' with V' = [I, -K']: column c of d gets F(:, c), column (g, y) of s gets
  // -F K_g(y, :)'.
  Matrix kall(q_, pd_);
  for (std::size_t g = 0; g < groups_; ++g)
    for (std::size_t x = 0; x < b_; ++x)
      for (std::size_t c = 0; c < pd_; ++c) kall(g * b_ + x, c) = k_[g](x, c);
  Matrix fk(p_, q_);
  if (pd_ > 0) fk = matmul(f.view(), kall.t());
  for (std::size_t i = 0; i < p_; ++i) {
    for (std::size_t c = 0; c < pd_; ++c) {
      out(i, full(c)) += f(i, c);
      out(full(c), i) += f(i, c);
    }
    for (std::size_t j = 0; j < q_; ++j) {
      out(i, o_ + j) -= fk(i, j);
      out(o_ + j, i) -= fk(i, j);
    }
  }
}

Matrix BlockSystem::inverse() const {
  Matrix out(p_, p_);
  for (std::size_t g = 0; g < groups_; ++g)
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < b_; ++c) out(o_ + g * b_ + a, o_ + g * b_ + c) = ainv_[g](a, c);
  add_vmv(cinv_, out);
  return out;
}

Matrix BlockSystem::inverse_penalty_inverse() const {
  Matrix out(p_, p_);
  Matrix f(p_, pd_), r = dense_penalty();
  for (std::size_t g = 0; g < groups_; ++g) {
    const std::size_t s0 = o_ + g * b_;
    const Matrix sg = group_penalty(g);
    const Matrix as = matmul(ainv_[g].view(), sg.view());
    const Matrix b = matmul(as.view(), ainv_[g].view());
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < b_; ++c) out(s0 + a, s0 + c) += b(a, c);
    // E_g C^-1 with E_g = -A_g^-1 S~_g K_g, and K_g' S~_g K_g into R's middle.
    const Matrix e = matmul(as.view(), k_[g].view());
    const Matrix ec = pd_ > 0 ? matmul(e.view(), cinv_.view()) : Matrix(b_, 0);
    for (std::size_t a = 0; a < b_; ++a)
      for (std::size_t c = 0; c < pd_; ++c) f(s0 + a, c) = -ec(a, c);
    const Matrix sk = matmul(sg.view(), k_[g].view());
    for (std::size_t a = 0; a < pd_; ++a)
      for (std::size_t c = 0; c < pd_; ++c) {
        double acc = 0.0;
        for (std::size_t x = 0; x < b_; ++x) acc += k_[g](x, a) * sk(x, c);
        r(a, c) += acc;
      }
  }
  if (pd_ > 0) {
    add_fv(f, out);
    add_vmv(matmul(matmul(cinv_.view(), r.view()).view(), cinv_.view()), out);
  }
  return out;
}

namespace {

// G x read through its structure: the dense rows in full, each group's rows over the dense
// columns and its own block only (G is zero between groups).
Vector structured_times(const WorkingProblem& wp, const Vector& x) {
  const std::size_t p = wp.xtwx.rows(), o = wp.sparse->offset, q = wp.sparse->size(), b = wp.sparse->block;
  Vector y(p);
  auto dense_row = [&](std::size_t i, std::size_t lo, std::size_t hi) {
    const double* row = wp.xtwx.row_ptr(i);
    double acc = 0.0;
    for (std::size_t c = lo; c < hi; ++c) acc += row[c] * x[c];
    return acc;
  };
  for (std::size_t i = 0; i < p; ++i) {
    if (i < o || i >= o + q) {
      y[i] = dense_row(i, 0, p);
      continue;
    }
    const std::size_t g0 = o + ((i - o) / b) * b;
    y[i] = dense_row(i, 0, o) + dense_row(i, g0, g0 + b) + dense_row(i, o + q, p);
  }
  return y;
}

}  // namespace

Result<Evaluation> evaluate_blocked(const WorkingProblem& wp, double known_scale, VectorView rho,
                                    int order) {
  const std::size_t p = wp.xtwx.rows(), m = wp.penalties.size();
  const bool scale_known = std::isfinite(known_scale) && known_scale > 0.0;
  Evaluation ev;
  BlockSystem h(wp, rho);
  if (!h.factor()) return ev;
  ev.solved = true;
  Vector rhs = structured_times(wp, wp.beta0);
  for (std::size_t i = 0; i < p; ++i) rhs[i] += wp.xtwt[i];
  ev.beta = h.solve(rhs);
  Vector delta(p);
  for (std::size_t i = 0; i < p; ++i) delta[i] = ev.beta[i] - wp.beta0[i];
  const Vector g_delta = structured_times(wp, delta);
  ev.deviance = wp.ttwt - 2.0 * dot(delta.view(), wp.xtwt.view()) + dot(delta.view(), g_delta.view());
  std::vector<Vector> s_beta(m);
  std::vector<double> quad(m);
  double penalty = 0.0;
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) penalty += wp.ridge[i] * ev.beta[i] * ev.beta[i];
  for (std::size_t j = 0; j < m; ++j) {
    s_beta[j] = h.penalty_times(j, ev.beta);
    quad[j] = dot(s_beta[j].view(), ev.beta.view());
    penalty += h.lambda[j] * quad[j];
  }
  ev.penalized_deviance = ev.deviance + penalty;
  ev.log_det_h = h.log_det();
  const terms::LogDeterminant lds = wp.log_det_penalty(rho);
  const double nr = wp.rows - static_cast<double>(wp.null_space_dimension);
  double phi = known_scale;
  if (!scale_known) {
    ev.saturated = !(nr > 0.0);
    if (ev.saturated) {
      // The caller's message reports the edf of such a fit.
      h.prepare_traces();
      ev.edf_per_coefficient = h.edf_per_coefficient();
      for (double v : ev.edf_per_coefficient) ev.edf += v;
    }
    if (!(ev.penalized_deviance > 0.0) || ev.saturated) return ev;
    phi = ev.penalized_deviance / nr;
  }
  ev.scale = phi;
  ev.score = 0.5 * (ev.penalized_deviance / phi + ev.log_det_h - lds.value +
                    nr * std::log(2.0 * std::numbers::pi * phi));
  if (!std::isfinite(ev.score)) return ev;
  ev.defined = true;
  if (order < 1) return ev;
  h.prepare_traces();
  ev.edf_per_coefficient = h.edf_per_coefficient();
  for (double v : ev.edf_per_coefficient) ev.edf += v;
  std::vector<double> tr(m), dp(m);
  ev.gradient = Vector(m);
  for (std::size_t j = 0; j < m; ++j) {
    tr[j] = h.lambda[j] * h.trace_h_s(j);
    dp[j] = h.lambda[j] * quad[j];
    ev.gradient[j] = 0.5 * (dp[j] / phi + tr[j] - lds.gradient[j]);
  }
  if (order < 2) return ev;
  std::vector<Vector> u(m);
  for (std::size_t k = 0; k < m; ++k) u[k] = h.solve(s_beta[k]);
  ev.hessian = Matrix(m, m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t k = 0; k <= j; ++k) {
      const double ljk = h.lambda[j] * h.lambda[k];
      double d2dp = -2.0 * ljk * dot(s_beta[j].view(), u[k].view());
      double d2h = -ljk * h.trace_h_s_h_s(j, k);
      if (j == k) {
        d2dp += dp[j];
        d2h += tr[j];
      }
      double v = 0.5 * (d2dp / phi + d2h - lds.hessian(j, k));
      if (!scale_known) v -= 0.5 * nr * (dp[j] / ev.penalized_deviance) * (dp[k] / ev.penalized_deviance);
      ev.hessian(j, k) = ev.hessian(k, j) = v;
    }
  return ev;
}

Result<std::vector<std::size_t>> blocked_undetermined(const WorkingProblem& wp, VectorView rho,
                                                      double tolerance) {
  const std::size_t p = wp.xtwx.rows(), o = wp.sparse->offset, q = wp.sparse->size(),
                    b = wp.sparse->block, pd = p - q;
  std::vector<double> lambda(wp.penalties.size());
  for (std::size_t j = 0; j < lambda.size(); ++j) lambda[j] = std::exp(rho[j]);
  auto full = [&](std::size_t i) { return i < o ? i : i + q; };
  std::vector<std::size_t> out;
  // Each group's block, ridged where it is singular, then the Schur complement.
  Matrix c(pd, pd);
  for (std::size_t a = 0; a < pd; ++a)
    for (std::size_t x = 0; x < pd; ++x) c(a, x) = wp.xtwx(full(a), full(x));
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    const auto& pen = wp.penalties[j];
    if (pen.offset == o && pen.repeat * pen.matrix.rows() == q) continue;
    const std::size_t f = pen.offset < o ? pen.offset : pen.offset - q;
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a)
      for (std::size_t x = 0; x < pen.matrix.rows(); ++x) c(f + a, f + x) += lambda[j] * pen.matrix(a, x);
  }
  Matrix ag(b, b);
  for (std::size_t g = 0; g < wp.sparse->groups; ++g) {
    const std::size_t s0 = o + g * b;
    double dmax = 0.0;
    for (std::size_t a = 0; a < b; ++a)
      for (std::size_t x = 0; x < b; ++x) ag(a, x) = wp.xtwx(s0 + a, s0 + x);
    for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
      const auto& pen = wp.penalties[j];
      if (!(pen.offset == o && pen.repeat * pen.matrix.rows() == q)) continue;
      for (std::size_t a = 0; a < b; ++a)
        for (std::size_t x = 0; x < b; ++x) ag(a, x) += lambda[j] * pen.matrix(a, x);
    }
    for (std::size_t a = 0; a < b; ++a) dmax = std::max(dmax, ag(a, a));
    auto rank = pivoted_rank(ag.view(), tolerance);
    if (!rank) return fail(GamError::linalg_error("rank check failed: " + rank.error().debug()));
    for (std::size_t r = rank->rank; r < b; ++r) {
      out.push_back(s0 + rank->order[r]);
      ag(rank->order[r], rank->order[r]) += (dmax > 0.0 ? dmax : 1.0);
    }
    auto f = SpdFactor::factor(ag.view());
    if (!f) return fail(GamError::linalg_error("a group's cross products are not positive definite"));
    const Matrix ainv = f->inverse();
    Matrix hsd(b, pd);
    for (std::size_t a = 0; a < b; ++a)
      for (std::size_t x = 0; x < pd; ++x) hsd(a, x) = wp.xtwx(s0 + a, full(x));
    const Matrix kg = matmul(ainv.view(), hsd.view());
    for (std::size_t a = 0; a < pd; ++a)
      for (std::size_t x = 0; x < pd; ++x) {
        double acc = 0.0;
        for (std::size_t y = 0; y < b; ++y) acc += hsd(y, a) * kg(y, x);
        c(a, x) -= acc;
      }
  }
  if (pd > 0) {
    auto rank = pivoted_rank(c.view(), tolerance);
    if (!rank) return fail(GamError::linalg_error("rank check failed: " + rank.error().debug()));
    for (std::size_t r = rank->rank; r < pd; ++r) out.push_back(full(rank->order[r]));
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace velkan::select
