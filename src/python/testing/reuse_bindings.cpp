// Test access to the work a fit shares between its steps: the fused cross products and
// residual sums, the anchored residual sums of the REML derivatives, PiRLS on cached
// unit-weight products, and REML searches that reuse a cache and a memo.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/family.h"
#include "fit/pirls.h"
#include "linalg/products.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"
#include "reml/criterion.h"
#include "reml/residual_sums.h"
#include "search/newton.h"
#include "search/smoothing_parameter.h"

namespace {

using velkan::Matrix;
using velkan::MatrixView;
using velkan::Vector;
using velkan::VectorView;
using velkan::py::as_floats;
using velkan::py::as_matrix;
using velkan::py::as_matrix_list;
using velkan::py::as_size;
using velkan::py::as_vector;
using velkan::py::guarded;
using velkan::py::is_none;
using velkan::py::PyRef;
using velkan::py::raise;
using velkan::py::raise_value_error;
using velkan::py::to_numpy;
using velkan::py::tuple_of;


PyObject* list_of(std::vector<PyObject*> items) {
  std::vector<PyRef> refs;
  for (PyObject* o : items) refs.emplace_back(o);
  for (const PyRef& r : refs)
    if (!r) return nullptr;
  PyRef l(PyList_New(static_cast<Py_ssize_t>(refs.size())));
  if (!l) return nullptr;
  for (std::size_t i = 0; i < refs.size(); ++i)
    PyList_SET_ITEM(l.get(), static_cast<Py_ssize_t>(i), refs[i].release());
  return l.release();
}

bool lengths_fit(MatrixView x, std::initializer_list<VectorView> rows_long) {
  for (const VectorView& v : rows_long)
    if (v.size != x.rows) {
      raise_value_error("inconsistent shapes");
      return false;
    }
  return true;
}

// linalg_compute_xtwx_xtwy(x, w, y) -> (X'WX, X'Wy)
PyObject* compute_xtwx_xtwy_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *xo, *wo, *yo;
    if (!PyArg_ParseTuple(args, "OOO", &xo, &wo, &yo)) return nullptr;
    auto x = as_matrix(xo, {"linalg_compute_xtwx_xtwy", "x"});
    if (!x) return nullptr;
    auto w = as_vector(wo, {"linalg_compute_xtwx_xtwy", "w"});
    if (!w) return nullptr;
    auto y = as_vector(yo, {"linalg_compute_xtwx_xtwy", "y"});
    if (!y || !lengths_fit(*x, {*w, *y})) return nullptr;
    const velkan::CrossProducts c = velkan::compute_xtwx_xtwy(*x, *w, *y);
    return tuple_of({to_numpy(c.xtwx), to_numpy(c.xtwy)});
  });
}

// linalg_compute_xtx_xty(x, y) -> (X'X, X'y)
PyObject* compute_xtx_xty_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *xo, *yo;
    if (!PyArg_ParseTuple(args, "OO", &xo, &yo)) return nullptr;
    auto x = as_matrix(xo, {"linalg_compute_xtx_xty", "x"});
    if (!x) return nullptr;
    auto y = as_vector(yo, {"linalg_compute_xtx_xty", "y"});
    if (!y || !lengths_fit(*x, {*y})) return nullptr;
    const velkan::CrossProducts c = velkan::compute_xtx_xty(*x, *y);
    return tuple_of({to_numpy(c.xtwx), to_numpy(c.xtwy)});
  });
}

// linalg_compute_xtwx_xtwy_at(x, beta) -> (X'WX, X'Wz) with w_i = 1 / (1 + u_i^2) and
// z_i = u_i + i, u = X beta: weights that depend on X beta, and a response that shows
// whether each chunk was given its own rows.
PyObject* compute_xtwx_xtwy_at_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *xo, *bo;
    if (!PyArg_ParseTuple(args, "OO", &xo, &bo)) return nullptr;
    auto x = as_matrix(xo, {"linalg_compute_xtwx_xtwy_at", "x"});
    if (!x) return nullptr;
    auto beta = as_vector(bo, {"linalg_compute_xtwx_xtwy_at", "beta"});
    if (!beta) return nullptr;
    if (beta->size != x->cols) return raise_value_error("inconsistent shapes");
    auto weigh = [](std::size_t first, std::span<const double> u, std::span<double> w,
                    std::span<double> z) {
      for (std::size_t i = 0; i < u.size(); ++i) {
        w[i] = 1.0 / (1.0 + u[i] * u[i]);
        z[i] = u[i] + static_cast<double>(first + i);
      }
    };
    const velkan::CrossProducts c = velkan::compute_xtwx_xtwy_at(*x, *beta, weigh);
    return tuple_of({to_numpy(c.xtwx), to_numpy(c.xtwy)});
  });
}

