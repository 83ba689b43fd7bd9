// newton_pirls_py: the Newton-PIRLS search over log smoothing parameters on caller-supplied
// data and penalties, returned as a 6-tuple.
#include <string>

#include "velkan_core/fit/problem_size.h"
#include "velkan_core/python/module_parts.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"
#include "velkan_core/python/support/py_ref.h"
#include "bindings/released_gil.h"
#include "velkan_core/search/newton_pirls.h"

namespace velkan::py {
namespace {

constexpr const char* kName = "newton_pirls_py";

PyObject* newton_pirls_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"y",         "x",        "w",        "initial_log_lambda",
                                     "penalties", "max_iter", "grad_tol", "verbose",
                                     nullptr};
    PyObject *y_obj, *x_obj, *w_obj, *init_obj, *pen_obj, *iter_obj, *tol_obj, *verbose_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOO:newton_pirls_py",
                                     const_cast<char**>(keywords), &y_obj, &x_obj, &w_obj,
                                     &init_obj, &pen_obj, &iter_obj, &tol_obj, &verbose_obj))
      return nullptr;
    // Everything that may run Python code (the penalty sequence, max_iter's __index__,
    // grad_tol's __float__) before the arrays, whose views borrow their memory.
    auto penalties = as_matrix_list(pen_obj, {kName, "penalties"});
    if (!penalties) return nullptr;
    // None keeps the default of each option.
    NewtonPirlsOptions options;
    if (!is_none(iter_obj)) {
      auto v = as_size(iter_obj, {kName, "max_iter"});
      if (!v) return nullptr;
      options.max_iter = *v;
    }
    if (!is_none(tol_obj)) {
      auto v = as_double(tol_obj, {kName, "grad_tol"});
      if (!v) return nullptr;
      options.grad_tol = *v;
    }
    if (!is_none(verbose_obj)) {
      auto v = as_bool(verbose_obj, {kName, "verbose"});
      if (!v) return nullptr;
      options.verbose = *v;
    }
    auto y = as_vector(y_obj, {kName, "y"});
    if (!y) return nullptr;
    auto x = as_matrix(x_obj, {kName, "x"});
    if (!x) return nullptr;
    auto w = as_vector(w_obj, {kName, "w"});
    if (!w) return nullptr;
    auto init = as_vector(init_obj, {kName, "initial_log_lambda"});
    if (!init) return nullptr;

    if (auto ok = check_problem_size(x->rows, x->cols, penalties->size()); !ok)
      return raise(ok.error(), "Newton-PIRLS optimization failed: ");
    // The arrays stay pinned while the search runs without the interpreter lock.
    const PyRef pins[4] = {PyRef::borrow(y_obj), PyRef::borrow(x_obj), PyRef::borrow(w_obj),
                           PyRef::borrow(init_obj)};
    auto result = without_gil([&] { return newton_pirls(*y, *x, *w, *init, *penalties, options); });
    if (!result) return raise_failure(result.error(), "Newton-PIRLS optimization failed: ");

    return tuple_of({
        to_numpy(result->log_lambda),
        to_numpy(result->lambda),
        PyFloat_FromDouble(result->reml),
        PyLong_FromSize_t(result->iterations),
        PyBool_FromLong(result->converged),
        PyUnicode_FromStringAndSize(result->message.data(),
                                    static_cast<Py_ssize_t>(result->message.size())),
    });
  });
}

}  // namespace

std::vector<PyMethodDef> newton_pirls_functions() {
  return {
      {kName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(newton_pirls_py)),
       METH_VARARGS | METH_KEYWORDS,
       "newton_pirls_py(y, x, w, initial_log_lambda, penalties, max_iter, grad_tol, verbose)\n"
       "--\n\n"},
  };
}

}  // namespace velkan::py
