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
//      is_none() marks an optional argument that takes its default.
//   3. Make one call into the core.
//   4. Report a failure through raise() (GamError or ModelError, verbatim display text)
//      or raise_value_error() for the interface's own messages; otherwise build the
//      result (to_numpy() copies).
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
//       auto mu = predict(model, *x);
//       if (!mu) return raise(mu.error());
//       return to_numpy(*mu);
//     });
//   }
//   ... and in kMethods:
//   {"predict", method(gam_predict), METH_VARARGS | METH_KEYWORDS,
//    "predict($self, x)\n--\n\n"},
#include <new>
#include <string>

#include "fit/family.h"
#include "fit/model.h"
#include "python/module_parts.h"
#include "python/support/borrow.h"
#include "python/support/convert.h"
#include "python/support/errors.h"

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

// ---- the type ------------------------------------------------------------------------

// In the order of the class's method table. The fitting methods (add_cubic_spline, the
// fit methods, predict) go before the getters.
PyMethodDef kMethods[] = {
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
