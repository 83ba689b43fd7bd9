#include "velkan_core/reml/hessian.h"

#include <utility>

#include "diag/sink.h"
#include "linalg/products.h"
#include "linalg/ridged_solve.h"
#include "velkan_core/reml/augmented.h"
#include "velkan_core/reml/derivatives.h"
#include "velkan_core/reml/penalty_sqrt.h"
#include "velkan_core/reml/residual_sums.h"

namespace velkan {

Result<Matrix> reml_hessian_multi_qr(VectorView y, MatrixView x, VectorView w,
                                     std::span<const double> lambdas,
                                     std::span<const Matrix> penalties) {
  const std::size_t n = x.rows, p = x.cols, m = lambdas.size();
  if (diag::enabled(diag::Switch::HessDebug)) {
    diag::print("\n[HESS_CORRECTED] Starting CORRECTED Hessian computation (matching gradient)\n");
    diag::print("[HESS_CORRECTED] n={}, p={}, m={}\n", {n, p, m});
  }
  if (auto ok = check_derivative_inputs(y, x, w, lambdas, penalties, {}); !ok)
    return fail(std::move(ok.error()));

  auto sqrts = penalty_sqrts(penalties);
  if (!sqrts) return fail(std::move(sqrts.error()));
  auto r = augmented_triangle(x, w, lambdas, *sqrts, /*trace=*/false);
  if (!r) return fail(GamError::linalg_error("QR decomposition failed"));

  // The triangle of Z carries no ridge; it is brought to A + delta I, as in the gradient.
  CrossProducts products = compute_xtwx_xtwy(x, w, y);
  const double delta = normal_matrix_ridge(products.xtwx, m);
  auto ridged = add_diagonal_to_triangle(*r, Vector(p, delta).span());
  if (!ridged) return fail(GamError::linalg_error("QR decomposition failed"));
  const RidgedSolver system = RidgedSolver::from_triangle(
      penalized_normal_matrix(products.xtwx, lambdas, penalties), delta, std::move(*ridged));
  auto beta = system.solve(products.xtwy);
  if (!beta) return fail(std::move(beta.error()));

  ResidualSums sums(y, x, w);
  const ResidualProducts residuals = sums.at(*beta);
  auto first = reml_first_order(system, lambdas, penalties, *sqrts, std::move(*beta), residuals, n);
  if (!first) return fail(std::move(first.error()));
  return reml_second_order(*first, system, products.xtwx, lambdas, penalties, /*trace=*/true);
}

}  // namespace velkan
