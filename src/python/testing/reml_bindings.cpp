// Test access to the REML derivative internals: penalty square roots, the augmented and
// block-wise triangles, and both gradient entries with their optional inputs.
#include <optional>
#include <vector>

#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/testing/registry.h"
#include "reml/augmented.h"
#include "reml/blockwise_qr.h"
#include "reml/gradient.h"
#include "reml/penalty_sqrt.h"

namespace {

using velkan::Matrix;
using velkan::Vector;
using velkan::py::ArgName;

template <class T>
PyObject* result_or_raise(const velkan::Result<T>& r) {
  if (!r) return velkan::py::raise(r.error());
  return velkan::py::to_numpy(*r);
}

// reml_penalty_sqrt(S) -> L
PyObject* reml_penalty_sqrt(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* so = nullptr;
    if (!PyArg_ParseTuple(args, "O", &so)) return nullptr;
    auto s = velkan::py::as_matrix(so, ArgName{"reml_penalty_sqrt", "S"});
    if (!s) return nullptr;
    return result_or_raise(velkan::penalty_sqrt(*s));
  });
}

// reml_compute_r_blockwise(X, w, lambdas, sqrt_penalties) -> R
PyObject* reml_compute_r_blockwise(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *xo = nullptr, *wo = nullptr, *lo = nullptr, *so = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO", &xo, &wo, &lo, &so)) return nullptr;
    const char* f = "reml_compute_r_blockwise";
    auto x = velkan::py::as_matrix(xo, ArgName{f, "X"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(wo, ArgName{f, "w"});
    if (!w) return nullptr;
    auto lambdas = velkan::py::as_floats(lo, ArgName{f, "lambdas"});
    if (!lambdas) return nullptr;
    auto sqrts = velkan::py::as_matrix_list(so, ArgName{f, "sqrt_penalties"});
    if (!sqrts) return nullptr;
    return result_or_raise(velkan::compute_r_blockwise(*x, *w, *lambdas, *sqrts));
  });
}

// reml_augmented_triangle(X, w, lambdas, sqrt_penalties) -> R of Z (no ridge), printing
// the Z and QR diagnostic lines.
PyObject* reml_augmented_triangle(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *xo = nullptr, *wo = nullptr, *lo = nullptr, *so = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO", &xo, &wo, &lo, &so)) return nullptr;
    const char* f = "reml_augmented_triangle";
    auto x = velkan::py::as_matrix(xo, ArgName{f, "X"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(wo, ArgName{f, "w"});
    if (!w) return nullptr;
    auto lambdas = velkan::py::as_floats(lo, ArgName{f, "lambdas"});
    if (!lambdas) return nullptr;
    auto sqrts = velkan::py::as_matrix_list(so, ArgName{f, "sqrt_penalties"});
    if (!sqrts) return nullptr;
    if (w->size != x->rows) return velkan::py::raise_value_error("w must have one entry per row");
    for (const Matrix& l : *sqrts)
      if (l.rows() != x->cols) return velkan::py::raise_value_error("square root rows != p");
    auto r = velkan::augmented_triangle(*x, *w, *lambdas, *sqrts, /*trace=*/true);
    if (!r) return velkan::py::raise_value_error(r.error().debug());
    return velkan::py::to_numpy(*r);
  });
}

// Converts the five common gradient arguments plus optional square roots.
struct GradientArgs {
  velkan::VectorView y, w;
  velkan::MatrixView x;
  std::vector<double> lambdas;
  std::vector<Matrix> penalties;
  std::vector<Matrix> sqrts;
};

bool convert_gradient(const char* f, PyObject* yo, PyObject* xo, PyObject* wo, PyObject* lo,
                      PyObject* po, PyObject* so, GradientArgs* out) {
  auto y = velkan::py::as_vector(yo, ArgName{f, "y"});
  if (!y) return false;
  auto x = velkan::py::as_matrix(xo, ArgName{f, "X"});
  if (!x) return false;
  auto w = velkan::py::as_vector(wo, ArgName{f, "w"});
  if (!w) return false;
  auto lambdas = velkan::py::as_floats(lo, ArgName{f, "lambdas"});
  if (!lambdas) return false;
  auto penalties = velkan::py::as_matrix_list(po, ArgName{f, "penalties"});
  if (!penalties) return false;
  std::vector<Matrix> sqrts;
  if (!velkan::py::is_none(so)) {
    auto s = velkan::py::as_matrix_list(so, ArgName{f, "sqrt_penalties"});
    if (!s) return false;
    sqrts = std::move(*s);
  }
  *out = GradientArgs{*y, *w, *x, std::move(*lambdas), std::move(*penalties), std::move(sqrts)};
  return true;
}

// reml_gradient_multi_qr(y, X, w, lambdas, penalties, sqrt_penalties=None) -> g
PyObject* reml_gradient_multi_qr(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *yo, *xo, *wo, *lo, *po, *so = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO|O", &yo, &xo, &wo, &lo, &po, &so)) return nullptr;
    GradientArgs a;
    if (!convert_gradient("reml_gradient_multi_qr", yo, xo, wo, lo, po, so, &a)) return nullptr;
    return result_or_raise(
        velkan::reml_gradient_multi_qr(a.y, a.x, a.w, a.lambdas, a.penalties, a.sqrts));
  });
}

// reml_gradient_blockwise(y, X, w, lambdas, penalties, sqrt_penalties=None, xtwx=None,
//                         xtwy=None) -> g
PyObject* reml_gradient_blockwise(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *yo, *xo, *wo, *lo, *po, *so = nullptr, *ao = nullptr, *bo = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO|OOO", &yo, &xo, &wo, &lo, &po, &so, &ao, &bo))
      return nullptr;
    const char* f = "reml_gradient_blockwise";
    GradientArgs a;
    if (!convert_gradient(f, yo, xo, wo, lo, po, so, &a)) return nullptr;
    std::optional<Matrix> xtwx;
    std::optional<Vector> xtwy;
    if (!velkan::py::is_none(ao)) {
      auto v = velkan::py::as_matrix(ao, ArgName{f, "xtwx"});
      if (!v) return nullptr;
      xtwx = Matrix::from(*v);
    }
    if (!velkan::py::is_none(bo)) {
      auto v = velkan::py::as_vector(bo, ArgName{f, "xtwy"});
      if (!v) return nullptr;
      xtwy = Vector::from(*v);
    }
    return result_or_raise(velkan::reml_gradient_blockwise(
        a.y, a.x, a.w, a.lambdas, a.penalties, a.sqrts, xtwx ? &*xtwx : nullptr,
        xtwy ? &*xtwy : nullptr));
  });
}

velkan::testing::Registrar reg{{
    {"reml_penalty_sqrt", reml_penalty_sqrt, METH_VARARGS, nullptr},
    {"reml_compute_r_blockwise", reml_compute_r_blockwise, METH_VARARGS, nullptr},
    {"reml_augmented_triangle", reml_augmented_triangle, METH_VARARGS, nullptr},
    {"reml_gradient_multi_qr", reml_gradient_multi_qr, METH_VARARGS, nullptr},
    {"reml_gradient_blockwise", reml_gradient_blockwise, METH_VARARGS, nullptr},
}};

}  // namespace
