// The GAM type: a Python object owning one GamModel and its borrow flag.
//
// Every method follows one pattern, so that adding a method is one function plus one row
// of kMethods:
//   1. The whole body runs inside read_model() (shared access) or write_model()
//      (exclusive access). They take the borrow guard FIRST, before any argument is
//      looked at: converting a sequence item or a number may run Python code
//      (__index__, __float__) that calls back into this very object, and that inner
//      call must find the object busy. They also run the body inside guarded(), so no
//      C++ exception reaches the interpreter.
//   2. Bind the arguments with PyArg_ParseTupleAndKeywords, "O" items only, so each is
//      accepted positionally or by keyword, then convert each with support/convert.h;
//      is_none() marks an optional argument that takes its default. Arrays come last:
//      their views borrow the arrays' memory, and converting a sequence or a number may
//      run Python code that could resize an array already viewed.
//   3. Make one call into the core, inside without_gil() (released_gil.h) when it does
//      numerical work: other threads run meanwhile and Ctrl-C is noticed. The arrays the
//      core reads are pinned by a reference each for the whole call.
//   4. Report a failure through raise_failure() (a pending Python exception, from a
//      signal handler or from sys.stdout, wins over the core's error; otherwise GamError
//      or ModelError, verbatim display text) or raise_value_error() for the interface's
//      own messages; otherwise build the result (to_numpy() copies).
// Method table rows use with_signature() so that the stored doc string reads
// "<name>($self, ...)\n--\n\n<doc>", which CPython splits into __text_signature__
// and __doc__.
//
// A method with arguments looks like this:
//
//   PyObject* gam_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
//     return read_model(self, [&](const GamModel& model) -> PyObject* {
//       static const char* keywords[] = {"x", nullptr};
//       PyObject* x_obj = nullptr;
//       if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict",
//                                        const_cast<char**>(keywords), &x_obj))
//         return nullptr;
//       auto x = as_matrix(x_obj, {"predict", "x"});
//       if (!x) return nullptr;
//       const PyRef pin = PyRef::borrow(x_obj);
//       auto mu = without_gil([&] { return predict_gam(model, *x); });
//       if (!mu) return raise_failure(mu.error());
//       return to_numpy(*mu);
//     });
//   }
//   ... and in kMethods:
//   {"predict", method(gam_predict), METH_VARARGS | METH_KEYWORDS,
//    "predict($self, x)\n--\n\n"},
#include <new>
#include <optional>
#include <string>

#include "velkan_core/fit/family.h"
#include "velkan_core/fit/gam_fit.h"
#include "velkan_core/fit/model.h"
#include "velkan_core/python/module_parts.h"
#include "velkan_core/python/support/borrow.h"
#include "velkan_core/python/support/convert.h"
#include "velkan_core/python/support/errors.h"
#include "velkan_core/python/support/py_ref.h"
#include "bindings/released_gil.h"

namespace velkan::py {
namespace {

struct GamObject {
  PyObject_HEAD
  // Constructed in place by gam_new and destroyed by gam_dealloc.
  GamModel model;
  BorrowFlag borrow;
};

GamObject* as_gam(PyObject* self) { return reinterpret_cast<GamObject*>(self); }

// Runs `body(const GamModel&)` while the object is held for reading.
template <class F>
PyObject* read_model(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    BorrowGuard guard(as_gam(self)->borrow, Access::Shared);
    if (!guard) return nullptr;
    return body(static_cast<const GamModel&>(as_gam(self)->model));
  });
}

// Runs `body(GamModel&)` while the object is held exclusively.
template <class F>
PyObject* write_model(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    BorrowGuard guard(as_gam(self)->borrow, Access::Exclusive);
    if (!guard) return nullptr;
    return body(as_gam(self)->model);
  });
}

// Casts for the method table.
template <class F>
PyCFunction method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr const char* kNotFitted = "Model not fitted yet";

// ---- construction ----------------------------------------------------------------

