#include "velkan_core/search/fellner_schall.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/interrupt.h"
#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "velkan_core/reml/penalty_sqrt.h"

namespace velkan {

namespace {

using diag::Switch;

// Lower Cholesky factor of A (which already carries one ridge); on failure the ridge is
// raised by ten times its size and the factorisation tried once more.
Result<Matrix> ridged_cholesky(Matrix a, double ridge) {
  auto l = cholesky(a, 'L');
  if (l) return std::move(*l);
  for (std::size_t i = 0; i < a.rows(); ++i) a(i, i) += kFellnerSchallSecondRidgeFactor * ridge;
  l = cholesky(a, 'L');
  if (!l) return std::unexpected(GamError::singular_matrix());
  return std::move(*l);
}

// Diagnostic split of tr(Linv S) into the rows where S has any entry above the threshold.
void trace_rows(std::size_t i, const Matrix& linv, const Matrix& s, double full_trace) {
  const std::size_t p = s.rows();
  double nonzero_trace = 0.0;
  std::size_t nonzero_cols = 0;
  for (std::size_t j = 0; j < p; ++j) {
    bool nonzero = false;
    for (std::size_t k = 0; k < s.cols() && !nonzero; ++k)
      nonzero = std::fabs(s(j, k)) > kFellnerSchallTraceRowThreshold;
    if (!nonzero) continue;
    double djj = 0.0;
    for (std::size_t k = 0; k < p; ++k) djj += linv(j, k) * s(k, j);
    nonzero_trace += djj;
    ++nonzero_cols;
  }
  diag::trace(Switch::TraceDebug,
              "[TRACE_DEBUG] Smooth {}: full_trace={:.6}, nonzero_trace={:.6}, nonzero_cols={}, "
              "p={}\n",
              {i, full_trace, nonzero_trace, nonzero_cols, p});
}

}  // namespace

Status optimize_reml_fellner_schall(SmoothingParameter& state, VectorView /*y*/, MatrixView x,
                                    VectorView w, std::span<const Matrix> penalties,
                                    std::size_t m) {
  penalties = penalties.first(m);
  // Only the ranks of the square roots are used.
  std::vector<double> rank(m);
  for (std::size_t i = 0; i < m; ++i) {
    auto l = penalty_sqrt(penalties[i]);
    if (!l) return std::unexpected(l.error());
    rank[i] = static_cast<double>(l->cols());
  }
  const Matrix xtwx = compute_xtwx(x, w);
  const std::size_t p = xtwx.rows();
  const double ridge_base = kFellnerSchallRidge * (1.0 + std::sqrt(static_cast<double>(m)));
  Vector rho(m);
  for (std::size_t i = 0; i < m; ++i) rho[i] = std::log(state.lambda[i]);
  diag::trace(Switch::Profile, "[PROFILE] Starting Fellner-Schall optimization (Cholesky)\n");

  for (std::size_t it = 0; it < kFellnerSchallMaxIterations; ++it) {
    if (auto ok = poll_interrupt(); !ok) return std::unexpected(ok.error());
    Vector lambda(m);
    for (std::size_t i = 0; i < m; ++i) lambda[i] = std::exp(rho[i]);
    Matrix a = xtwx;
    for (std::size_t i = 0; i < m; ++i) a.add_scaled(penalties[i], lambda[i]);
    double diag_max = 1.0;
    for (std::size_t j = 0; j < p; ++j) diag_max = std::fmax(diag_max, std::fabs(a(j, j)));
    const double ridge = ridge_base * diag_max;
    for (std::size_t j = 0; j < p; ++j) a(j, j) += ridge;

    auto l = ridged_cholesky(std::move(a), ridge);
    if (!l) return std::unexpected(l.error());
    auto lu = lu_factor(*l);
    if (!lu) return std::unexpected(GamError::singular_matrix());
    auto linv_r = lu_inverse(*lu);
    if (!linv_r) return std::unexpected(GamError::singular_matrix());
    const Matrix& linv = *linv_r;

    // Simultaneous update: every parameter uses this iteration's factor.
    Vector rho_new = rho;
    double max_change = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      const Matrix& s = penalties[i];
      double t = 0.0;  // tr(Linv S_i), without forming the product
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t k = 0; k < p; ++k) t += linv(j, k) * s(k, j);
      if (it == 0 && diag::enabled(Switch::TraceDebug)) trace_rows(i, linv, s, t);
      const double ratio = rank[i] > kFellnerSchallRankFloor ? t / rank[i] : 1.0;
      // The clamp bounds one update to 0.5 ln 5 either way; the bounds keep lambda in
      // [1e-7, 1e5], where a parameter pushed further simply stays.
      const double clamped = std::clamp(ratio, kFellnerSchallRatioMin, kFellnerSchallRatioMax);
      rho_new[i] = std::clamp(rho[i] + kFellnerSchallDamping * std::log(clamped), kLogLambdaMin,
                              kLogLambdaMax);
      const double change = std::fabs(rho_new[i] - rho[i]);
      diag::trace(Switch::Profile,
                  "[PROFILE] FS iter {}: smooth {}: λ={:.6}, trace={:.6}, rank={}, ratio={:.3}, "
                  "change={:.6}\n",
                  {it, i, lambda[i], t, rank[i], ratio, change});
      max_change = std::max(max_change, change);
    }
    if (max_change < kFellnerSchallTolerance) {
      for (std::size_t i = 0; i < m; ++i) state.lambda[i] = std::exp(rho_new[i]);
      diag::trace(Switch::Profile, "[PROFILE] Fellner-Schall converged in {} iterations\n",
                  {it + 1});
      return {};
    }
    rho = std::move(rho_new);
  }
  for (std::size_t i = 0; i < m; ++i) state.lambda[i] = std::exp(rho[i]);
  diag::trace(Switch::Profile,
              "[PROFILE] Fellner-Schall reached max iterations ({}) without convergence\n",
              {kFellnerSchallMaxIterations});
  return {};
}

}  // namespace velkan
