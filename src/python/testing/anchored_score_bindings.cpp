// Test access to the REML score evaluated through anchored residual sums, as a search
// scores its trials.
#include <vector>

#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"
#include "reml/criterion.h"
#include "reml/residual_sums.h"

namespace {

using velkan::py::ArgName;
using velkan::py::PyRef;

// reml_criterion_anchored(y, X, w, lambda_sets, penalties) -> ([score per lambda set],
// data passes): one ResidualSums anchored on make_reml_cache(y, X, w), shared by the
// scores at each set of smoothing parameters in turn.
PyObject* criterion_anchored_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    constexpr const char* fn = "reml_criterion_anchored";
    PyObject *yo, *xo, *wo, *lo, *po;
    if (!PyArg_ParseTuple(args, "OOOOO", &yo, &xo, &wo, &lo, &po)) return nullptr;
    auto y = velkan::py::as_vector(yo, ArgName{fn, "y"});
    if (!y) return nullptr;
    auto x = velkan::py::as_matrix(xo, ArgName{fn, "X"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(wo, ArgName{fn, "w"});
    if (!w) return nullptr;
    auto lambda_sets = velkan::py::as_matrix(lo, ArgName{fn, "lambda_sets"});
    if (!lambda_sets) return nullptr;
    auto penalties = velkan::py::as_matrix_list(po, ArgName{fn, "penalties"});
    if (!penalties) return nullptr;
    // The cache's contract leaves this check to its caller.
    if (x->rows != y->size || w->size != y->size)
      return velkan::py::raise_value_error("y, X and w must have the same number of rows");

    const velkan::RemlCache cache = velkan::make_reml_cache(*y, *x, *w);
    velkan::ResidualSums sums(*y, *x, *w, cache.xtwx, cache.xtwy, cache.ywy);
    PyRef scores(PyList_New(0));
    if (!scores) return nullptr;
    for (std::size_t i = 0; i < lambda_sets->rows; ++i) {
      std::vector<double> lambdas(lambda_sets->cols);
      for (std::size_t j = 0; j < lambdas.size(); ++j) lambdas[j] = (*lambda_sets)(i, j);
      auto score = velkan::reml_criterion_cached(*y, *x, *w, cache, lambdas, *penalties, sums);
      if (!score) return velkan::py::raise(score.error());
      PyRef value(PyFloat_FromDouble(*score));
      if (!value || PyList_Append(scores.get(), value.get()) != 0) return nullptr;
    }
    PyRef passes(PyLong_FromSize_t(sums.data_passes()));
    if (!passes) return nullptr;
    return PyTuple_Pack(2, scores.get(), passes.get());
  });
}

velkan::testing::Registrar reg{{
    {"reml_criterion_anchored", criterion_anchored_py, METH_VARARGS, nullptr},
}};

}  // namespace
