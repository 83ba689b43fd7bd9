#include "engine/select/shape.h"

#include <algorithm>
#include <cmath>

#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "linalg/spd_factor.h"

namespace velkan::select {

namespace {

// Relative size below which a constraint value counts as zero.
constexpr double kFeasibility = 1e-10;
// Eigenvalues of a projected penalty below this fraction of its largest are zero.
constexpr double kRankTolerance = 1e-9;

Matrix project(const Matrix& n, const Matrix& a) {  // N'AN
  return matmul(matmul(n.t(), a.view()).view(), n.view());
}

// The minimiser of beta'H beta / 2 - b'beta over beta = N theta.
Result<Vector> subspace_minimiser(const Matrix& h, const Vector& b, const Matrix& n) {
  if (n.cols() == 0) return Vector(h.rows());
  auto f = SpdFactor::factor(project(n, h).view());
  if (!f) return fail(GamError::linalg_error("the constrained fit's cross products are not positive definite"));
  const Vector nb = matvec(n.t(), b.view());
  const Vector theta = f->solve(nb.view());
  return matvec(n.view(), theta.view());
}

}  // namespace

Result<Matrix> active_null_basis(const Matrix& a, const std::vector<bool>& active) {
  const std::size_t p = a.cols();
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < active.size(); ++i)
    if (active[i]) rows.push_back(i);
  if (rows.empty()) return Matrix::identity(p);
  // The projector onto the complement of the active rows' span, and its unit eigenvectors.
  Matrix at(p, rows.size());
  for (std::size_t c = 0; c < rows.size(); ++c)
    for (std::size_t i = 0; i < p; ++i) at(i, c) = a(rows[c], i);
  auto f = qr(at.view());
  if (!f) return fail(GamError::linalg_error("QR decomposition failed: " + f.error().debug()));
  Matrix proj = Matrix::identity(p);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t c = 0; c < rows.size(); ++c) proj(i, j) -= f->q(i, c) * f->q(j, c);
  auto eig = symmetric_eigen(proj.view());
  if (!eig) return fail(GamError::linalg_error("eigen-decomposition failed: " + eig.error().debug()));
  std::size_t keep = 0;
  while (keep < p && eig->values[p - 1 - keep] > 0.5) ++keep;
  Matrix n(p, keep);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t c = 0; c < keep; ++c) n(i, c) = eig->vectors(i, p - keep + c);
  return n;
}

Result<ShapeSolution> solve_shape_qp(const Matrix& h, const Vector& b, const Matrix& a) {
  const std::size_t r = a.rows();
  ShapeSolution s{Vector(h.rows()), std::vector<bool>(r, true)};
  double scale = 0.0;
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) scale = std::max(scale, std::abs(a(i, j)));
  for (std::size_t sweep = 0; sweep < kActiveSetSweeps * (r + 1); ++sweep) {
    auto n = active_null_basis(a, s.active);
    if (!n) return fail(n.error());
    auto target = subspace_minimiser(h, b, *n);
    if (!target) return fail(target.error());
    const Vector av = matvec(a.view(), target->view()), a0 = matvec(a.view(), s.beta.view());
    double bmax = 0.0;
    for (double v : *target) bmax = std::max(bmax, std::abs(v));
    const double tol = kFeasibility * scale * std::max(bmax, 1e-300);
    // Step toward the target until the first inactive constraint would be violated.
    double alpha = 1.0;
    std::size_t blocking = r;
    for (std::size_t i = 0; i < r; ++i) {
      if (s.active[i] || av[i] >= -tol) continue;
      const double t = a0[i] / (a0[i] - av[i]);
      if (t < alpha) {
        alpha = t;
        blocking = i;
      }
    }
    for (std::size_t j = 0; j < s.beta.size(); ++j) s.beta[j] += alpha * ((*target)[j] - s.beta[j]);
    if (blocking < r) {
      s.active[blocking] = true;
      continue;
    }
    // At the subspace minimiser: the multipliers of the active rows, from the gradient
    // H beta - b = A_W' mu by least squares; a negative one's constraint is released.
    Vector grad = matvec(h.view(), s.beta.view());
    for (std::size_t j = 0; j < grad.size(); ++j) grad[j] -= b[j];
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < r; ++i)
      if (s.active[i]) rows.push_back(i);
    if (rows.empty()) return s;
    Matrix aw(rows.size(), a.cols());
    for (std::size_t c = 0; c < rows.size(); ++c)
      for (std::size_t j = 0; j < a.cols(); ++j) aw(c, j) = a(rows[c], j);
    auto gram = SpdFactor::factor(matmul(aw.view(), aw.t()).view());
    if (!gram) return fail(GamError::linalg_error("the active constraint rows are dependent"));
    const Vector mu = gram->solve(matvec(aw.view(), grad.view()).view());
    std::size_t worst = rows.size();
    double most = 0.0;
    double gscale = 0.0;
    for (double v : grad) gscale = std::max(gscale, std::abs(v));
    for (std::size_t c = 0; c < rows.size(); ++c) {
      if (mu[c] < most && mu[c] < -kFeasibility * std::max(gscale, 1e-300)) {
        most = mu[c];
        worst = c;
      }
    }
    if (worst == rows.size()) return s;
    s.active[rows[worst]] = false;
  }
  return fail(GamError::optimization_failed("the shape-constrained fit did not settle its active set"));
}

