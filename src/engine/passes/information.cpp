#include "engine/passes/information.h"

#include <cmath>

#include "linalg/lapack.h"

namespace velkan::passes {

namespace {

using lapack::lapack_int;

void rank_update(std::size_t p, std::size_t count, const double* rows, double* c) {
  if (count == 0) return;
  const auto pi = static_cast<lapack_int>(p);
  const auto ki = static_cast<lapack_int>(count);
  const double one = 1.0;
  const char uplo = 'U', trans = 'N';
  // Row-major count x p rows are the column-major p x count matrix A; C += A A'.
  lapack::scipy_dsyrk_(&uplo, &trans, &pi, &ki, &one, rows, &pi, &one, c, &pi, 1, 1);
}

// out (p) += X' v for the block's rows (count x stride, p used).
void add_transpose_times(const double* rows, std::size_t stride, std::size_t count,
                         std::size_t p, const double* v, Vector& out) {
  for (std::size_t i = 0; i < count; ++i) {
    const double vi = v[i];
    if (vi == 0.0) continue;
    const double* row = rows + i * stride;
    for (std::size_t j = 0; j < p; ++j) out[j] += row[j] * vi;
  }
}

// out (count x m, row-major) = X M for the block's rows and a p x m matrix M.
void times_matrix(const double* rows, std::size_t stride, std::size_t count, std::size_t p,
                  const Matrix& m, std::vector<double>& out) {
  const std::size_t cols = m.cols();
  out.assign(count * cols, 0.0);
  if (count == 0 || cols == 0) return;
  const auto mi = static_cast<lapack_int>(cols), ni = static_cast<lapack_int>(count);
  const auto ki = static_cast<lapack_int>(p), lda = static_cast<lapack_int>(cols);
  const auto ldb = static_cast<lapack_int>(stride);
  const double one = 1.0, zero = 0.0;
  const char no = 'N';
  // Column-major view: out' (m x count) = M' (m x p) X' (p x count); M' is M row-major.
  lapack::scipy_dgemm_(&no, &no, &mi, &ni, &ki, &one, m.data(), &lda, rows, &ldb, &zero,
                       out.data(), &mi, 1, 1);
}

// h (count) = the quadratic forms x_i'B x_i of the block's rows, from `half` (p x p,
// column-major): B's lower triangle with its diagonal halved, so that x'Bx = 2 x'Lx. The
// triangular product costs half the flops of X B, and this is the largest product of a
// derivative pass; `work` holds a copy of the rows.
void quadratic_forms(const double* rows, std::size_t stride, std::size_t count, std::size_t p,
                     const std::vector<double>& half, std::vector<double>& work, double* h) {
  if (count == 0) return;
  work.resize(count * p);
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t j = 0; j < p; ++j) work[i * p + j] = rows[i * stride + j];
  const auto pi = static_cast<lapack_int>(p), ni = static_cast<lapack_int>(count);
  const double one = 1.0;
  const char left = 'L', lower = 'L', no = 'N', non_unit = 'N';
  // The row-major rows are the column-major p x count matrix X'; in place, column i
  // becomes L x_i.
  lapack::scipy_dtrmm_(&left, &lower, &no, &non_unit, &pi, &ni, &one, half.data(), &pi, work.data(), &pi,
                       1, 1, 1, 1);
  for (std::size_t i = 0; i < count; ++i) {
    const double* row = rows + i * stride;
    const double* lx = work.data() + i * p;
    double v = 0.0;
    for (std::size_t j = 0; j < p; ++j) v += row[j] * lx[j];
    h[i] = 2.0 * v;
  }
}

}  // namespace

void SignedGram::reset(std::size_t p, std::size_t block) {
  p_ = p;
  pos_.assign(p * p, 0.0);
  neg_.assign(p * p, 0.0);
  pos_rows_.resize(block * p);
  neg_rows_.resize(block * p);
}

void SignedGram::add(const double* rows, std::size_t stride, std::size_t count, const double* c) {
  std::size_t np = 0, nn = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (c[i] == 0.0) continue;
    const double s = std::sqrt(std::abs(c[i]));
    double* dst = c[i] > 0.0 ? &pos_rows_[np++ * p_] : &neg_rows_[nn++ * p_];
    const double* row = rows + i * stride;
    for (std::size_t j = 0; j < p_; ++j) dst[j] = s * row[j];
  }
  rank_update(p_, np, pos_rows_.data(), pos_.data());
  rank_update(p_, nn, neg_rows_.data(), neg_.data());
}

