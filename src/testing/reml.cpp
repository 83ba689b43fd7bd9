// The REML criterion (direct, cached, anchored), the penalty square roots, the block-wise
// triangle, the gradients and the residual sums. Where a core function leaves a shape
// check to its caller, the binding makes it.
#include <bit>
#include <cstdint>
#include <optional>

#include "testing/bind.h"
#include "velkan_core/reml/blockwise_qr.h"
#include "velkan_core/reml/criterion.h"
#include "velkan_core/reml/gradient.h"
#include "velkan_core/reml/penalty_sqrt.h"
#include "velkan_core/reml/residual_sums.h"

namespace velkan::testing {
namespace {

using Matrices = std::vector<Matrix>;

void same_rows(VectorView y, MatrixView x, VectorView w) {
  if (y.size != x.rows || w.size != x.rows)
    throw nb::value_error("y, X and w must have the same number of rows");
}

// 1 when `evaluate` read the data, 0 otherwise. The evaluator shares `anchor`, which
// moves to the evaluated coefficients and their fresh sums exactly when a pass is made.
template <class F>
std::size_t counting_passes(const ResidualAnchor& anchor, F evaluate) {
  const ResidualAnchor before = anchor;
  evaluate();
  const bool moved = anchor.valid != before.valid || anchor.beta != before.beta ||
                     std::bit_cast<std::uint64_t>(anchor.sums.rss) !=
                         std::bit_cast<std::uint64_t>(before.sums.rss);
  return moved ? 1 : 0;
}

// ([(RSS, X'W r) per row of betas], data passes) of one evaluator anchored on the cache
// of (y, x, w).
auto residual_sums(VectorView y, MatrixView x, VectorView w, MatrixView betas) {
  same_rows(y, x, w);
  if (betas.cols != x.cols) throw nb::value_error("one coefficient per column of x");
  return run_released([&] {
    const RemlCache cache = make_reml_cache(y, x, w);
    ResidualAnchor anchor;
    ResidualSums sums(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, &anchor);
    std::vector<std::tuple<double, Vector>> out;
    std::size_t passes = 0;
    for (std::size_t i = 0; i < betas.rows; ++i) {
      passes += counting_passes(anchor, [&] {
        ResidualProducts r = sums.at(Vector::from(betas.row(i)));
        out.emplace_back(r.rss, std::move(r.xtwr));
      });
    }
    return std::tuple{std::move(out), passes};
  });
}

// ([score per row of lambda_sets], data passes): the scores of a search's trials, all
// through one evaluator anchored on the cache.
Result<std::tuple<std::vector<double>, std::size_t>> criterion_anchored(VectorView y, MatrixView x,
                                                                        VectorView w,
                                                                        MatrixView lambda_sets,
                                                                        Matrices pens) {
  const RemlCache cache = make_reml_cache(y, x, w);
  ResidualAnchor anchor;
  ResidualSums sums(y, x, w, cache.xtwx, cache.xtwy, cache.ywy, &anchor);
  std::vector<double> scores;
  std::size_t passes = 0;
  for (std::size_t i = 0; i < lambda_sets.rows; ++i) {
    const Vector lambdas = Vector::from(lambda_sets.row(i));
    Result<double> s;
    passes += counting_passes(
        anchor, [&] { s = reml_criterion_cached(y, x, w, cache, lambdas.span(), pens, sums); });
    if (!s) return fail(s.error());
    scores.push_back(*s);
  }
  return std::tuple{std::move(scores), passes};
}

}  // namespace

void bind_reml(nb::module_& m) {
  m.def("reml_penalty_sqrt", released([](MatrixView s) { return penalty_sqrt(s); }));
  m.def("reml_compute_r_blockwise",
        released([](MatrixView x, VectorView w, std::vector<double> lambdas, Matrices sqrts) {
          return compute_r_blockwise(x, w, lambdas, sqrts);
        }));
  m.def("reml_gradient_multi_qr",
        released([](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                    Matrices pens, std::optional<Matrices> sqrts) {
          return reml_gradient_multi_qr(y, x, w, lambdas, pens, sqrts.value_or(Matrices{}));
        }),
        nb::arg("y"), nb::arg("x"), nb::arg("w"), nb::arg("lambdas"), nb::arg("penalties"),
        nb::arg("sqrts") = nb::none());
  m.def("reml_gradient_blockwise",
        released([](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                    Matrices pens, std::optional<Matrices> sqrts, std::optional<Matrix> xtwx,
                    std::optional<Vector> xtwy) {
          return reml_gradient_blockwise(y, x, w, lambdas, pens, sqrts.value_or(Matrices{}),
                                         xtwx ? &*xtwx : nullptr, xtwy ? &*xtwy : nullptr);
        }),
        nb::arg("y"), nb::arg("x"), nb::arg("w"), nb::arg("lambdas"), nb::arg("penalties"),
        nb::arg("sqrts") = nb::none(), nb::arg("xtwx") = nb::none(), nb::arg("xtwy") = nb::none());
  m.def("fit_reml_criterion",
        released([](VectorView y, MatrixView x, VectorView w, std::vector<double> lambdas,
                    Matrices pens) { return reml_criterion(y, x, w, lambdas, pens); }));
  // (X'WX, X'Wy, y'Wy)
  m.def("fit_make_reml_cache", [](VectorView y, MatrixView x, VectorView w) {
    same_rows(y, x, w);
    RemlCache c = run_released([&] { return make_reml_cache(y, x, w); });
    return std::tuple{std::move(c.xtwx), std::move(c.xtwy), c.ywy};
  });
  // ywy NaN: the cache holds no y'Wy.
  m.def("fit_reml_criterion_cached",
        released([](VectorView y, MatrixView x, VectorView w, Matrix xtwx, Vector xtwy, double ywy,
                    std::vector<double> lambdas, Matrices pens) {
          return reml_criterion_cached(y, x, w, RemlCache{std::move(xtwx), std::move(xtwy), ywy},
                                       lambdas, pens);
        }));
  m.def("reml_residual_sums", residual_sums);
  m.def("reml_criterion_anchored",
        [](VectorView y, MatrixView x, VectorView w, MatrixView lambda_sets, Matrices pens) {
          same_rows(y, x, w);
          return run_released([&] { return criterion_anchored(y, x, w, lambda_sets, pens); });
        });
}

}  // namespace velkan::testing
