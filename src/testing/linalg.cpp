// Dense solves and factorisations, and every product of the layer.
#include <optional>
#include <span>

#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "testing/bind.h"

namespace velkan::testing {
namespace {

// A triangle letter: strings of another length become '?', which the core refuses.
char triangle(const std::string& s) { return s.size() == 1 ? s[0] : '?'; }

std::tuple<Matrix, Vector> pair_of(CrossProducts c) {
  return {std::move(c.xtwx), std::move(c.xtwy)};
}
std::tuple<double, Vector> pair_of(ResidualProducts r) { return {r.rss, std::move(r.xtwr)}; }

// Every product of the layer on one (x, w, y, beta): the matrix products against arrays
// of their own, and the cross products, whose chunked passes are where rows can be mixed
// up. "at" weighs each row by 1 / (1 + u_i^2) with response u_i + i, u = x beta: weights
// that depend on x beta, and a response that shows whether each chunk was given its own
// rows.
nb::dict products(MatrixView x, VectorView w, VectorView y, VectorView beta, MatrixView b) {
  if (w.size != x.rows || y.size != x.rows) throw nb::value_error("one entry per row of x");
  if (beta.size != x.cols || b.rows != x.cols) throw nb::value_error("inconsistent shapes");
  auto weigh = [](std::size_t first, std::span<const double> u, std::span<double> wt,
                  std::span<double> z) {
    for (std::size_t i = 0; i < u.size(); ++i) {
      wt[i] = 1.0 / (1.0 + u[i] * u[i]);
      z[i] = u[i] + static_cast<double>(first + i);
    }
  };
  nb::dict d;
  d["matmul"] = matmul(x, b);
  d["matvec"] = matvec(x, beta);
  d["dot"] = dot(y, w);
  d["gram"] = gram(x);
  d["xtwx"] = compute_xtwx(x, w);
  d["xtwy"] = compute_xtwy(x, w, y);
  d["xtwx_xtwy"] = pair_of(compute_xtwx_xtwy(x, w, y));
  d["xtx_xty"] = pair_of(compute_xtx_xty(x, y));
  d["at"] = pair_of(compute_xtwx_xtwy_at(x, beta, weigh));
  d["residual"] = pair_of(compute_residual_products(x, w, y, beta));
  d["quad_form"] = b.rows == b.cols ? std::optional(quad_form(b, beta)) : std::nullopt;
  return d;
}

}  // namespace

void bind_linalg(nb::module_& m) {
  m.def("linalg_solve",
        released([](Matrix a, Vector b) { return solve(std::move(a), std::move(b)); }));
  m.def("linalg_inverse", released([](MatrixView a) { return inverse(a); }));
  m.def("linalg_determinant", released([](MatrixView a) { return determinant(a); }));
  m.def("linalg_log_determinant", released([](MatrixView a) { return log_determinant(a); }));
  // (q, r)
  m.def("linalg_qr", released([](MatrixView a) {
          return map_value(qr(a), [](QrResult f) {
            return std::tuple{std::move(f.q), std::move(f.r)};
          });
        }));
  m.def("linalg_qr_r", released([](MatrixView a) { return qr_r(a); }));
  m.def("linalg_cholesky",
        released([](MatrixView a, std::string uplo) { return cholesky(a, triangle(uplo)); }));
  // b 1-D or 2-D.
  m.def("linalg_solve_triangular", released([](MatrixView a, std::string uplo, VectorView b) {
          return solve_triangular(a, triangle(uplo), b);
        }));
  m.def("linalg_solve_triangular", released([](MatrixView a, std::string uplo, MatrixView b) {
          return solve_triangular(a, triangle(uplo), b);
        }));
  // (lu, pivots)
  m.def("linalg_lu_factor", released([](MatrixView a) {
          return map_value(lu_factor(a), [](LuFactors f) {
            return std::tuple{std::move(f.lu), std::move(f.pivots)};
          });
        }));
  m.def("linalg_lu_inverse", released([](Matrix lu, std::vector<double> pivots) {
          LuFactors f{std::move(lu), {}};
          for (double p : pivots) f.pivots.push_back(static_cast<std::int32_t>(p));
          return lu_inverse(f);
        }));
  // (values, vectors)
  m.def("linalg_symmetric_eigen", released([](MatrixView a) {
          return map_value(symmetric_eigen(a), [](SymmetricEigen e) {
            return std::tuple{std::move(e.values), std::move(e.vectors)};
          });
        }));
  m.def("linalg_symmetric_eigen_extremes", released([](MatrixView a, std::size_t low, std::size_t high) {
          return map_value(symmetric_eigen_extremes(a, low, high), [](SymmetricEigen e) {
            return std::tuple{std::move(e.values), std::move(e.vectors)};
          });
        }));
  m.def("linalg_products", products);
  m.def("linalg_dot", released([](VectorView a, VectorView b) { return dot(a, b); }));
  // The one failure no small input produces: a dimension beyond LAPACK's 32-bit integers.
  m.def("linalg_failure_invalid_shape", [] { return LinalgFailure::invalid_shape().debug(); });
}

}  // namespace velkan::testing