// linalg_residual_products(x, w, y, beta) -> (RSS, X'W r)
PyObject* residual_products_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *xo, *wo, *yo, *bo;
    if (!PyArg_ParseTuple(args, "OOOO", &xo, &wo, &yo, &bo)) return nullptr;
    auto x = as_matrix(xo, {"linalg_residual_products", "x"});
    if (!x) return nullptr;
    auto w = as_vector(wo, {"linalg_residual_products", "w"});
    if (!w) return nullptr;
    auto y = as_vector(yo, {"linalg_residual_products", "y"});
    if (!y) return nullptr;
    auto beta = as_vector(bo, {"linalg_residual_products", "beta"});
    if (!beta || !lengths_fit(*x, {*w, *y})) return nullptr;
    if (beta->size != x->cols) return raise_value_error("inconsistent shapes");
    const velkan::ResidualProducts r = velkan::compute_residual_products(*x, *w, *y, *beta);
    return tuple_of({PyFloat_FromDouble(r.rss), to_numpy(r.xtwr)});
  });
}

// reml_residual_sums(y, x, w, betas, cached) -> ([(RSS, X'W r) per beta], data passes):
// one evaluator, anchored on make_reml_cache(y, x, w) when `cached`, evaluated at each
// beta in turn.
PyObject* residual_sums_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *yo, *xo, *wo, *bo;
    int cached = 1;
    if (!PyArg_ParseTuple(args, "OOOOp", &yo, &xo, &wo, &bo, &cached)) return nullptr;
    auto y = as_vector(yo, {"reml_residual_sums", "y"});
    if (!y) return nullptr;
    auto x = as_matrix(xo, {"reml_residual_sums", "x"});
    if (!x) return nullptr;
    auto w = as_vector(wo, {"reml_residual_sums", "w"});
    if (!w || !lengths_fit(*x, {*w, *y})) return nullptr;
    auto betas = as_matrix(bo, {"reml_residual_sums", "betas"});
    if (!betas) return nullptr;
    if (betas->cols != x->cols) return raise_value_error("inconsistent shapes");
    const velkan::RemlCache cache = velkan::make_reml_cache(*y, *x, *w);
    std::optional<velkan::ResidualSums> sums;
    if (cached) sums.emplace(*y, *x, *w, cache.xtwx, cache.xtwy, cache.ywy);
    else sums.emplace(*y, *x, *w);
    std::vector<PyObject*> out;
    for (std::size_t i = 0; i < betas->rows; ++i) {
      const velkan::ResidualProducts r = sums->at(Vector::from(betas->row(i)));
      out.push_back(tuple_of({PyFloat_FromDouble(r.rss), to_numpy(r.xtwr)}));
    }
    return tuple_of({list_of(out), PyLong_FromSize_t(sums->data_passes())});
  });
}