// GAM(family=None). The family is fixed here for the object's life: the type has no
// __init__, so calling __init__ again on a live object cannot change it.
PyObject* gam_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"family", nullptr};
    PyObject* family_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:GAM", const_cast<char**>(keywords),
                                     &family_obj))
      return nullptr;
    Family family = Family::Gaussian;
    if (!is_none(family_obj)) {
      auto name = as_string(family_obj, {"GAM", "family"});
      if (!name) return nullptr;
      auto parsed = parse_family(*name);
      if (!parsed) {
        return raise_value_error("Unknown family '" + *name +
                                 "'. Use 'gaussian', 'binomial', 'poisson', or 'gamma'");
      }
      family = *parsed;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    // Placement construction of the C++ members cannot throw: an empty vector, empty
    // optionals and plain values.
    GamObject* obj = as_gam(self);
    new (&obj->model) GamModel();
    new (&obj->borrow) BorrowFlag();
    obj->model.family = family;
    return self;
  });
}

void gam_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  GamObject* obj = as_gam(self);
  obj->model.~GamModel();
  obj->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---- getters (shared access; each returns a fresh copy) ----------------------------

PyObject* gam_get_lambda(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    if (!m.lambdas) return raise_value_error(kNotFitted);
    if (m.lambdas->empty())
      return raise_value_error("The model has no smoothing parameters (it has no smooths)");
    return PyFloat_FromDouble((*m.lambdas)[0]);
  });
}

PyObject* gam_get_all_lambdas(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    if (!m.lambdas) return raise_value_error(kNotFitted);
    return to_numpy(*m.lambdas);
  });
}

PyObject* gam_get_fitted_values(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    if (!m.fitted_values) return raise_value_error(kNotFitted);
    return to_numpy(*m.fitted_values);
  });
}

PyObject* gam_get_family(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    return PyUnicode_FromString(family_name(m.family));
  });
}

PyObject* gam_get_coefficients(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    if (!m.coefficients) return raise_value_error(kNotFitted);
    return to_numpy(*m.coefficients);
  });
}

PyObject* gam_get_design_matrix(PyObject* self, PyObject*) {
  return read_model(self, [](const GamModel& m) -> PyObject* {
    if (!m.design_matrix) return raise_value_error(kNotFitted);
    return to_numpy(*m.design_matrix);
  });
}

// ---- configuring, fitting and predicting -------------------------------------------

// The arguments shared by the fit methods, converted in signature order. The views
// borrow the arrays' memory; `pins` holds a reference to each array for the whole call,
// so that neither can be freed, nor resized by NumPy (which refuses to resize an array
// referenced elsewhere), while the fit runs without the interpreter lock.
struct FitArgs {
  MatrixView x;
  VectorView y;
  std::optional<std::size_t> max_iter;
  PyRef pins[2];
};

// Converts x and y into views; called after every other argument is converted.
bool convert_fit_args(const char* fn, PyObject* x_obj, PyObject* y_obj, FitArgs& out) {
  auto x = as_matrix(x_obj, {fn, "x"});
  if (!x) return false;
  auto y = as_vector(y_obj, {fn, "y"});
  if (!y) return false;
  out.x = *x;
  out.y = *y;
  out.pins[0] = PyRef::borrow(x_obj);
  out.pins[1] = PyRef::borrow(y_obj);
  return true;
}

bool convert_max_iter(const char* fn, PyObject* obj, FitArgs& out) {
  if (is_none(obj)) return true;
  auto v = as_size(obj, {fn, "max_iter"});
  if (!v) return false;
  out.max_iter = *v;
  return true;
}

// Optional str argument: None or absent gives `fallback`.
std::optional<std::string> optional_string(const char* fn, const char* arg, PyObject* obj,
                                           const char* fallback) {
  if (is_none(obj)) return std::string(fallback);
  return as_string(obj, {fn, arg});
}

// {"lambda", ["all_lambdas",] "deviance", "fitted_values", "fitted"} from the stored results.
PyObject* fit_result(const GamModel& m, bool with_all_lambdas) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyRef lambda(to_numpy(*m.lambdas));
  if (!lambda || PyDict_SetItemString(dict.get(), "lambda", lambda.get()) < 0) return nullptr;
  // "all_lambdas" is the very same array object as "lambda".
  if (with_all_lambdas && PyDict_SetItemString(dict.get(), "all_lambdas", lambda.get()) < 0)
    return nullptr;
  PyRef deviance(PyFloat_FromDouble(*m.deviance));
  if (!deviance || PyDict_SetItemString(dict.get(), "deviance", deviance.get()) < 0)
    return nullptr;
  PyRef fitted(to_numpy(*m.fitted_values));
  if (!fitted || PyDict_SetItemString(dict.get(), "fitted_values", fitted.get()) < 0)
    return nullptr;
  if (PyDict_SetItemString(dict.get(), "fitted", Py_True) < 0) return nullptr;
  return dict.release();
}

