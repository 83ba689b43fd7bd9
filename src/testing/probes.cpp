// Test access that is more than a call: the argument converters, the number formats and
// the diagnostic switches, the error values and their translation, the C++ exception
// backstop, the borrow flag, and the Newton search over an objective written in Python.
#include <new>
#include <stdexcept>

#include "diag/env.h"
#include "diag/format.h"
#include "velkan_core/python/support/borrow.h"
#include "testing/binding.h"
#include "velkan_core/search/newton.h"

namespace velkan::testing {
namespace {

std::optional<diag::Switch> switch_named(const std::string& n) {
  using diag::Switch;
  if (n == "profile") return Switch::Profile;
  if (n == "grad") return Switch::GradDebug;
  if (n == "hess") return Switch::HessDebug;
  if (n == "trace") return Switch::TraceDebug;
  return std::nullopt;
}

// format_template(template, values): each value a float, int, bool, str or list of floats
// (at most four).
PyObject* format_template(std::string tmpl, PyObject* values) {
  if (!PyList_Check(values) || PyList_GET_SIZE(values) > 4)
    return py::raise_value_error("a list of at most 4");
  std::vector<std::vector<double>> vecs;
  std::vector<std::string> strs;
  vecs.reserve(4), strs.reserve(4);  // items point into them
  std::vector<diag::FormatArg> items;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
    PyObject* v = PyList_GET_ITEM(values, i);
    if (PyBool_Check(v)) {
      items.emplace_back(v == Py_True);
    } else if (PyLong_Check(v)) {
      // Negative values as signed, the rest as unsigned (the full u64 range).
      int overflow = 0;
      const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow == 0 && s < 0) {
        items.emplace_back(s);
      } else {
        const unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (PyErr_Occurred()) return nullptr;
        items.emplace_back(u);
      }
    } else if (PyFloat_Check(v)) {
      items.emplace_back(PyFloat_AsDouble(v));
    } else if (PyUnicode_Check(v)) {
      const char* text = PyUnicode_AsUTF8(v);
      if (!text) return nullptr;
      items.emplace_back(std::string_view(strs.emplace_back(text)));
    } else {
      auto f = py::as_floats(v, {"format_template", "values"});
      if (!f) return nullptr;
      items.emplace_back(std::span<const double>(vecs.emplace_back(std::move(*f))));
    }
  }
  const std::size_t n = items.size();
  const auto& a = items;
  const std::string out = n == 0   ? diag::format(tmpl, {})
                          : n == 1 ? diag::format(tmpl, {a[0]})
                          : n == 2 ? diag::format(tmpl, {a[0], a[1]})
                          : n == 3 ? diag::format(tmpl, {a[0], a[1], a[2]})
                                   : diag::format(tmpl, {a[0], a[1], a[2], a[3]});
  return to_python(out);
}

GamError error_of(std::size_t kind, std::string payload) {
  if (kind > 5) return GamError::invalid_parameter("variant index must be 0..5");
  GamError e(static_cast<GamErrorKind>(kind), std::move(payload));
  return e.kind() == GamErrorKind::SingularMatrix ? GamError::singular_matrix() : e;
}

// The Python exception pending now, as an error value carrying its text.
GamError take_error() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyRef t(type), v(value), b(tb);
  std::string msg = "Python callback failed";
  if (v) {
    PyRef s(PyObject_Str(v.get()));
    const char* c = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (c) msg = c;
    PyErr_Clear();
  }
  return GamError::invalid_parameter(msg);
}

// An objective whose pieces are Python callables of a 1-D array of lambdas; a Python
// exception inside one becomes an InvalidParameter error carrying its text.
class PythonObjective final : public NewtonObjective {
 public:
  PythonObjective(PyObject* score, PyObject* grad, PyObject* grad_uncached, PyObject* hess)
      : score_(score), grad_(grad), grad_uncached_(grad_uncached), hess_(hess) {}

  Result<double> score(std::span<const double> l) override {
    PyRef r = call(score_, l);
    const double v = r ? PyFloat_AsDouble(r.get()) : -1.0;
    if (v == -1.0 && PyErr_Occurred()) return fail(take_error());
    return v;
  }
  Result<Vector> gradient(std::span<const double> l) override { return vector(grad_, l); }
  Result<Vector> gradient_uncached(std::span<const double> l) override { return vector(grad_uncached_, l); }
  Result<Matrix> hessian(std::span<const double> l) override {
    PyRef r = call(hess_, l);
    Matrix m;
    if (!r || !from_python(r.get(), {"hessian", "result"}, m)) return fail(take_error());
    return m;
  }