// fit_pirls_unit_products(y, X, lambdas, penalties, family, xtx=None, xty=None,
//                         residual_sums=False) -> dict: PiRLS with cached unit-weight
// products, compute_xtx_xty(X, y) unless given; with residual_sums, "rss" and "xtr" too
// (None when PiRLS gave none).
PyObject* pirls_unit_products_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *yo, *xo, *lo, *po, *xtxo = Py_None, *xtyo = Py_None;
    const char* family = nullptr;
    int residual_sums = 0;
    if (!PyArg_ParseTuple(args, "OOOOs|OOp", &yo, &xo, &lo, &po, &family, &xtxo, &xtyo,
                          &residual_sums))
      return nullptr;
    const char* fn = "fit_pirls_unit_products";
    auto y = as_vector(yo, {fn, "y"});
    if (!y) return nullptr;
    auto x = as_matrix(xo, {fn, "X"});
    if (!x) return nullptr;
    auto lambdas = as_floats(lo, {fn, "lambdas"});
    if (!lambdas) return nullptr;
    auto penalties = as_matrix_list(po, {fn, "penalties"});
    if (!penalties) return nullptr;
    auto f = velkan::parse_family(family);
    if (!f) return raise_value_error("unknown family");
    velkan::CrossProducts products;
    if (is_none(xtxo) || is_none(xtyo)) {
      if (!lengths_fit(*x, {*y})) return nullptr;
      products = velkan::compute_xtx_xty(*x, *y);
    } else {
      auto xtx = as_matrix(xtxo, {fn, "xtx"});
      if (!xtx) return nullptr;
      auto xty = as_vector(xtyo, {fn, "xty"});
      if (!xty) return nullptr;
      products = velkan::CrossProducts{Matrix::from(*xtx), Vector::from(*xty)};
    }
    velkan::PirlsOptions options;
    options.unit_weight_products = &products;
    options.residual_sums = residual_sums != 0;
    auto r = velkan::pirls(*y, *x, *lambdas, *penalties, *f, options);
    if (!r) return raise(r.error());
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, PyObject*> items[] = {
        {"coefficients", to_numpy(r->coefficients)},
        {"fitted_values", to_numpy(r->fitted_values)},
        {"linear_predictor", to_numpy(r->linear_predictor)},
        {"weights", to_numpy(r->weights)},
        {"deviance", PyFloat_FromDouble(r->deviance)},
        {"iterations", PyLong_FromSize_t(r->iterations)},
        {"converged", PyBool_FromLong(r->converged)},
        {"rss", r->residual_sums ? PyFloat_FromDouble(r->residual_sums->rss) : Py_NewRef(Py_None)},
        {"xtr", r->residual_sums ? to_numpy(r->residual_sums->xtwr) : Py_NewRef(Py_None)}};
    bool ok = true;
    for (const auto& [key, value] : items) {
      PyRef v(value);
      ok = ok && v && PyDict_SetItemString(dict.get(), key, v.get()) == 0;
    }
    return ok ? dict.release() : nullptr;
  });
}

// search_optimize_reused(y, x, w, penalties, calls) -> ([lambda per call], [remembered
// scores after each call]): `calls` REML Newton searches through optimize, all given the
// same make_reml_cache(y, x, w) and one memo.
PyObject* optimize_reused_py(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *yo, *xo, *wo, *po, *co;
    if (!PyArg_ParseTuple(args, "OOOOO", &yo, &xo, &wo, &po, &co)) return nullptr;
    const char* fn = "search_optimize_reused";
    auto y = as_vector(yo, {fn, "y"});
    if (!y) return nullptr;
    auto x = as_matrix(xo, {fn, "x"});
    if (!x) return nullptr;
    auto w = as_vector(wo, {fn, "w"});
    if (!w || !lengths_fit(*x, {*w, *y})) return nullptr;
    auto penalties = as_matrix_list(po, {fn, "penalties"});
    if (!penalties) return nullptr;
    auto calls = as_size(co, {fn, "calls"});
    if (!calls) return nullptr;
    const velkan::RemlCache cache = velkan::make_reml_cache(*y, *x, *w);
    velkan::RemlSearchMemo memo;
    std::vector<PyObject*> lambdas, remembered;
    for (std::size_t c = 0; c < *calls; ++c) {
      velkan::SmoothingParameter state;
      state.lambda = Vector(penalties->size(), 1.0);
      auto ok = velkan::optimize(state, *y, *x, *w, *penalties, penalties->size(),
                                 velkan::SearchReuse{&cache, &memo});
      if (!ok) return raise(ok.error());
      lambdas.push_back(to_numpy(state.lambda));
      remembered.push_back(PyLong_FromSize_t(memo.scores.size()));
    }
    return tuple_of({list_of(lambdas), list_of(remembered)});
  });
}

velkan::testing::Registrar reg{{
    {"linalg_compute_xtwx_xtwy", compute_xtwx_xtwy_py, METH_VARARGS, nullptr},
    {"linalg_compute_xtx_xty", compute_xtx_xty_py, METH_VARARGS, nullptr},
    {"linalg_compute_xtwx_xtwy_at", compute_xtwx_xtwy_at_py, METH_VARARGS, nullptr},
    {"linalg_residual_products", residual_products_py, METH_VARARGS, nullptr},
    {"reml_residual_sums", residual_sums_py, METH_VARARGS, nullptr},
    {"fit_pirls_unit_products", pirls_unit_products_py, METH_VARARGS, nullptr},
    {"search_optimize_reused", optimize_reused_py, METH_VARARGS, nullptr},
}};

}  // namespace