// Issues one velkan_core.ConvergenceWarning per note of the fit just stored. False with
// the exception set when a warning filter turns a warning into an error; the stored
// results stay either way.
bool warn_convergence(PyObject* self, const GamModel& m) {
  if (m.convergence_notes.empty()) return true;
  PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
  if (!module) return false;
  PyRef category(PyObject_GetAttrString(module, "ConvergenceWarning"));
  if (!category) return false;
  for (const std::string& note : m.convergence_notes)
    if (PyErr_WarnEx(category.get(), note.c_str(), 1) < 0) return false;
  return true;
}

PyObject* gam_add_cubic_spline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_model(self, [&](GamModel& model) -> PyObject* {
    static const char* keywords[] = {"var_name", "num_basis", "x_min", "x_max", nullptr};
    PyObject *name_obj, *num_obj, *min_obj, *max_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:add_cubic_spline",
                                     const_cast<char**>(keywords), &name_obj, &num_obj,
                                     &min_obj, &max_obj))
      return nullptr;
    const char* fn = "add_cubic_spline";
    auto name = as_string(name_obj, {fn, "var_name"});
    if (!name) return nullptr;
    auto num = as_size(num_obj, {fn, "num_basis"});
    if (!num) return nullptr;
    auto lo = as_double(min_obj, {fn, "x_min"});
    if (!lo) return nullptr;
    auto hi = as_double(max_obj, {fn, "x_max"});
    if (!hi) return nullptr;
    if (auto ok = add_cubic_spline(model, std::move(*name), *num, *lo, *hi); !ok)
      return raise(ok.error());
    Py_RETURN_NONE;
  });
}

// fit and fit_auto_optimized: automatic setup, then the cached fit. Only fit has a default
// method; fit_auto_optimized requires a str, as fit_auto does.
PyObject* cached_fit(PyObject* self, PyObject* args, PyObject* kwargs, const char* fn,
                     const char* format, bool method_has_default) {
  return write_model(self, [&](GamModel& model) -> PyObject* {
    static const char* keywords[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
    PyObject *x_obj, *y_obj, *k_obj, *method_obj = nullptr, *bs_obj = nullptr,
             *iter_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     &x_obj, &y_obj, &k_obj, &method_obj, &bs_obj, &iter_obj))
      return nullptr;
    FitArgs a;
    auto k = as_sizes(k_obj, {fn, "k"});
    if (!k) return nullptr;
    auto method = method_has_default ? optional_string(fn, "method", method_obj, "REML")
                                     : as_string(method_obj, {fn, "method"});
    if (!method) return nullptr;
    auto bs = optional_string(fn, "bs", bs_obj, "bs");
    if (!bs) return nullptr;
    if (!convert_max_iter(fn, iter_obj, a)) return nullptr;
    if (!convert_fit_args(fn, x_obj, y_obj, a)) return nullptr;
    auto ok = without_gil([&]() -> ModelResult<void> {
      if (auto set = setup_auto(model, a.x, *k, *bs); !set) return set;
      return fit_gam(model, a.x, a.y, *method, a.max_iter, FitPath::Cached);
    });
    if (!ok) return raise_failure(ok.error());
    if (!warn_convergence(self, model)) return nullptr;
    return fit_result(model, /*with_all_lambdas=*/true);
  });
}

PyObject* gam_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return cached_fit(self, args, kwargs, "fit", "OOO|OOO:fit", /*method_has_default=*/true);
}

PyObject* gam_fit_auto_optimized(PyObject* self, PyObject* args, PyObject* kwargs) {
  return cached_fit(self, args, kwargs, "fit_auto_optimized", "OOOO|OO:fit_auto_optimized",
                    /*method_has_default=*/false);
}

