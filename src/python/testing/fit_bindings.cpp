// Test access to the response families, penalized IRLS and the REML criterion.
// Family names are the Python spellings ("gaussian", "binomial", "poisson", "gamma").
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/family.h"
#include "fit/pirls.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"
#include "reml/criterion.h"

namespace {

using velkan::Family;
using velkan::Matrix;
using velkan::MatrixView;
using velkan::Vector;
using velkan::VectorView;
using velkan::py::ArgName;
using velkan::py::PyRef;

std::optional<Family> family_arg(const char* name) {
  auto f = velkan::parse_family(name);
  if (!f) velkan::py::raise_value_error(std::string("unknown family: ") + name);
  return f;
}

// Applies a scalar family function to every element of a 1-D float64 array.
template <class F>
PyObject* map_family(PyObject* args, const char* fname, F&& fn) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* family = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &family, &values)) return nullptr;
    auto f = family_arg(family);
    if (!f) return nullptr;
    auto v = velkan::py::as_vector(values, ArgName{fname, "values"});
    if (!v) return nullptr;
    Vector out(v->size);
    for (std::size_t i = 0; i < v->size; ++i) out[i] = fn(*f, (*v)[i]);
    return velkan::py::to_numpy(out);
  });
}

PyObject* fit_linkinv(PyObject*, PyObject* args) {
  return map_family(args, "fit_linkinv", [](Family f, double e) { return velkan::linkinv(f, e); });
}
PyObject* fit_mu_eta(PyObject*, PyObject* args) {
  return map_family(args, "fit_mu_eta", [](Family f, double e) { return velkan::mu_eta(f, e); });
}
PyObject* fit_variance(PyObject*, PyObject* args) {
  return map_family(args, "fit_variance",
                    [](Family f, double m) { return velkan::variance(f, m); });
}
PyObject* fit_initial_eta(PyObject*, PyObject* args) {
  return map_family(args, "fit_initial_eta",
                    [](Family f, double y) { return velkan::initial_eta(f, y); });
}

// Two equal-length arrays (a, b) of the named function's arguments.
bool parse_pair(PyObject* args, const char* fname, const char* an, const char* bn,
                Family* family, VectorView* a, VectorView* b) {
  const char* name = nullptr;
  PyObject *ao = nullptr, *bo = nullptr;
  if (!PyArg_ParseTuple(args, "sOO", &name, &ao, &bo)) return false;
  auto f = family_arg(name);
  if (!f) return false;
  auto av = velkan::py::as_vector(ao, ArgName{fname, an});
  if (!av) return false;
  auto bv = velkan::py::as_vector(bo, ArgName{fname, bn});
  if (!bv) return false;
  if (av->size != bv->size) {
    velkan::py::raise_value_error("arrays must have equal lengths");
    return false;
  }
  *family = *f;
  *a = *av;
  *b = *bv;
  return true;
}

// fit_working_weight(family, eta, mu) -> array
PyObject* fit_working_weight(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    Family f{};
    VectorView eta, mu;
    if (!parse_pair(args, "fit_working_weight", "eta", "mu", &f, &eta, &mu)) return nullptr;
    Vector out(eta.size);
    for (std::size_t i = 0; i < eta.size; ++i) out[i] = velkan::working_weight(f, eta[i], mu[i]);
    return velkan::py::to_numpy(out);
  });
}

// fit_deviance(family, y, mu) -> float (total over observations)
PyObject* fit_deviance(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    Family f{};
    VectorView y, mu;
    if (!parse_pair(args, "fit_deviance", "y", "mu", &f, &y, &mu)) return nullptr;
    auto total = velkan::deviance(f, y, mu);
    if (!total) return velkan::py::raise(total.error());
    return PyFloat_FromDouble(*total);
  });
}

