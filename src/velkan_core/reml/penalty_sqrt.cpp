#include "velkan_core/reml/penalty_sqrt.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "diag/sink.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"

namespace velkan {

namespace {

using diag::Switch;

// Largest |(L L')_ab - S_ab|: how well the retained eigenpairs rebuild the penalty.
double reconstruction_error(const Matrix& l, MatrixView s) {
  const Matrix llt = matmul(l, l.t());
  double worst = 0.0;
  for (std::size_t a = 0; a < s.rows; ++a)
    for (std::size_t b = 0; b < s.cols; ++b) worst = std::max(worst, std::abs(llt(a, b) - s(a, b)));
  return worst;
}

}  // namespace

Result<Matrix> penalty_sqrt(MatrixView s) {
  if (s.rows != s.cols) return fail(GamError::invalid_parameter("Penalty matrix must be square"));
  const std::size_t p = s.rows;
  // The eigensolver does not reliably report NaN or infinite input: it may return a
  // square root that silently drops them. Such a penalty has no square root.
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t b = 0; b < p; ++b)
      if (!std::isfinite(s(a, b)))
        return fail(GamError::invalid_parameter("Penalty matrix has non-finite entries"));

  auto eig = symmetric_eigen(s);
  if (!eig)
    return fail(GamError::invalid_parameter("Eigenvalue decomposition failed: " + eig.error().debug()));
  const Vector& values = eig->values;  // ascending

  const double emax = p > 0 ? values[p - 1] : -std::numeric_limits<double>::infinity();
  // Relative to the largest eigenvalue but never below the absolute floor.
  const double threshold = kSqrtEigenThreshold * std::max(emax, 1.0);

  // Eigenvalues ascend, so the retained ones are a suffix; a NaN eigenvalue is never kept.
  std::vector<std::size_t> kept;
  for (std::size_t c = 0; c < p; ++c)
    if (values[c] > threshold) kept.push_back(c);
  const std::size_t k = kept.size();

  if (diag::enabled(Switch::GradDebug)) {
    diag::print("[PENALTY_SQRT_DEBUG] Matrix size: {}×{}\n", {p, p});
    diag::print("[PENALTY_SQRT_DEBUG] Max eigenvalue: {:.6e}\n", {emax});
    diag::print("[PENALTY_SQRT_DEBUG] Threshold: {:.6e}\n", {threshold});
    diag::print("[PENALTY_SQRT_DEBUG] Positive eigenvalues found: {}\n", {k});
    if (k > 0) {
      std::vector<double> shown;
      for (std::size_t c = 0; c < std::min(k, kSqrtDebugEigenvalues); ++c)
        shown.push_back(values[kept[c]]);
      diag::print("[PENALTY_SQRT_DEBUG] Eigenvalues: {}\n", {shown});
    }
  }
  if (k == 0) return Matrix(p, 0);

  Matrix l(p, k);
  for (std::size_t c = 0; c < k; ++c) {
    const double scale = std::sqrt(values[kept[c]]);
    for (std::size_t a = 0; a < p; ++a) l(a, c) = scale * eig->vectors(a, kept[c]);
  }

  if (diag::enabled(Switch::GradDebug)) {
    diag::print("[PENALTY_SQRT_DEBUG] Output L matrix shape: {}×{}\n", {p, k});
    diag::print("[PENALTY_SQRT_DEBUG] Reconstruction error ||L·L' - S||_∞ = {:.6e}\n",
                {reconstruction_error(l, s)});
  }
  return l;
}

Result<std::vector<Matrix>> penalty_sqrts(std::span<const Matrix> penalties) {
  std::vector<Matrix> out;
  out.reserve(penalties.size());
  for (const Matrix& s : penalties) {
    auto l = penalty_sqrt(s);
    if (!l) return fail(std::move(l.error()));
    out.push_back(std::move(*l));
  }
  return out;
}

}  // namespace velkan