void SignedGram::add_to(Matrix& out) const {
  for (std::size_t j = 0; j < p_; ++j)
    for (std::size_t i = 0; i <= j; ++i) {
      const double v = pos_[i + j * p_] - neg_[i + j * p_];
      out(i, j) += v;
      if (i != j) out(j, i) += v;
    }
}

InformationSums::InformationSums(const families::ResponseModel& model, const PassOptions& options,
                                 std::size_t block, std::size_t p)
    : model_(model), options_(options), p_(p) {
  const bool derivatives = options.derivatives != nullptr;
  if (options.observed_information || derivatives) {
    observed_ = options.observed_information && model.newton_weights_positive();
    correct_ = options.observed_information && !observed_;
    order_ = derivatives ? (options.derivatives->hessian ? 2 : 1) : 0;
    for (auto* v : {&score_, &wn_, &dw_, &d2w_, &diff_}) v->resize(block);
    if (correct_) correction_.reset(p, block);
  }
  if (options.parameter_sums || (derivatives && options.derivatives->parameter)) {
    for (auto* v : {&loglik_, &l1_, &l2_, &g1_, &g2_, &w1_, &w2_, &weta_}) v->resize(block);
    parameter_.xg1 = Vector(p);
    parameter_.xg2 = Vector(p);
  }
  if (options.profile_scale > 0.0) {
    for (auto* v : {&logd_, &pd1_, &pd2_}) v->resize(block);
  }
  if (derivatives) {
    k_ = options.derivatives->dbeta.cols();
    const Matrix& b = options.derivatives->h_inverse;
    half_.assign(p * p, 0.0);
    for (std::size_t j = 0; j < p; ++j) {
      half_[j + j * p] = 0.5 * b(j, j);
      for (std::size_t i = j + 1; i < p; ++i) half_[i + j * p] = 0.5 * (b(i, j) + b(j, i));
    }
    h_.resize(block);
    c_.resize(block);
    a_.resize(k_);  // left empty (adding nothing) for the gradient alone
    if (options.derivatives->hessian)
      for (auto& g : a_) g.reset(p, block);
    derivatives_.t = Vector(k_);
    derivatives_.v = Vector(p);
    derivatives_.q = Matrix(k_, k_);
    derivatives_.r = Vector(k_);
    derivatives_.u = Matrix(p, k_);
    derivatives_.hessian = options.derivatives->hessian;
  }
}

void InformationSums::add_block(const BlockInput& in, double* weight, double* residual) {
  if (!score_.empty()) add_newton(in, weight, residual);
  if (!loglik_.empty()) add_parameter(in);
  if (!logd_.empty()) add_profile(in);
  if (k_ > 0) add_derivatives(in);
}

void InformationSums::add_newton(const BlockInput& in, double* weight, double* residual) {
  const std::size_t n = in.family.count;
  model_.newton(in.family, {score_.data(), wn_.data(), dw_.data(), d2w_.data()}, order_);
  if (observed_) {
    // A full Newton step: working residual g / w (the weights are positive here).
    for (std::size_t i = 0; i < n; ++i) {
      weight[i] = wn_[i];
      residual[i] = wn_[i] > 0.0 ? score_[i] / wn_[i] : 0.0;
    }
  } else if (correct_) {
    for (std::size_t i = 0; i < n; ++i) diff_[i] = wn_[i] - weight[i];
    correction_.add(in.rows, in.stride, n, diff_.data());
  }
}

void InformationSums::add_parameter(const BlockInput& in) {
  const std::size_t n = in.family.count;
  model_.family().parameter_rows(model_, in.family,
                                 {loglik_.data(), l1_.data(), l2_.data(), g1_.data(), g2_.data(),
                                  w1_.data(), w2_.data(), weta_.data()});
  for (std::size_t i = 0; i < n; ++i) {
    parameter_.loglik += loglik_[i];
    parameter_.l1 += l1_[i];
    parameter_.l2 += l2_[i];
  }
  add_transpose_times(in.rows, in.stride, n, p_, g1_.data(), parameter_.xg1);
  add_transpose_times(in.rows, in.stride, n, p_, g2_.data(), parameter_.xg2);
}

void InformationSums::add_profile(const BlockInput& in) {
  const std::size_t n = in.family.count;
  model_.family().profile_rows(model_, in.family, options_.profile_scale,
                               {logd_.data(), pd1_.data(), pd2_.data()});
  for (std::size_t i = 0; i < n; ++i) {
    profile_.log_density += logd_[i];
    profile_.d1 += pd1_[i];
    profile_.d2 += pd2_[i];
  }
}

