// Module functions that evaluate the REML gradient and Hessian on caller-supplied data:
// evaluate_gradient, reml_gradient_multi_qr_py, reml_hessian_multi_qr_py.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diag/format.h"
#include "velkan_core/fit/design.h"
#include "velkan_core/fit/problem_size.h"
#include "velkan_core/python/module_parts.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"
#include "velkan_core/python/support/py_ref.h"
#include "bindings/released_gil.h"
#include "velkan_core/reml/gradient.h"
#include "velkan_core/reml/hessian.h"
#include "velkan_core/smooth/cubic_regression_spline.h"

namespace velkan::py {

namespace {

constexpr const char* kGradientPrefix = "Gradient computation failed: ";
constexpr const char* kHessianPrefix = "Hessian computation failed: ";

// Smoothing parameters enter as square roots and logarithms: only finite, non-negative
// values have a meaning. ValueError (set, returns false) otherwise.
bool check_lambdas(const std::vector<double>& lambdas) {
  for (std::size_t j = 0; j < lambdas.size(); ++j) {
    if (!std::isfinite(lambdas[j]) || lambdas[j] < 0.0) {
      raise_value_error(diag::format(
          "lambdas must be finite and non-negative, got {} at position {}", {lambdas[j], j}));
      return false;
    }
  }
  return true;
}

// The five arguments shared by the gradient and the Hessian: the arrays as views of the
// caller's (read only after every argument has been converted, and pinned by a reference
// each while the call runs without the interpreter lock), the lists as owned copies.
struct DerivativeArgs {
  VectorView y;
  MatrixView x;
  VectorView w;
  std::vector<double> lambdas;
  std::vector<Matrix> penalties;
  PyRef pins[3];
};

std::optional<DerivativeArgs> convert_derivative_args(const char* fname, const char* prefix,
                                                      PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"y", "x", "w", "lambdas", "penalties", nullptr};
  PyObject *yo = nullptr, *xo = nullptr, *wo = nullptr, *lo = nullptr, *po = nullptr;
  const std::string format = std::string("OOOOO:") + fname;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kw), &yo, &xo,
                                   &wo, &lo, &po))
    return std::nullopt;
  // The lists first: converting them may run Python code, which must not find a view
  // of an array already taken (it could resize the array under it).
  auto lambdas = as_floats(lo, ArgName{fname, "lambdas"});
  if (!lambdas) return std::nullopt;
  auto penalties = as_matrix_list(po, ArgName{fname, "penalties"});
  if (!penalties) return std::nullopt;
  auto y = as_vector(yo, ArgName{fname, "y"});
  if (!y) return std::nullopt;
  auto x = as_matrix(xo, ArgName{fname, "x"});
  if (!x) return std::nullopt;
  auto w = as_vector(wo, ArgName{fname, "w"});
  if (!w) return std::nullopt;
  if (!check_lambdas(*lambdas)) return std::nullopt;
  // The core checks the remaining shapes (lengths of y and w, penalty sizes, counts) and
  // reports them as DimensionMismatch under the function's prefix; what it would allocate
  // for them is checked here first.
  if (auto ok = check_problem_size(x->rows, x->cols, penalties->size()); !ok) {
    raise(ok.error(), prefix);
    return std::nullopt;
  }
  return DerivativeArgs{*y,
                        *x,
                        *w,
                        std::move(*lambdas),
                        std::move(*penalties),
                        {PyRef::borrow(yo), PyRef::borrow(xo), PyRef::borrow(wo)}};
}

PyObject* reml_gradient_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto a = convert_derivative_args("reml_gradient_multi_qr_py", kGradientPrefix, args, kwargs);
    if (!a) return nullptr;
    auto g = without_gil(
        [&] { return reml_gradient_multi_qr(a->y, a->x, a->w, a->lambdas, a->penalties); });
    if (!g) return raise_failure(g.error(), kGradientPrefix);
    return to_numpy(*g);
  });
}

PyObject* reml_hessian_multi_qr_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto a = convert_derivative_args("reml_hessian_multi_qr_py", kHessianPrefix, args, kwargs);
    if (!a) return nullptr;
    auto h = without_gil(
        [&] { return reml_hessian_multi_qr(a->y, a->x, a->w, a->lambdas, a->penalties); });
    if (!h) return raise_failure(h.error(), kHessianPrefix);
    return to_numpy(*h);
  });
}