PyObject* gam_fit_manual(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_model(self, [&](GamModel& model) -> PyObject* {
    static const char* keywords[] = {"x", "y", "method", "max_iter", nullptr};
    PyObject *x_obj, *y_obj, *method_obj, *iter_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:fit_manual", const_cast<char**>(keywords),
                                     &x_obj, &y_obj, &method_obj, &iter_obj))
      return nullptr;
    const char* fn = "fit_manual";
    FitArgs a;
    auto method = as_string(method_obj, {fn, "method"});
    if (!method) return nullptr;
    if (!convert_max_iter(fn, iter_obj, a)) return nullptr;
    if (!convert_fit_args(fn, x_obj, y_obj, a)) return nullptr;
    auto ok = without_gil(
        [&] { return fit_gam(model, a.x, a.y, *method, a.max_iter, FitPath::Plain); });
    if (!ok) return raise_failure(ok.error());
    if (!warn_convergence(self, model)) return nullptr;
    return fit_result(model, false);
  });
}

PyObject* gam_fit_auto(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_model(self, [&](GamModel& model) -> PyObject* {
    static const char* keywords[] = {"x", "y", "k", "method", "bs", "max_iter", nullptr};
    PyObject *x_obj, *y_obj, *k_obj, *method_obj, *bs_obj, *iter_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:fit_auto", const_cast<char**>(keywords),
                                     &x_obj, &y_obj, &k_obj, &method_obj, &bs_obj, &iter_obj))
      return nullptr;
    const char* fn = "fit_auto";
    FitArgs a;
    auto k = as_sizes(k_obj, {fn, "k"});
    if (!k) return nullptr;
    auto method = as_string(method_obj, {fn, "method"});
    if (!method) return nullptr;
    auto bs = optional_string(fn, "bs", bs_obj, "bs");
    if (!bs) return nullptr;
    if (!convert_max_iter(fn, iter_obj, a)) return nullptr;
    if (!convert_fit_args(fn, x_obj, y_obj, a)) return nullptr;
    auto ok = without_gil([&]() -> ModelResult<void> {
      if (auto set = setup_auto(model, a.x, *k, *bs); !set) return set;
      return fit_gam(model, a.x, a.y, *method, a.max_iter, FitPath::Plain);
    });
    if (!ok) return raise_failure(ok.error());
    if (!warn_convergence(self, model)) return nullptr;
    return fit_result(model, false);
  });
}

PyObject* gam_fit_formula(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_model(self, [&](GamModel& model) -> PyObject* {
    static const char* keywords[] = {"x", "y", "formula", "method", "max_iter", nullptr};
    PyObject *x_obj, *y_obj, *formula_obj, *method_obj, *iter_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:fit_formula",
                                     const_cast<char**>(keywords), &x_obj, &y_obj, &formula_obj,
                                     &method_obj, &iter_obj))
      return nullptr;
    const char* fn = "fit_formula";
    FitArgs a;
    auto formula = as_string(formula_obj, {fn, "formula"});
    if (!formula) return nullptr;
    auto method = as_string(method_obj, {fn, "method"});
    if (!method) return nullptr;
    if (!convert_max_iter(fn, iter_obj, a)) return nullptr;
    if (!convert_fit_args(fn, x_obj, y_obj, a)) return nullptr;
    auto ok = without_gil([&]() -> ModelResult<void> {
      if (auto set = setup_formula(model, a.x, *formula); !set) return set;
      return fit_gam(model, a.x, a.y, *method, a.max_iter, FitPath::Plain);
    });
    if (!ok) return raise_failure(ok.error());
    if (!warn_convergence(self, model)) return nullptr;
    return fit_result(model, false);
  });
}

PyObject* gam_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return read_model(self, [&](const GamModel& model) -> PyObject* {
    static const char* keywords[] = {"x", nullptr};
    PyObject* x_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:predict", const_cast<char**>(keywords),
                                     &x_obj))
      return nullptr;
    auto x = as_matrix(x_obj, {"predict", "x"});
    if (!x) return nullptr;
    const PyRef pin = PyRef::borrow(x_obj);
    auto mu = without_gil([&] { return predict_gam(model, *x); });
    if (!mu) return raise_failure(mu.error());
    return to_numpy(*mu);
  });
}

// ---- the type ------------------------------------------------------------------------

