#include "engine/inference/term_test.h"

#include <algorithm>
#include <cmath>

#include "engine/inference/distributions.h"
#include "linalg/factorizations.h"

namespace velkan::inference {

namespace {

bool estimated_scale(double residual_df) { return residual_df > 0.0 && std::isfinite(residual_df); }

}  // namespace

Result<TermTest> smooth_term_test(VectorView beta, MatrixView vp, MatrixView g, double edf,
                                  double residual_df) {
  const std::size_t q = beta.size;
  if (vp.rows != q || vp.cols != q || g.rows != q || g.cols != q) {
    return fail(GamError::dimension_mismatch("a term test needs q coefficients and q x q blocks"));
  }
  TermTest out;
  if (q == 0) return out;
  auto ge = symmetric_eigen(g);
  if (!ge) return fail(GamError::linalg_error("eigendecomposition failed: " + ge.error().debug()));
  // R = D^1/2 Q' (q x q), rows of zero where G has none of its weight.
  const double gmax = std::max(ge->values[q - 1], 0.0);
  Matrix r(q, q);
  for (std::size_t a = 0; a < q; ++a) {
    const double d = ge->values[a];
    if (!(d > kTestRankTolerance * gmax)) continue;
    const double root = std::sqrt(d);
    for (std::size_t b = 0; b < q; ++b) r(a, b) = root * ge->vectors(b, a);
  }
  Vector theta(q);
  Matrix rv(q, q);  // R V
  for (std::size_t a = 0; a < q; ++a) {
    double t = 0.0;
    for (std::size_t b = 0; b < q; ++b) {
      t += r(a, b) * beta[b];
      double acc = 0.0;
      for (std::size_t c = 0; c < q; ++c) acc += r(a, c) * vp(c, b);
      rv(a, b) = acc;
    }
    theta[a] = t;
  }
  Matrix vt(q, q);  // R V R', symmetrised
  for (std::size_t a = 0; a < q; ++a)
    for (std::size_t b = 0; b <= a; ++b) {
      double acc = 0.0;
      for (std::size_t c = 0; c < q; ++c) acc += rv(a, c) * r(b, c);
      vt(a, b) = acc;
      vt(b, a) = acc;
    }
  for (std::size_t a = 0; a < q; ++a)
    for (std::size_t b = 0; b < a; ++b) {
      const double v = 0.5 * (vt(a, b) + vt(b, a));
      vt(a, b) = v;
      vt(b, a) = v;
    }
  auto ve = symmetric_eigen(vt.view());
  if (!ve) return fail(GamError::linalg_error("eigendecomposition failed: " + ve.error().debug()));
  const double vmax = ve->values[q - 1];
  std::size_t rank = 0;
  if (vmax > 0.0) {
    while (rank < q && ve->values[q - 1 - rank] > kTestRankTolerance * vmax) ++rank;
  }
  out.rank = rank;
  if (rank == 0) return out;

  const double tau =
      std::min(std::max(std::isfinite(edf) ? edf : 1.0, 1.0), static_cast<double>(rank));
  const auto k = static_cast<std::size_t>(std::floor(tau));
  const double nu = k < rank ? tau - static_cast<double>(k) : 0.0;
  double t = 0.0;
  for (std::size_t i = 0; i < k + (nu > 0.0 ? 1 : 0); ++i) {
    const std::size_t c = q - 1 - i;  // i-th largest eigenvalue
    double proj = 0.0;
    for (std::size_t a = 0; a < q; ++a) proj += ve->vectors(a, c) * theta[a];
    const double z2 = proj * proj / ve->values[c];
    t += i < k ? z2 : nu * z2;
  }
  out.ref_df = static_cast<double>(k) + nu;
  if (estimated_scale(residual_df)) {
    out.statistic = t / out.ref_df;
    out.p_value = f_upper(out.statistic, out.ref_df, residual_df);
  } else {
    out.statistic = t;
    out.p_value = chi_square_mixture_upper(t, k, nu);
  }
  return out;
}

double wald_p_value(double statistic, double residual_df) {
  if (estimated_scale(residual_df)) return student_t_two_sided(statistic, residual_df);
  return 2.0 * normal_upper(std::abs(statistic));
}

}  // namespace velkan::inference