// Sets one dictionary entry from a new reference; false (exception set) on failure.
bool put(PyObject* dict, const char* key, PyObject* owned) {
  PyRef value(owned);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// fit_pirls(y, X, lambdas, penalties, family, step_halving=True) -> dict of the result
PyObject* fit_pirls(PyObject*, PyObject* args, PyObject* kwargs) {
  return velkan::py::guarded([&]() -> PyObject* {
    static const char* kw[] = {"y", "X", "lambdas", "penalties", "family", "step_halving",
                               nullptr};
    PyObject *yo = nullptr, *xo = nullptr, *lo = nullptr, *po = nullptr;
    const char* family = nullptr;
    int step_halving = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOs|p", const_cast<char**>(kw), &yo, &xo,
                                     &lo, &po, &family, &step_halving)) {
      return nullptr;
    }
    auto y = velkan::py::as_vector(yo, ArgName{"fit_pirls", "y"});
    if (!y) return nullptr;
    auto x = velkan::py::as_matrix(xo, ArgName{"fit_pirls", "X"});
    if (!x) return nullptr;
    auto lambdas = velkan::py::as_floats(lo, ArgName{"fit_pirls", "lambdas"});
    if (!lambdas) return nullptr;
    auto penalties = velkan::py::as_matrix_list(po, ArgName{"fit_pirls", "penalties"});
    if (!penalties) return nullptr;
    auto f = family_arg(family);
    if (!f) return nullptr;

    velkan::PirlsOptions options;
    options.step_halving = step_halving != 0;
    auto r = velkan::pirls(*y, *x, *lambdas, *penalties, *f, options);
    if (!r) return velkan::py::raise(r.error());

    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), "coefficients", velkan::py::to_numpy(r->coefficients)) ||
        !put(dict.get(), "fitted_values", velkan::py::to_numpy(r->fitted_values)) ||
        !put(dict.get(), "linear_predictor", velkan::py::to_numpy(r->linear_predictor)) ||
        !put(dict.get(), "weights", velkan::py::to_numpy(r->weights)) ||
        !put(dict.get(), "deviance", PyFloat_FromDouble(r->deviance)) ||
        !put(dict.get(), "iterations", PyLong_FromSize_t(r->iterations)) ||
        !put(dict.get(), "converged", PyBool_FromLong(r->converged)) ||
        !put(dict.get(), "step_halvings", PyLong_FromSize_t(r->step_halvings))) {
      return nullptr;
    }
    return dict.release();
  });
}

struct CriterionArgs {
  VectorView y, w;
  MatrixView x;
  std::vector<double> lambdas;
  std::vector<Matrix> penalties;
};

bool convert_criterion(const char* fname, PyObject* yo, PyObject* xo, PyObject* wo,
                       PyObject* lo, PyObject* po, CriterionArgs* out) {
  auto y = velkan::py::as_vector(yo, ArgName{fname, "y"});
  if (!y) return false;
  auto x = velkan::py::as_matrix(xo, ArgName{fname, "X"});
  if (!x) return false;
  auto w = velkan::py::as_vector(wo, ArgName{fname, "w"});
  if (!w) return false;
  auto lambdas = velkan::py::as_floats(lo, ArgName{fname, "lambdas"});
  if (!lambdas) return false;
  auto penalties = velkan::py::as_matrix_list(po, ArgName{fname, "penalties"});
  if (!penalties) return false;
  *out = CriterionArgs{*y, *w, *x, std::move(*lambdas), std::move(*penalties)};
  return true;
}

PyObject* score_or_raise(const velkan::Result<double>& r) {
  if (!r) return velkan::py::raise(r.error());
  return PyFloat_FromDouble(*r);
}

// fit_reml_criterion(y, X, w, lambdas, penalties) -> float
PyObject* fit_reml_criterion(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *yo = nullptr, *xo = nullptr, *wo = nullptr, *lo = nullptr, *po = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO", &yo, &xo, &wo, &lo, &po)) return nullptr;
    CriterionArgs a;
    if (!convert_criterion("fit_reml_criterion", yo, xo, wo, lo, po, &a)) return nullptr;
    return score_or_raise(velkan::reml_criterion(a.y, a.x, a.w, a.lambdas, a.penalties));
  });
}

