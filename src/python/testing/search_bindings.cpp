// Test access to the smoothing-parameter searches: optimize with any method and
// algorithm, the GCV score and search (with its evaluation count), the cached REML
// derivatives, the Newton search over an objective written in Python, and Newton-PIRLS
// with every option.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"
#include "reml/criterion.h"
#include "reml/penalty_sqrt.h"
#include "search/fellner_schall.h"
#include "search/gcv.h"
#include "search/newton.h"
#include "search/newton_pirls.h"
#include "search/smoothing_parameter.h"

namespace {

using velkan::GamError;
using velkan::Matrix;
using velkan::MatrixView;
using velkan::Result;
using velkan::Vector;
using velkan::VectorView;
using velkan::py::ArgName;
using velkan::py::as_double;
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


PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* none() { Py_RETURN_NONE; }

// The data arguments every search takes.
struct Data {
  VectorView y;
  MatrixView x;
  VectorView w;
  std::vector<Matrix> penalties;
};

std::optional<Data> data_args(const char* fn, PyObject* y, PyObject* x, PyObject* w,
                              PyObject* penalties) {
  Data d;
  auto yv = as_vector(y, {fn, "y"});
  if (!yv) return std::nullopt;
  auto xv = as_matrix(x, {fn, "x"});
  if (!xv) return std::nullopt;
  auto wv = as_vector(w, {fn, "w"});
  if (!wv) return std::nullopt;
  auto p = as_matrix_list(penalties, {fn, "penalties"});
  if (!p) return std::nullopt;
  d.y = *yv;
  d.x = *xv;
  d.w = *wv;
  d.penalties = std::move(*p);
  return d;
}

// search_optimize(y, x, w, penalties, lambda0, method="REML", algorithm="Newton",
//                 hessian="cached", m=None, direct=False) -> (lambda, error display or None).
// The state starts with lambda0; m defaults to the number of penalties. With
// hessian="multi_qr" the Newton search uses reml_hessian_multi_qr. With direct=True the
// chosen search runs on lambda0 as it is (after the same checks, without the reset).
PyObject* search_optimize(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"y", "x", "w", "penalties", "lambda0", "method", "algorithm",
                               "hessian", "m", "direct", nullptr};
    PyObject *y, *x, *w, *pen, *lam0, *m_obj = nullptr;
    const char* method = "REML";
    const char* algorithm = "Newton";
    const char* hessian = "cached";
    int direct = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|sssOp", const_cast<char**>(kw), &y,
                                     &x, &w, &pen, &lam0, &method, &algorithm, &hessian, &m_obj,
                                     &direct))
      return nullptr;
    auto d = data_args("search_optimize", y, x, w, pen);
    if (!d) return nullptr;
    auto l0 = as_vector(lam0, {"search_optimize", "lambda0"});
    if (!l0) return nullptr;
    std::size_t m = d->penalties.size();
    if (!is_none(m_obj)) {
      auto v = as_size(m_obj, {"search_optimize", "m"});
      if (!v) return nullptr;
      m = *v;
    }
    velkan::SmoothingParameter state;
    state.lambda = Vector::from(*l0);
    auto sm = velkan::parse_selection_method(method);
    if (!sm) return raise_value_error("unknown method");
    state.method = *sm;
    const std::string alg(algorithm), hess(hessian);
    if (alg == "FellnerSchall") state.reml_algorithm = velkan::REMLAlgorithm::FellnerSchall;
    else if (alg != "Newton") return raise_value_error("unknown algorithm");
    velkan::NewtonOptions newton;
    if (hess != "cached") return raise_value_error("unknown hessian");

    velkan::Status status;
    if (!direct) {
      status = velkan::optimize(state, d->y, d->x, d->w, d->penalties, m);
    } else {
      if (m != state.lambda.size()) return raise_value_error("m must match lambda0");
      status = velkan::check_search_inputs(d->y, d->x, d->w, d->penalties, m);
      if (status && !direct)
        for (double& l : state.lambda) l = 1.0;
      const std::span<const Matrix> pens(d->penalties.data(), m);
      if (status) {
        if (state.method == velkan::SelectionMethod::GCV)
          status = velkan::optimize_gcv(state, d->y, d->x, d->w, pens, m);
        else if (state.reml_algorithm == velkan::REMLAlgorithm::FellnerSchall)
          status = velkan::optimize_reml_fellner_schall(state, d->y, d->x, d->w, pens, m);
        else
          status = velkan::optimize_reml_newton(state, d->y, d->x, d->w, pens, m, newton);
      }
    }
    return tuple_of({to_numpy(state.lambda), status ? none() : text(status.error().display())});
  });
}

