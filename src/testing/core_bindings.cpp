// Test access to the dense linear algebra, the smooth constructions and the fit steps.
// Where a core function leaves a shape check to its caller, the binding makes it.
#include <span>

#include "velkan_core/fit/pirls.h"
#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/products.h"
#include "velkan_core/python/support/numpy_api.h"
#include "testing/binding.h"
#include "velkan_core/smooth/bspline.h"
#include "velkan_core/smooth/cubic_regression_spline.h"
#include "velkan_core/smooth/formula.h"
#include "velkan_core/smooth/penalty.h"
#include "velkan_core/smooth/setup.h"

namespace velkan::testing {
namespace {

Status rows_match(MatrixView x, std::initializer_list<VectorView> per_row) {
  for (const VectorView& v : per_row)
    if (v.size != x.rows) return fail(GamError::dimension_mismatch("one entry per row of x"));
  return {};
}

PyObject* pair_of(const CrossProducts& c) { return py::tuple_of({to_python(c.xtwx), to_python(c.xtwy)}); }
PyObject* pair_of(const ResidualProducts& r) {
  return py::tuple_of({to_python(r.rss), to_python(r.xtwr)});
}

// Every product of the layer on one (x, w, y, beta): the matrix products against
// arrays of their own, and the cross products, whose chunked passes are where rows
// can be mixed up. "at" weighs each row by 1 / (1 + u_i^2) with response u_i + i,
// u = x beta: weights that depend on x beta, and a response that shows whether each
// chunk was given its own rows.
PyObject* products(MatrixView x, VectorView w, VectorView y, VectorView beta, MatrixView b) {
  if (auto ok = rows_match(x, {w, y}); !ok) return py::raise(ok.error());
  if (beta.size != x.cols || b.rows != x.cols) return py::raise_value_error("inconsistent shapes");
  auto weigh = [](std::size_t first, std::span<const double> u, std::span<double> wt,
                  std::span<double> z) {
    for (std::size_t i = 0; i < u.size(); ++i) {
      wt[i] = 1.0 / (1.0 + u[i] * u[i]);
      z[i] = u[i] + static_cast<double>(first + i);
    }
  };
  return dict_of({{"matmul", to_python(matmul(x, b))},
                  {"matvec", to_python(matvec(x, beta))},
                  {"dot", to_python(dot(y, w))},
                  {"gram", to_python(gram(x))},
                  {"xtwx", to_python(compute_xtwx(x, w))},
                  {"xtwy", to_python(compute_xtwy(x, w, y))},
                  {"xtwx_xtwy", pair_of(compute_xtwx_xtwy(x, w, y))},
                  {"xtx_xty", pair_of(compute_xtx_xty(x, y))},
                  {"at", pair_of(compute_xtwx_xtwy_at(x, beta, weigh))},
                  {"residual", pair_of(compute_residual_products(x, w, y, beta))},
                  {"quad_form", b.rows == b.cols ? to_python(quad_form(b, beta)) : Py_NewRef(Py_None)}});
}

// {"name", "column", "kind", "num_basis", "width", "knots", "penalty", "lambda",
//  "has_constraint"}; with points, "values" and, for a B-spline, "full_knots".
PyObject* summary(const SmoothTerm& t, const std::optional<VectorView>& points) {
  const auto* bs = dynamic_cast<const BSplineBasis*>(t.basis.get());
  PyRef dict(dict_of({{"name", to_python(t.name)}, {"column", to_python(t.column)},
                      {"kind", PyUnicode_FromString(bs ? "bs" : "cr")},
                      {"num_basis", to_python(t.basis->num_basis())}, {"width", to_python(t.width())},
                      {"knots", to_python(Vector::from(t.basis->knots()))},
                      {"penalty", to_python(t.penalty)}, {"lambda", to_python(t.lambda)},
                      {"has_constraint", to_python(t.constraint.has_value())}}));
  if (!dict || !points) return dict.release();
  auto values = t.basis->evaluate(*points);
  if (!values) return py::raise(values.error());
  PyRef extra(dict_of({{"values", to_python(*values)},
                       {"full_knots", bs ? to_python(Vector(std::vector<double>(
                                                bs->full_knots().begin(), bs->full_knots().end())))
                                         : Py_NewRef(Py_None)}}));
  if (!extra || PyDict_Update(dict.get(), extra.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* term(const Result<SmoothTerm>& t, const std::optional<VectorView>& points) {
  return t ? summary(*t, points) : py::raise(t.error());
}

// (message or None, [summary, ...]) of a setup that started from a list holding one earlier
// term named "old".
template <class Setup>
PyObject* setup_outcome(Setup setup) {
  std::vector<SmoothTerm> terms;
  if (auto old = new_cr_smooth("old", 4, 0.0, 1.0)) terms.push_back(std::move(*old));
  const ModelResult<void> r = setup(terms);
  std::optional<std::string> message;
  if (!r) {
    const auto* usage = std::get_if<UsageError>(&r.error());
    message = usage ? usage->message : std::get<GamError>(r.error()).display();
  }
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const SmoothTerm& t : terms) {
    PyRef item(summary(t, std::nullopt));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return py::tuple_of({to_python(message), list.release()});
}

void define() {
  // Dense solves and factorisations.
  def("linalg_solve", [](Matrix a, Vector b) { return solve(std::move(a), std::move(b)); });
  def("linalg_inverse", [](MatrixView a) { return inverse(a); });
  def("linalg_determinant", [](MatrixView a) { return determinant(a); });
  def("linalg_log_determinant", [](MatrixView a) { return log_determinant(a); });
  def("linalg_qr", [](MatrixView a) -> LinalgResult<std::tuple<Matrix, Matrix>> {
    auto r = qr(a);
    if (!r) return std::unexpected(r.error());
    return std::tuple{std::move(r->q), std::move(r->r)};
  });
  def("linalg_qr_r", [](MatrixView a) { return qr_r(a); });
  def("linalg_cholesky", [](MatrixView a, char uplo) { return cholesky(a, uplo); });
  // b 1-D or 2-D.
  def("linalg_solve_triangular", [](MatrixView a, char uplo, PyObject* b) -> PyObject* {
    const bool one_d = PyArray_Check(b) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(b)) == 1;
    if (one_d) {
      VectorView v;
      return from_python(b, {"linalg_solve_triangular", "b"}, v) ? to_python(solve_triangular(a, uplo, v))
                                                                  : nullptr;
    }
    MatrixView m;
    return from_python(b, {"linalg_solve_triangular", "b"}, m) ? to_python(solve_triangular(a, uplo, m))
                                                                : nullptr;
  });
  def("linalg_lu_factor", [](MatrixView a) -> LinalgResult<std::tuple<Matrix, std::vector<std::int32_t>>> {
    auto f = lu_factor(a);
    if (!f) return std::unexpected(f.error());
    return std::tuple{std::move(f->lu), std::move(f->pivots)};
  });
  def("linalg_lu_inverse", [](Matrix lu, std::vector<double> pivots) {
    LuFactors f{std::move(lu), {}};
    for (double p : pivots) f.pivots.push_back(static_cast<std::int32_t>(p));
    return lu_inverse(f);
  });
  def("linalg_symmetric_eigen", [](MatrixView a) -> LinalgResult<std::tuple<Vector, Matrix>> {
    auto e = symmetric_eigen(a);
    if (!e) return std::unexpected(e.error());
    return std::tuple{std::move(e->values), std::move(e->vectors)};
  });
  def("linalg_products", products);
  def("linalg_dot", [](VectorView a, VectorView b) { return dot(a, b); });

  // Smooths.
  def("smooth_penalty", [](std::string type, std::size_t k, VectorView knots) {
    return compute_penalty_matrix(type, k, knots);
  });
  def("smooth_cr_term", [](std::size_t k, double lo, double hi, std::optional<VectorView> points) {
    return term(new_cr_smooth("cr", k, lo, hi), points);
  });
  def("smooth_bs_term", [](std::size_t k, VectorView data, std::optional<VectorView> points) {
    return term(new_bs_smooth("bs", k, data), points);
  });
  def("smooth_bs_even_term", [](std::size_t k, double lo, double hi, std::optional<VectorView> points) {
    return term(new_bs_smooth_even_knots("bs", k, lo, hi), points);
  });
  def("smooth_bs_knots_term", [](std::size_t k, Vector knots, std::optional<VectorView> points) {
    return term(new_bs_smooth_from_knots("bs", k, std::move(knots)), points);
  });
  def("smooth_parse_formula", [](std::string formula) -> PyObject* {
    auto terms = parse_formula(formula);
    if (!terms) return py::raise(terms.error());
    std::vector<std::tuple<std::size_t, std::size_t>> out;
    for (const FormulaTerm& t : *terms) out.emplace_back(t.column, t.k);
    return to_python(out);
  });
  def("smooth_auto_setup", [](MatrixView x, std::vector<std::size_t> k, std::string basis) {
    return setup_outcome([&](std::vector<SmoothTerm>& t) { return auto_setup(t, x, k, basis); });
  });
  def("smooth_formula_setup", [](MatrixView x, std::string formula) {
    return setup_outcome([&](std::vector<SmoothTerm>& t) -> ModelResult<void> {
      auto parsed = parse_formula(formula);
      if (!parsed) return std::unexpected(parsed.error());
      return formula_setup(t, x, *parsed);
    });
  });

  // Families and PiRLS.
  def("fit_linkinv", [](Family f, VectorView eta) { return linkinv(f, eta); });
  def("fit_mu_eta", [](Family f, VectorView eta) { return mu_eta(f, eta); });
  def("fit_initial_eta", [](Family f, VectorView y) { return initial_eta(f, y); });
  def("fit_working_weight", [](Family f, VectorView eta, VectorView mu) {
    Vector out(eta.size);
    for (std::size_t i = 0; i < eta.size && i < mu.size; ++i) out[i] = working_weight(f, eta[i], mu[i]);
    return out;
  });
  def("fit_deviance", [](Family f, VectorView y, VectorView mu) { return deviance(f, y, mu); });
  // fit_pirls(y, X, lambdas, penalties, family, xtx=None, xty=None, residual_sums=False):
  // with xtx and xty, the cached unit-weight products.
  def("fit_pirls", [](VectorView y, MatrixView x, std::vector<double> lambdas,
                      std::vector<Matrix> penalties, Family family, std::optional<Matrix> xtx,
                      std::optional<Vector> xty, std::optional<bool> residual_sums) -> PyObject* {
    PirlsOptions options;
    options.residual_sums = residual_sums.value_or(false);
    CrossProducts cached;
    if (xtx && xty) {
      cached = {std::move(*xtx), std::move(*xty)};
      options.unit_weight_products = &cached;
    }
    auto r = pirls(y, x, lambdas, penalties, family, options);
    if (!r) return py::raise(r.error());
    const std::optional<ResidualProducts>& s = r->residual_sums;
    return dict_of({{"coefficients", to_python(r->coefficients)},
                    {"fitted_values", to_python(r->fitted_values)},
                    {"linear_predictor", to_python(r->linear_predictor)},
                    {"weights", to_python(r->weights)}, {"deviance", to_python(r->deviance)},
                    {"iterations", to_python(r->iterations)}, {"converged", to_python(r->converged)},
                    {"rss", s ? to_python(s->rss) : Py_NewRef(Py_None)},
                    {"xtr", s ? to_python(s->xtwr) : Py_NewRef(Py_None)}});
  });
}

Definitions defs{define};

}  // namespace
}  // namespace velkan::testing