// Smallest and largest value of a column, NaN values skipped (+inf / -inf when none).
std::pair<double, double> column_range(MatrixView x, std::size_t j) {
  double lo = INFINITY, hi = -INFINITY;
  for (std::size_t i = 0; i < x.rows; ++i) {
    const double v = x(i, j);
    if (std::isnan(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  return {lo, hi};
}

// The REML gradient of evaluate_gradient: one cubic regression spline smooth per entry of
// k_values on its own column of x, unit weights, each smooth's unscaled penalty. A failure
// of the gradient itself sets `prefix` to the gradient's message prefix; errors of the
// smooths and the design leave it empty.
Result<Vector> gradient_on_cr_smooths(MatrixView x, VectorView y, const std::vector<double>& lambdas,
                                      const std::vector<std::size_t>& k_values,
                                      const char*& prefix) {
    std::vector<SmoothTerm> terms;
    terms.reserve(k_values.size());
    for (std::size_t j = 0; j < k_values.size(); ++j) {
      const auto [lo_j, hi_j] = column_range(x, j);
      std::string name = "x";
      name += std::to_string(j);
      auto term = new_cr_smooth(std::move(name), k_values[j], lo_j, hi_j);
      if (!term) return fail(std::move(term.error()));
      term->column = j;
      terms.push_back(std::move(*term));
    }
    auto design = build_design(terms, x);
    if (!design) return fail(std::move(design.error()));

    // Each smooth's own penalty, unscaled, in its diagonal block.
    const std::size_t p = design->x.cols();
    std::vector<Matrix> penalties;
    penalties.reserve(terms.size());
    for (std::size_t j = 0; j < terms.size(); ++j) {
      Matrix s(p, p);
      const Matrix& block = terms[j].penalty;
      const std::size_t off = design->offsets[j];
      const std::size_t width = std::min({design->widths[j], block.rows(), block.cols()});
      for (std::size_t a = 0; a < width; ++a)
        for (std::size_t b = 0; b < width; ++b) s(off + a, off + b) = block(a, b);
      penalties.push_back(std::move(s));
    }
    const Vector weights(x.rows, 1.0);

    auto g = reml_gradient_multi_qr(y, design->x, weights, lambdas, penalties);
    if (!g) prefix = kGradientPrefix;
    return g;
}

PyObject* evaluate_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"x", "y", "lambdas", "k_values", nullptr};
    PyObject *xo = nullptr, *yo = nullptr, *lo = nullptr, *ko = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:evaluate_gradient",
                                     const_cast<char**>(kw), &xo, &yo, &lo, &ko))
      return nullptr;
    // The lists before the arrays, as in convert_derivative_args.
    auto lambdas = as_floats(lo, ArgName{"evaluate_gradient", "lambdas"});
    if (!lambdas) return nullptr;
    auto k_values = as_sizes(ko, ArgName{"evaluate_gradient", "k_values"});
    if (!k_values) return nullptr;
    auto xv = as_matrix(xo, ArgName{"evaluate_gradient", "x"});
    if (!xv) return nullptr;
    auto yv = as_vector(yo, ArgName{"evaluate_gradient", "y"});
    if (!yv) return nullptr;
    if (!check_lambdas(*lambdas)) return nullptr;
    // One smooth per entry of k_values, each on its own column: there must be a column.
    if (k_values->size() > xv->cols) {
      return raise_value_error(
          diag::format("k_values has {} entries but x has only {} columns",
                       {k_values->size(), xv->cols}));
    }
    if (auto ok = check_smooth_sizes(xv->rows, *k_values); !ok) return raise(ok.error());
    // Views of the caller's arrays, pinned while the work runs without the lock.
    const MatrixView x = *xv;
    const VectorView y = *yv;
    const PyRef pins[2] = {PyRef::borrow(xo), PyRef::borrow(yo)};
    const char* prefix = "";
    auto g =
        without_gil([&] { return gradient_on_cr_smooths(x, y, *lambdas, *k_values, prefix); });
    if (!g) return raise_failure(g.error(), prefix);
    return to_numpy(*g);
  });
}

template <class F>
PyCFunction with_keywords(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

std::vector<PyMethodDef> reml_functions() {
  return {
      {"evaluate_gradient", with_keywords(evaluate_gradient), METH_VARARGS | METH_KEYWORDS,
       "evaluate_gradient(x, y, lambdas, k_values)\n--\n\n"
       "Evaluate REML gradient at fixed lambda (for testing/comparison)\n"
       "Returns gradient vector"},
      {"reml_gradient_multi_qr_py", with_keywords(reml_gradient_multi_qr_py),
       METH_VARARGS | METH_KEYWORDS, "reml_gradient_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"},
      {"reml_hessian_multi_qr_py", with_keywords(reml_hessian_multi_qr_py),
       METH_VARARGS | METH_KEYWORDS, "reml_hessian_multi_qr_py(y, x, w, lambdas, penalties)\n--\n\n"},
  };
}

}  // namespace velkan::py