// fit_make_reml_cache(y, X, w) -> (X'WX, X'Wy, y'Wy)
PyObject* fit_make_reml_cache(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *yo = nullptr, *xo = nullptr, *wo = nullptr;
    if (!PyArg_ParseTuple(args, "OOO", &yo, &xo, &wo)) return nullptr;
    auto y = velkan::py::as_vector(yo, ArgName{"fit_make_reml_cache", "y"});
    if (!y) return nullptr;
    auto x = velkan::py::as_matrix(xo, ArgName{"fit_make_reml_cache", "X"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(wo, ArgName{"fit_make_reml_cache", "w"});
    if (!w) return nullptr;
    // The core's contract leaves this check to its caller.
    if (x->rows != y->size || w->size != y->size) {
      return velkan::py::raise_value_error("y, X and w must have the same number of rows");
    }
    const velkan::RemlCache cache = velkan::make_reml_cache(*y, *x, *w);
    PyRef xtwx(velkan::py::to_numpy(cache.xtwx));
    if (!xtwx) return nullptr;
    PyRef xtwy(velkan::py::to_numpy(cache.xtwy));
    if (!xtwy) return nullptr;
    PyRef ywy(PyFloat_FromDouble(cache.ywy));
    if (!ywy) return nullptr;
    return PyTuple_Pack(3, xtwx.get(), xtwy.get(), ywy.get());
  });
}

// fit_reml_criterion_cached(y, X, w, xtwx, xtwy, ywy, lambdas, penalties) -> float
// (ywy NaN: the cache holds no y'Wy)
PyObject* fit_reml_criterion_cached(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *yo = nullptr, *xo = nullptr, *wo = nullptr, *ao = nullptr, *bo = nullptr,
             *lo = nullptr, *po = nullptr;
    double ywy = 0.0;
    if (!PyArg_ParseTuple(args, "OOOOOdOO", &yo, &xo, &wo, &ao, &bo, &ywy, &lo, &po)) {
      return nullptr;
    }
    CriterionArgs a;
    if (!convert_criterion("fit_reml_criterion_cached", yo, xo, wo, lo, po, &a)) return nullptr;
    auto xtwx = velkan::py::as_matrix(ao, ArgName{"fit_reml_criterion_cached", "xtwx"});
    if (!xtwx) return nullptr;
    auto xtwy = velkan::py::as_vector(bo, ArgName{"fit_reml_criterion_cached", "xtwy"});
    if (!xtwy) return nullptr;
    const velkan::RemlCache cache{Matrix::from(*xtwx), Vector::from(*xtwy), ywy};
    return score_or_raise(
        velkan::reml_criterion_cached(a.y, a.x, a.w, cache, a.lambdas, a.penalties));
  });
}

velkan::testing::Registrar reg{{
    {"fit_linkinv", fit_linkinv, METH_VARARGS, nullptr},
    {"fit_mu_eta", fit_mu_eta, METH_VARARGS, nullptr},
    {"fit_variance", fit_variance, METH_VARARGS, nullptr},
    {"fit_initial_eta", fit_initial_eta, METH_VARARGS, nullptr},
    {"fit_working_weight", fit_working_weight, METH_VARARGS, nullptr},
    {"fit_deviance", fit_deviance, METH_VARARGS, nullptr},
    {"fit_pirls", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fit_pirls)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fit_reml_criterion", fit_reml_criterion, METH_VARARGS, nullptr},
    {"fit_make_reml_cache", fit_make_reml_cache, METH_VARARGS, nullptr},
    {"fit_reml_criterion_cached", fit_reml_criterion_cached, METH_VARARGS, nullptr},
}};

}  // namespace