// h_i = x_i'B x_i from X B, and e_ik = x_i' d beta_k; then every sum of DerivativeSums.
void InformationSums::add_derivatives(const BlockInput& in) {
  const std::size_t n = in.family.count, k = k_;
  const DerivativeRequest& req = *options_.derivatives;
  quadratic_forms(in.rows, in.stride, n, p_, half_, hx_, h_.data());
  times_matrix(in.rows, in.stride, n, p_, req.dbeta, e_);
  const std::size_t last = req.parameter ? k - 1 : k;
  if (!req.hessian) {
    for (std::size_t a = 0; a < k; ++a)
      for (std::size_t i = 0; i < n; ++i)
        derivatives_.t[a] += h_[i] * (dw_[i] * e_[i * k + a] + (a == last ? w1_[i] : 0.0));
    return;
  }
  for (std::size_t i = 0; i < n; ++i) diff_[i] = dw_[i] * h_[i];  // w' h, for v
  add_transpose_times(in.rows, in.stride, n, p_, diff_.data(), derivatives_.v);
  for (std::size_t a = 0; a < k; ++a) {
    for (std::size_t i = 0; i < n; ++i) {
      const double e = e_[i * k + a];
      c_[i] = dw_[i] * e + (a == last ? w1_[i] : 0.0);
      derivatives_.t[a] += h_[i] * c_[i];
      for (std::size_t b = 0; b <= a; ++b) derivatives_.q(a, b) += h_[i] * d2w_[i] * e * e_[i * k + b];
      if (req.parameter) {
        derivatives_.r[a] += h_[i] * weta_[i] * e;
        const double* row = in.rows + i * in.stride;
        const double f = w1_[i] * e;
        for (std::size_t j = 0; j < p_; ++j) derivatives_.u(j, a) += row[j] * f;
      }
    }
    a_[a].add(in.rows, in.stride, n, c_.data());
  }
  if (req.parameter) {
    for (std::size_t i = 0; i < n; ++i) derivatives_.s += h_[i] * w2_[i];
  }
}

void InformationSums::add_to(PassSums& out) const {
  out.observed = out.observed || observed_ || correct_;
  if (correct_) {
    if (out.correction.rows() != p_) out.correction = Matrix(p_, p_);
    correction_.add_to(out.correction);
  }
  if (!loglik_.empty()) {
    if (out.parameter.xg1.size() != p_) out.parameter = ParameterSums{0.0, 0.0, 0.0, Vector(p_), Vector(p_)};
    out.parameter.add(parameter_);
  }
  if (!logd_.empty()) out.profile.add(profile_);
  if (k_ > 0) {
    DerivativeSums& d = out.derivatives;
    if (d.a.size() != k_) {
      d = DerivativeSums{std::vector<Matrix>(k_, Matrix(p_, p_)), Vector(k_), Vector(p_),
                         Matrix(k_, k_), Vector(k_), 0.0, Matrix(p_, k_), derivatives_.hessian};
    }
    DerivativeSums mine = derivatives_;
    mine.a.assign(k_, Matrix(p_, p_));
    for (std::size_t a = 0; a < k_; ++a) a_[a].add_to(mine.a[a]);
    for (std::size_t a = 0; a < k_; ++a)
      for (std::size_t b = 0; b < a; ++b) mine.q(b, a) = mine.q(a, b);
    d.add(mine);
  }
}

void ParameterSums::add(const ParameterSums& o) {
  loglik += o.loglik;
  l1 += o.l1;
  l2 += o.l2;
  if (xg1.size() != o.xg1.size()) {
    xg1 = Vector(o.xg1.size());
    xg2 = Vector(o.xg2.size());
  }
  for (std::size_t j = 0; j < o.xg1.size(); ++j) xg1[j] += o.xg1[j];
  for (std::size_t j = 0; j < o.xg2.size(); ++j) xg2[j] += o.xg2[j];
}

void ProfileSums::add(const ProfileSums& o) {
  log_density += o.log_density;
  d1 += o.d1;
  d2 += o.d2;
}

void DerivativeSums::add(const DerivativeSums& o) {
  if (o.a.empty()) return;
  if (a.empty()) {
    *this = o;
    return;
  }
  for (std::size_t k = 0; k < a.size(); ++k) a[k] += o.a[k];
  for (std::size_t k = 0; k < t.size(); ++k) t[k] += o.t[k], r[k] += o.r[k];
  for (std::size_t j = 0; j < v.size(); ++j) v[j] += o.v[j];
  q += o.q;
  u += o.u;
  s += o.s;
  hessian = hessian && o.hessian;
}

}  // namespace velkan::passes