// In the order of the class's method table. The fitting methods (add_cubic_spline, the
// fit methods, predict) go before the getters.
PyMethodDef kMethods[] = {
    {"add_cubic_spline", method(gam_add_cubic_spline), METH_VARARGS | METH_KEYWORDS,
     "add_cubic_spline($self, var_name, num_basis, x_min, x_max)\n--\n\n"},
    {"fit", method(gam_fit), METH_VARARGS | METH_KEYWORDS,
     "fit($self, x, y, k, method=\"REML\", bs=None, max_iter=None)\n--\n\n"
     "Fit GAM with automatic smooth setup and all optimizations (recommended)\n"
     "\n"
     "This is the main fitting method with sensible defaults and best performance.\n"
     "It automatically sets up smooths for each column and uses all optimizations.\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    k: List of basis dimensions for each column (like k in velkan)\n"
     "    method: \"REML\" (default) or \"GCV\"\n"
     "    bs: Basis type: \"cr\" (cubic regression splines, default) or \"bs\" (B-splines)\n"
     "    max_iter: Maximum iterations (default: 10)\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit(X, y, k=[10, 15, 20])"},
    {"fit_manual", method(gam_fit_manual), METH_VARARGS | METH_KEYWORDS,
     "fit_manual($self, x, y, method, max_iter)\n--\n\n"
     "Low-level fit method for users who manually configure smooths\n"
     "\n"
     "Most users should use `fit()` instead, which provides automatic setup.\n"
     "This method is for advanced users who want full control over smooth configuration."},
    {"fit_auto", method(gam_fit_auto), METH_VARARGS | METH_KEYWORDS,
     "fit_auto($self, x, y, k, method, bs, max_iter)\n--\n\n"
     "Fit GAM with automatic smooth setup from k values\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    k: List of basis dimensions for each column (like k in velkan)\n"
     "    method: \"GCV\" or \"REML\"\n"
     "    bs: Basis type: \"bs\" (B-splines) or \"cr\" (cubic regression splines, velkan default)\n"
     "    max_iter: Maximum iterations\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit_auto(X, y, k=[10, 15, 20], method='REML', bs='cr')"},
    {"fit_auto_optimized", method(gam_fit_auto_optimized), METH_VARARGS | METH_KEYWORDS,
     "fit_auto_optimized($self, x, y, k, method, bs=None, max_iter=None)\n--\n\n"
     "Fit GAM with automatic smooth setup (optimized version with caching)\n"
     "\n"
     "Uses caching and improved algorithms for better performance"},
    {"fit_formula", method(gam_fit_formula), METH_VARARGS | METH_KEYWORDS,
     "fit_formula($self, x, y, formula, method, max_iter)\n--\n\n"
     "Fit GAM with formula-like syntax (velkan-style)\n"
     "\n"
     "Args:\n"
     "    x: Input data (n x d array)\n"
     "    y: Response variable (n array)\n"
     "    formula: Formula string like \"s(0, k=10) + s(1, k=15)\"\n"
     "    method: \"REML\" (default) or \"GCV\"\n"
     "    max_iter: Maximum iterations\n"
     "\n"
     "Example:\n"
     "    gam = GAM()\n"
     "    result = gam.fit_formula(X, y, formula=\"s(0, k=10) + s(1, k=15)\", method='REML')"},
    {"predict", method(gam_predict), METH_VARARGS | METH_KEYWORDS, "predict($self, x)\n--\n\n"},
    {"get_lambda", method(gam_get_lambda), METH_NOARGS, "get_lambda($self)\n--\n\n"},
    {"get_all_lambdas", method(gam_get_all_lambdas), METH_NOARGS,
     "get_all_lambdas($self)\n--\n\nGet all smoothing parameters (for multi-variable GAMs)"},
    {"get_fitted_values", method(gam_get_fitted_values), METH_NOARGS,
     "get_fitted_values($self)\n--\n\n"},
    {"get_family", method(gam_get_family), METH_NOARGS,
     "get_family($self)\n--\n\nGet the family (distribution) used by this GAM"},
    {"get_coefficients", method(gam_get_coefficients), METH_NOARGS,
     "get_coefficients($self)\n--\n\nGet the fitted coefficients"},
    {"get_design_matrix", method(gam_get_design_matrix), METH_NOARGS,
     "get_design_matrix($self)\n--\n\nGet the design matrix (predictor matrix)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("GAM(family=None)\n--\n\nPython wrapper for GAM")},
    {Py_tp_new, reinterpret_cast<void*>(&gam_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gam_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velkan_core.GAM",
    static_cast<int>(sizeof(GamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

int add_gam_type(PyObject* module) {
  // One type object per module object, as multi-phase initialisation expects.
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (!type) return -1;
  const int rc = PyModule_AddObjectRef(module, "GAM", type);
  Py_DECREF(type);
  return rc;
}

}  // namespace velkan::py