 private:
  static PyRef call(PyObject* fn, std::span<const double> l) {
    PyRef arr(to_python(Vector(std::vector<double>(l.begin(), l.end()))));
    return arr ? PyRef(PyObject_CallOneArg(fn, arr.get())) : PyRef();
  }
  static Result<Vector> vector(PyObject* fn, std::span<const double> l) {
    PyRef r = call(fn, l);
    Vector v;
    if (!r || !from_python(r.get(), {"gradient", "result"}, v)) return fail(take_error());
    return v;
  }
  PyObject* score_;
  PyObject* grad_;
  PyObject* grad_uncached_;
  PyObject* hess_;
};

void define() {
  // One converter each, as argument 'arg' of the binding; views come back as copies.
  def("conv_matrix", [](Matrix m) { return m; });
  def("conv_vector", [](Vector v) { return v; });
  def("conv_sizes", [](std::vector<std::size_t> v) { return v; });
  def("conv_floats", [](std::vector<double> v) { return Vector(std::move(v)); });
  def("conv_matrix_list", [](std::vector<Matrix> v) { return v; });
  def("conv_string", [](std::string v) { return v; });
  def("conv_size", [](std::size_t v) { return v; });
  def("conv_double", [](double v) { return v; });
  def("conv_bool", [](bool v) { return v; });

  // kind "shortest", "fixed" or "exp".
  def("format_number", [](std::string kind, double value,
                          std::optional<std::size_t> precision) -> PyObject* {
    const int p = static_cast<int>(precision.value_or(0));
    if (kind == "shortest") return to_python(diag::format_shortest(value));
    if (kind == "fixed") return to_python(diag::format_fixed(value, p));
    if (kind == "exp") return to_python(diag::format_exp(value, p));
    return py::raise_value_error("unknown kind");
  });
  def("format_template", format_template);
  // name "profile", "grad", "hess" or "trace".
  def("switch_enabled", [](std::string name) -> PyObject* {
    auto s = switch_named(name);
    return s ? to_python(diag::enabled(*s)) : py::raise_value_error("unknown switch");
  });

  // Error values (kind: the variant index 0..5) and their translation.
  def("gam_error_render", [](std::size_t kind, std::string payload) {
    const GamError e = error_of(kind, std::move(payload));
    return std::tuple{e.display(), e.debug()};
  });
  def("raise_gam_error", [](std::size_t kind, std::string payload, std::optional<std::string> prefix) {
    return py::raise(ModelError{error_of(kind, std::move(payload))}, prefix.value_or(""));
  });
  def("raise_usage_error", [](std::string message) { return py::raise(ModelError{UsageError{message}}); });
  // The one failure no small input produces: a dimension beyond LAPACK's 32-bit integers.
  def("linalg_failure_invalid_shape", [] { return LinalgFailure::invalid_shape().debug(); });
  // A binding body that throws, or fails without setting an error, inside the backstop.
  def("guarded_throw", [](std::string what) -> PyObject* {
    if (what == "bad_alloc") throw std::bad_alloc();
    if (what == "runtime_error") throw std::runtime_error("boom");
    if (what == "int") throw 42;
    if (what == "null") return nullptr;
    if (what == "value_and_error") PyErr_SetString(PyExc_ValueError, "pending");
    return Py_NewRef(Py_None);
  });
  // borrow_nested(outer, inner): takes `outer` then `inner` ("shared" / "exclusive") on
  // one flag -> (message of the inner conflict or None, whether the flag is free again).
  def("borrow_nested", [](std::string outer, std::string inner) -> PyObject* {
    auto access = [](const std::string& s) {
      return s == "exclusive" ? py::Access::Exclusive : py::Access::Shared;
    };
    py::BorrowFlag flag;
    PyRef message = PyRef::borrow(Py_None);
    {
      py::BorrowGuard first(flag, access(outer));
      if (!first) return nullptr;
      py::BorrowGuard second(flag, access(inner));
      if (!second) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return nullptr;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyRef t(type), v(value), b(tb);
        message = PyRef(PyObject_Str(v.get()));
        if (!message) return nullptr;
      }
    }
    return py::tuple_of({message.release(), to_python(flag.free())});
  });
  // search_newton_objective(score, gradient, gradient_uncached, hessian, initial) -> lambda
  def("search_newton_objective", [](PyObject* score, PyObject* grad, PyObject* grad_u, PyObject* hess,
                                    Vector initial) {
    PythonObjective objective(score, grad, grad_u, hess);
    return newton_search(objective, initial);
  });
}

Definitions defs{define};

}  // namespace
}  // namespace velkan::testing