// search_gcv_score(y, x, w, s, lam) -> float
PyObject* search_gcv_score(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *y, *x, *w, *s;
    double lam = 0;
    if (!PyArg_ParseTuple(args, "OOOOd", &y, &x, &w, &s, &lam)) return nullptr;
    auto yv = as_vector(y, {"search_gcv_score", "y"});
    if (!yv) return nullptr;
    auto xv = as_matrix(x, {"search_gcv_score", "x"});
    if (!xv) return nullptr;
    auto wv = as_vector(w, {"search_gcv_score", "w"});
    if (!wv) return nullptr;
    auto sv = as_matrix(s, {"search_gcv_score", "s"});
    if (!sv) return nullptr;
    if (yv->size != xv->rows || wv->size != xv->rows || sv->rows != xv->cols ||
        sv->cols != xv->cols)
      return raise_value_error("inconsistent shapes");
    auto v = velkan::gcv_score(*yv, *xv, *wv, *sv, lam);
    if (!v) return raise(v.error());
    return PyFloat_FromDouble(*v);
  });
}

// search_optimize_gcv(y, x, w, penalties) -> (lambda, evaluations, error display or None),
// run directly on a state of one 1.0 per penalty.
PyObject* search_optimize_gcv(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *y, *x, *w, *pen;
    if (!PyArg_ParseTuple(args, "OOOO", &y, &x, &w, &pen)) return nullptr;
    auto d = data_args("search_optimize_gcv", y, x, w, pen);
    if (!d) return nullptr;
    const std::size_t m = d->penalties.size();
    if (auto ok = velkan::check_search_inputs(d->y, d->x, d->w, d->penalties, m); !ok)
      return raise(ok.error());
    velkan::SmoothingParameter state;
    state.method = velkan::SelectionMethod::GCV;
    state.lambda = Vector(m, 1.0);
    std::size_t evaluations = 0;
    velkan::GcvOptions opt;
    opt.evaluations = &evaluations;
    auto status = velkan::optimize_gcv(state, d->y, d->x, d->w, d->penalties, m, opt);
    return tuple_of({to_numpy(state.lambda), PyLong_FromSize_t(evaluations),
                     status ? none() : text(status.error().display())});
  });
}

// search_cached_derivatives(y, x, w, lambdas, penalties) -> (gradient, hessian)
PyObject* search_cached_derivatives(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *y, *x, *w, *lam, *pen;
    if (!PyArg_ParseTuple(args, "OOOOO", &y, &x, &w, &lam, &pen)) return nullptr;
    auto d = data_args("search_cached_derivatives", y, x, w, pen);
    if (!d) return nullptr;
    auto lambdas = velkan::py::as_floats(lam, {"search_cached_derivatives", "lambdas"});
    if (!lambdas) return nullptr;
    if (lambdas->size() != d->penalties.size())
      return raise_value_error("one lambda per penalty");
    if (auto ok = velkan::check_search_inputs(d->y, d->x, d->w, d->penalties, lambdas->size());
        !ok)
      return raise(ok.error());
    auto roots = velkan::penalty_sqrts(d->penalties);
    if (!roots) return raise(roots.error());
    const auto cache = velkan::make_reml_cache(d->y, d->x, d->w);
    auto r = velkan::reml_derivatives_cached(d->y, d->x, d->w, cache, *lambdas, d->penalties,
                                             *roots);
    if (!r) return raise(r.error());
    return tuple_of({to_numpy(r->gradient), to_numpy(r->hessian)});
  });
}

// An objective whose pieces are Python callables taking a 1-D array of lambdas. A Python
// exception inside a callable becomes an InvalidParameter error carrying its text.
class PythonObjective final : public velkan::NewtonObjective {
 public:
  PythonObjective(PyObject* score, PyObject* grad, PyObject* grad_uncached, PyObject* hess)
      : score_(score), grad_(grad), grad_uncached_(grad_uncached), hess_(hess) {}

  Result<double> score(std::span<const double> lambdas) override {
    PyRef r = call(score_, lambdas);
    if (!r) return std::unexpected(take_error());
    const double v = PyFloat_AsDouble(r.get());
    if (v == -1.0 && PyErr_Occurred()) return std::unexpected(take_error());
    return v;
  }
  Result<Vector> gradient(std::span<const double> l) override { return vector(grad_, l); }
  Result<Vector> gradient_uncached(std::span<const double> l) override {
    return vector(grad_uncached_, l);
  }
  Result<Matrix> hessian(std::span<const double> lambdas) override {
    PyRef r = call(hess_, lambdas);
    if (!r) return std::unexpected(take_error());
    auto m = as_matrix(r.get(), {"hessian", "result"});
    if (!m) return std::unexpected(take_error());
    return Matrix::from(*m);
  }