Matrix penalized_matrix(const WorkingProblem& wp, VectorView rho) {
  Matrix h = wp.xtwx;
  for (std::size_t i = 0; i < wp.ridge.size(); ++i) h(i, i) += wp.ridge[i];
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    const auto& pen = wp.penalties[j];
    const double lambda = std::exp(rho[j]);
    const std::size_t b = pen.matrix.rows();
    for (std::size_t r = 0; r < pen.repeat; ++r)
      for (std::size_t a = 0; a < b; ++a)
        for (std::size_t c = 0; c < b; ++c) h(pen.offset + r * b + a, pen.offset + r * b + c) += lambda * pen.matrix(a, c);
  }
  return h;
}

Vector penalized_rhs(const WorkingProblem& wp) {
  Vector b = matvec(wp.xtwx.view(), wp.beta0.view());
  for (std::size_t i = 0; i < b.size(); ++i) b[i] += wp.xtwt[i];
  return b;
}

namespace {

std::size_t numerical_rank(const Matrix& s) {
  auto eig = symmetric_eigen(s.view());
  if (!eig || s.rows() == 0) return 0;
  const double top = std::max(eig->values[s.rows() - 1], 0.0);
  std::size_t rank = 0;
  for (double v : eig->values) rank += v > kRankTolerance * top ? 1 : 0;
  return rank;
}

}  // namespace

// Penalties become N'S_j N over the whole coefficient vector (N is the identity outside
// the constrained blocks, so the others keep their blocks); the deviance pieces follow
// from beta - beta0 = N(theta - theta0) - e with theta0 = N'beta0 and e = beta0 - N theta0.
WorkingProblem restricted_problem(const WorkingProblem& wp, const Matrix& n,
                                  const terms::ModelLayout& layout) {
  WorkingProblem out;
  out.xtwx = project(n, wp.xtwx);
  out.beta0 = matvec(n.t(), wp.beta0.view());
  const Vector back = matvec(n.view(), out.beta0.view());
  Vector e(back.size());
  for (std::size_t i = 0; i < e.size(); ++i) e[i] = wp.beta0[i] - back[i];
  const Vector ge = matvec(wp.xtwx.view(), e.view());
  Vector rge(e.size());
  for (std::size_t i = 0; i < e.size(); ++i) rge[i] = wp.xtwt[i] + ge[i];
  out.xtwt = matvec(n.t(), rge.view());
  out.ttwt = wp.ttwt + 2.0 * dot(e.view(), wp.xtwt.view()) + dot(e.view(), ge.view());
  out.rows = wp.rows;
  if (wp.ridge.size() != 0) {
    Matrix r(wp.ridge.size(), wp.ridge.size());
    for (std::size_t i = 0; i < wp.ridge.size(); ++i) r(i, i) = wp.ridge[i];
    const Matrix pr = project(n, r);
    out.ridge = Vector(pr.rows());
    for (std::size_t i = 0; i < pr.rows(); ++i) out.ridge[i] = pr(i, i);
  }
  // Each penalty as a full block over theta, and the change of its rank.
  std::vector<double> rank_change(wp.penalties.size(), 0.0);
  std::size_t null_change = 0;
  const std::size_t p = wp.xtwx.rows(), q = n.cols();
  for (std::size_t j = 0; j < wp.penalties.size(); ++j) {
    const auto& pen = wp.penalties[j];
    Matrix full(p, p), root(pen.root.rows(), p);
    for (std::size_t a = 0; a < pen.matrix.rows(); ++a) {
      for (std::size_t c = 0; c < pen.matrix.rows(); ++c) full(pen.offset + a, pen.offset + c) = pen.matrix(a, c);
      for (std::size_t r = 0; r < pen.root.rows(); ++r) root(r, pen.offset + a) = pen.root(r, a);
    }
    Matrix s = project(n, full);
    const std::size_t before = numerical_rank(pen.matrix), after = numerical_rank(s);
    rank_change[j] = static_cast<double>(after) - static_cast<double>(before);
    out.penalties.push_back({0, std::move(s), matmul(root.view(), n.view())});
  }
  // The dimension drops by p - q; the penalized part of it by the lost ranks.
  double lost_rank = 0.0;
  for (double c : rank_change) lost_rank -= c;
  null_change = (p - q) - static_cast<std::size_t>(lost_rank);
  out.null_space_dimension = wp.null_space_dimension - std::min(null_change, wp.null_space_dimension);
  out.log_det_penalty = [&layout, rank_change](VectorView rho) {
    // One penalty per constrained term: log|lambda N'SN|_+ = rank rho + constant.
    terms::LogDeterminant l = layout.log_pseudo_determinant(rho);
    for (std::size_t j = 0; j < rank_change.size(); ++j) {
      l.value += rank_change[j] * rho[j];
      l.gradient[j] += rank_change[j];
    }
    return l;
  };
  return out;
}

}  // namespace velkan::select