 private:
  static PyRef call(PyObject* fn, std::span<const double> lambdas) {
    PyRef arr(to_numpy(Vector(std::vector<double>(lambdas.begin(), lambdas.end()))));
    if (!arr) return PyRef();
    return PyRef(PyObject_CallOneArg(fn, arr.get()));
  }
  Result<Vector> vector(PyObject* fn, std::span<const double> lambdas) {
    PyRef r = call(fn, lambdas);
    if (!r) return std::unexpected(take_error());
    auto v = as_vector(r.get(), {"gradient", "result"});
    if (!v) return std::unexpected(take_error());
    return Vector::from(*v);
  }
  static GamError take_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef t(type), v(value), b(tb);
    std::string msg = "Python callback failed";
    if (v) {
      PyRef s(PyObject_Str(v.get()));
      if (s) {
        const char* c = PyUnicode_AsUTF8(s.get());
        if (c) msg = c;
      }
      PyErr_Clear();
    }
    return GamError::invalid_parameter(msg);
  }

  PyObject* score_;
  PyObject* grad_;
  PyObject* grad_uncached_;
  PyObject* hess_;
};

// search_newton_objective(score, gradient, gradient_uncached, hessian, initial) -> lambda
PyObject* search_newton_objective(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *score, *grad, *grad_u, *hess, *init;
    if (!PyArg_ParseTuple(args, "OOOOO", &score, &grad, &grad_u, &hess, &init)) return nullptr;
    auto l0 = as_vector(init, {"search_newton_objective", "initial"});
    if (!l0) return nullptr;
    PythonObjective objective(score, grad, grad_u, hess);
    auto r = velkan::newton_search(objective, Vector::from(*l0));
    if (!r) return raise(r.error());
    return to_numpy(*r);
  });
}

// search_newton_pirls(y, x, w, init, penalties, max_iter, grad_tol, min_step, step_shrink,
//                     max_line_search, verbose)
//   -> (log_lambda, lambda, reml, iterations, grad_norm, converged, message)
PyObject* search_newton_pirls(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *y, *x, *w, *init, *pen;
    velkan::NewtonPirlsOptions o;
    Py_ssize_t max_iter = 0, max_ls = 0;
    int verbose = 0;
    if (!PyArg_ParseTuple(args, "OOOOOndddnp", &y, &x, &w, &init, &pen, &max_iter, &o.grad_tol,
                          &o.min_step, &o.step_shrink, &max_ls, &verbose))
      return nullptr;
    if (max_iter < 0 || max_ls < 0) return raise_value_error("negative count");
    o.max_iter = static_cast<std::size_t>(max_iter);
    o.max_line_search = static_cast<std::size_t>(max_ls);
    o.verbose = verbose != 0;
    auto d = data_args("search_newton_pirls", y, x, w, pen);
    if (!d) return nullptr;
    auto l0 = as_vector(init, {"search_newton_pirls", "init"});
    if (!l0) return nullptr;
    auto r = velkan::newton_pirls(d->y, d->x, d->w, *l0, d->penalties, o);
    if (!r) return raise(r.error());
    return tuple_of({to_numpy(r->log_lambda), to_numpy(r->lambda), PyFloat_FromDouble(r->reml),
                     PyLong_FromSize_t(r->iterations), PyFloat_FromDouble(r->grad_norm),
                     PyBool_FromLong(r->converged), text(r->message)});
  });
}

// search_newton_direction(h, g) -> d
PyObject* search_newton_direction(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *h, *g;
    if (!PyArg_ParseTuple(args, "OO", &h, &g)) return nullptr;
    auto hv = as_matrix(h, {"search_newton_direction", "h"});
    if (!hv) return nullptr;
    auto gv = as_vector(g, {"search_newton_direction", "g"});
    if (!gv) return nullptr;
    auto d = velkan::newton_direction(*hv, *gv);
    if (!d) return raise(d.error());
    return to_numpy(*d);
  });
}

template <class F>
PyCFunction fn(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

velkan::testing::Registrar reg{{
    {"search_optimize", fn(search_optimize), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"search_gcv_score", search_gcv_score, METH_VARARGS, nullptr},
    {"search_optimize_gcv", search_optimize_gcv, METH_VARARGS, nullptr},
    {"search_cached_derivatives", search_cached_derivatives, METH_VARARGS, nullptr},
    {"search_newton_objective", search_newton_objective, METH_VARARGS, nullptr},
    {"search_newton_pirls", search_newton_pirls, METH_VARARGS, nullptr},
    {"search_newton_direction", search_newton_direction, METH_VARARGS, nullptr},
}};

}  // namespace
