// Test access to smooth construction: penalties, the two bases, the formula grammar and
// the setup of smooth lists.
#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "diag/clock.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"
#include "smooth/bspline.h"
#include "smooth/cubic_regression_spline.h"
#include "smooth/formula.h"
#include "smooth/penalty.h"
#include "smooth/setup.h"

namespace {

using velkan::Matrix;
using velkan::SmoothTerm;
using velkan::Vector;
using velkan::py::ArgName;
using velkan::py::guarded;
using velkan::py::PyRef;

// Deeper recursions are exponential in cost and of no use to the tests.
constexpr std::size_t kMaxTestDegree = 8;

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// {"name", "column", "kind", "num_basis", "width", "knots", "penalty", "lambda",
//  "has_constraint"} and, when `points` is given, "values" (the evaluated basis) and
// "into" (the same by evaluate_into), and for a B-spline "reference" and "full_knots".
PyObject* summary(const SmoothTerm& term, PyObject* points, const char* fn) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const velkan::SplineBasis* basis = term.basis.get();
  const char* kind = dynamic_cast<const velkan::BSplineBasis*>(basis)            ? "bs"
                     : dynamic_cast<const velkan::CubicRegressionSpline*>(basis) ? "cr"
                                                                                 : "?";
  const auto name_size = static_cast<Py_ssize_t>(term.name.size());
  if (!set_item(dict.get(), "name", PyUnicode_FromStringAndSize(term.name.data(), name_size)) ||
      !set_item(dict.get(), "column", PyLong_FromSize_t(term.column)) ||
      !set_item(dict.get(), "kind", PyUnicode_FromString(kind)) ||
      !set_item(dict.get(), "num_basis", PyLong_FromSize_t(term.basis->num_basis())) ||
      !set_item(dict.get(), "width", PyLong_FromSize_t(term.width())) ||
      !set_item(dict.get(), "knots", velkan::py::to_numpy(Vector::from(term.basis->knots()))) ||
      !set_item(dict.get(), "penalty", velkan::py::to_numpy(term.penalty)) ||
      !set_item(dict.get(), "lambda", PyFloat_FromDouble(term.lambda)) ||
      !set_item(dict.get(), "has_constraint", PyBool_FromLong(term.constraint.has_value()))) {
    return nullptr;
  }
  if (!velkan::py::is_none(points)) {
    auto xv = velkan::py::as_vector(points, ArgName{fn, "points"});
    if (!xv) return nullptr;
    auto values = term.basis->evaluate(*xv);
    if (!values) return velkan::py::raise(values.error());
    if (!set_item(dict.get(), "values", velkan::py::to_numpy(*values))) return nullptr;
    // The same through evaluate_into(), in a wider NaN-filled block (as inside a design
    // matrix); "into" is its first k columns.
    const std::size_t k = term.basis->num_basis();
    Matrix wide(xv->size, k + 3, std::numeric_limits<double>::quiet_NaN());
    if (auto ok = term.basis->evaluate_into(*xv, wide.data(), wide.cols()); !ok) {
      return velkan::py::raise(ok.error());
    }
    Matrix into(xv->size, k);
    for (std::size_t i = 0; i < xv->size; ++i) {
      for (std::size_t j = 0; j < k; ++j) into(i, j) = wide(i, j);
    }
    if (!set_item(dict.get(), "into", velkan::py::to_numpy(into))) return nullptr;
    if (const auto* bs = dynamic_cast<const velkan::BSplineBasis*>(term.basis.get())) {
      if (!set_item(dict.get(), "reference", velkan::py::to_numpy(bs->evaluate_reference(*xv))) ||
          !set_item(dict.get(), "full_knots",
                    velkan::py::to_numpy(Vector(std::vector<double>(bs->full_knots().begin(),
                                                                    bs->full_knots().end()))))) {
        return nullptr;
      }
    }
  }
  return dict.release();
}

PyObject* term_result(velkan::Result<SmoothTerm> term, PyObject* points, const char* fn) {
  if (!term) return velkan::py::raise(term.error());
  return summary(*term, points, fn);
}

// smooth_penalty(basis_type, num_basis, knots): knots may be strided.
PyObject* smooth_penalty(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *type_o, *k_o, *knots_o;
    if (!PyArg_ParseTuple(args, "OOO", &type_o, &k_o, &knots_o)) return nullptr;
    auto type = velkan::py::as_string(type_o, ArgName{"smooth_penalty", "basis_type"});
    if (!type) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_penalty", "num_basis"});
    if (!k) return nullptr;
    auto knots = velkan::py::as_vector(knots_o, ArgName{"smooth_penalty", "knots"});
    if (!knots) return nullptr;
    auto s = velkan::compute_penalty_matrix(*type, *k, *knots);
    if (!s) return velkan::py::raise(s.error());
    return velkan::py::to_numpy(*s);
  });
}

// smooth_cr_term(k, x_min, x_max, points=None) -> summary dict.
PyObject* smooth_cr_term(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *k_o, *lo_o, *hi_o, *points = nullptr;
    if (!PyArg_ParseTuple(args, "OOO|O", &k_o, &lo_o, &hi_o, &points)) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_cr_term", "k"});
    if (!k) return nullptr;
    auto lo = velkan::py::as_double(lo_o, ArgName{"smooth_cr_term", "x_min"});
    if (!lo) return nullptr;
    auto hi = velkan::py::as_double(hi_o, ArgName{"smooth_cr_term", "x_max"});
    if (!hi) return nullptr;
    return term_result(velkan::new_cr_smooth("cr", *k, *lo, *hi), points, "smooth_cr_term");
  });
}

// smooth_cr_evaluate_knots(knots, points): the basis class on arbitrary knots (any k).
PyObject* smooth_cr_evaluate_knots(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *knots_o, *points_o;
    if (!PyArg_ParseTuple(args, "OO", &knots_o, &points_o)) return nullptr;
    auto knots = velkan::py::as_vector(knots_o, ArgName{"smooth_cr_evaluate_knots", "knots"});
    if (!knots) return nullptr;
    auto points = velkan::py::as_vector(points_o, ArgName{"smooth_cr_evaluate_knots", "points"});
    if (!points) return nullptr;
    const velkan::CubicRegressionSpline basis(Vector::from(*knots));
    auto values = basis.evaluate(*points);
    if (!values) return velkan::py::raise(values.error());
    return velkan::py::to_numpy(*values);
  });
}

// smooth_bs_term(k, data, points=None) -> summary dict (with "reference" and
// "full_knots" when points are given).
PyObject* smooth_bs_term(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *k_o, *data_o, *points = nullptr;
    if (!PyArg_ParseTuple(args, "OO|O", &k_o, &data_o, &points)) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_bs_term", "k"});
    if (!k) return nullptr;
    auto data = velkan::py::as_vector(data_o, ArgName{"smooth_bs_term", "data"});
    if (!data) return nullptr;
    return term_result(velkan::new_bs_smooth("bs", *k, *data), points, "smooth_bs_term");
  });
}

// smooth_bs_even_term(num_basis, x_min, x_max, points=None): the hand-configured spline.
PyObject* smooth_bs_even_term(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *k_o, *lo_o, *hi_o, *points = nullptr;
    if (!PyArg_ParseTuple(args, "OOO|O", &k_o, &lo_o, &hi_o, &points)) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_bs_even_term", "num_basis"});
    if (!k) return nullptr;
    auto lo = velkan::py::as_double(lo_o, ArgName{"smooth_bs_even_term", "x_min"});
    if (!lo) return nullptr;
    auto hi = velkan::py::as_double(hi_o, ArgName{"smooth_bs_even_term", "x_max"});
    if (!hi) return nullptr;
    return term_result(velkan::new_bs_smooth_even_knots("bs", *k, *lo, *hi), points,
                       "smooth_bs_even_term");
  });
}

// smooth_bs_knots_term(k, knots, points=None): a bs smooth on given stored knots.
PyObject* smooth_bs_knots_term(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *k_o, *knots_o, *points = nullptr;
    if (!PyArg_ParseTuple(args, "OO|O", &k_o, &knots_o, &points)) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_bs_knots_term", "k"});
    if (!k) return nullptr;
    auto knots = velkan::py::as_vector(knots_o, ArgName{"smooth_bs_knots_term", "knots"});
    if (!knots) return nullptr;
    return term_result(velkan::new_bs_smooth_from_knots("bs", *k, Vector::from(*knots)), points,
                       "smooth_bs_knots_term");
  });
}

// smooth_bspline_value(i, d, t, x): the reference Cox-de Boor recursion.
PyObject* smooth_bspline_value(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *i_o, *d_o, *t_o;
    double x = 0;
    if (!PyArg_ParseTuple(args, "OOOd", &i_o, &d_o, &t_o, &x)) return nullptr;
    auto i = velkan::py::as_size(i_o, ArgName{"smooth_bspline_value", "i"});
    if (!i) return nullptr;
    auto d = velkan::py::as_size(d_o, ArgName{"smooth_bspline_value", "d"});
    if (!d) return nullptr;
    if (*d > kMaxTestDegree) return velkan::py::raise_value_error("degree too large");
    auto t = velkan::py::as_vector(t_o, ArgName{"smooth_bspline_value", "t"});
    if (!t) return nullptr;
    const Vector knots = Vector::from(*t);
    return PyFloat_FromDouble(velkan::bspline_value(*i, *d, knots.span(), x));
  });
}

// smooth_parse_formula(formula) -> [(column, k), ...] or ValueError with the exact text.
PyObject* smooth_parse_formula(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* f_o;
    if (!PyArg_ParseTuple(args, "O", &f_o)) return nullptr;
    auto formula = velkan::py::as_string(f_o, ArgName{"smooth_parse_formula", "formula"});
    if (!formula) return nullptr;
    auto terms = velkan::parse_formula(*formula);
    if (!terms) return velkan::py::raise(terms.error());
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& t : *terms) {
      PyRef item(Py_BuildValue("(KK)", static_cast<unsigned long long>(t.column),
                               static_cast<unsigned long long>(t.k)));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

// (message or None, [summary, ...]) for a setup that started from a list holding one
// earlier term named "old".
PyObject* setup_outcome(const velkan::ModelResult<void>& r, const std::vector<SmoothTerm>& terms) {
  PyRef message;
  if (r) {
    message = PyRef::borrow(Py_None);
  } else {
    const auto* usage = std::get_if<velkan::UsageError>(&r.error());
    const std::string text =
        usage ? usage->message : std::get<velkan::GamError>(r.error()).display();
    message = PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) return nullptr;
  }
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& term : terms) {
    PyRef item(summary(term, nullptr, "setup"));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return PyTuple_Pack(2, message.get(), list.get());
}

std::vector<SmoothTerm> earlier_list() {
  std::vector<SmoothTerm> terms;
  auto old = velkan::new_cr_smooth("old", 4, 0.0, 1.0);
  if (old) terms.push_back(std::move(*old));
  return terms;
}

// smooth_auto_setup(x, k, basis) -> (message or None, summaries).
PyObject* smooth_auto_setup(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *x_o, *k_o, *b_o;
    if (!PyArg_ParseTuple(args, "OOO", &x_o, &k_o, &b_o)) return nullptr;
    auto x = velkan::py::as_matrix(x_o, ArgName{"smooth_auto_setup", "x"});
    if (!x) return nullptr;
    auto k = velkan::py::as_sizes(k_o, ArgName{"smooth_auto_setup", "k"});
    if (!k) return nullptr;
    auto basis = velkan::py::as_string(b_o, ArgName{"smooth_auto_setup", "basis"});
    if (!basis) return nullptr;
    std::vector<SmoothTerm> terms = earlier_list();
    const auto r = velkan::auto_setup(terms, *x, *k, *basis);
    return setup_outcome(r, terms);
  });
}

// smooth_formula_setup(x, formula) -> (message or None, summaries): parse, then build.
PyObject* smooth_formula_setup(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *x_o, *f_o;
    if (!PyArg_ParseTuple(args, "OO", &x_o, &f_o)) return nullptr;
    auto x = velkan::py::as_matrix(x_o, ArgName{"smooth_formula_setup", "x"});
    if (!x) return nullptr;
    auto formula = velkan::py::as_string(f_o, ArgName{"smooth_formula_setup", "formula"});
    if (!formula) return nullptr;
    std::vector<SmoothTerm> terms = earlier_list();
    auto parsed = velkan::parse_formula(*formula);
    if (!parsed) return setup_outcome(std::unexpected(parsed.error()), terms);
    const auto r = velkan::formula_setup(terms, *x, *parsed);
    return setup_outcome(r, terms);
  });
}

// smooth_time_evaluate(kind, k, data, points, repeats) -> (build_ms, evaluate_ms,
// into_ms, alloc_ms): wall times inside the core of building a "cr" / "bs" smooth from
// `data`, of evaluate() at `points` (a new n x k matrix each time), of evaluate_into() an
// already written n x k buffer, and of allocating a zero n x k Matrix alone (the part of
// evaluate() that is memory allocation). The lists hold one time per repeat.
PyObject* smooth_time_evaluate(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* kind = nullptr;
    PyObject *k_o, *data_o, *points_o, *rep_o;
    if (!PyArg_ParseTuple(args, "sOOOO", &kind, &k_o, &data_o, &points_o, &rep_o)) return nullptr;
    auto k = velkan::py::as_size(k_o, ArgName{"smooth_time_evaluate", "k"});
    if (!k) return nullptr;
    auto data = velkan::py::as_vector(data_o, ArgName{"smooth_time_evaluate", "data"});
    if (!data) return nullptr;
    auto points = velkan::py::as_vector(points_o, ArgName{"smooth_time_evaluate", "points"});
    if (!points) return nullptr;
    auto repeats = velkan::py::as_size(rep_o, ArgName{"smooth_time_evaluate", "repeats"});
    if (!repeats) return nullptr;
    if (data->size == 0) return velkan::py::raise_value_error("empty data");
    velkan::diag::Timer timer;
    velkan::Result<SmoothTerm> term = velkan::fail(velkan::GamError::invalid_parameter("kind"));
    if (std::string(kind) == "cr") {
      double lo = (*data)[0], hi = (*data)[0];
      for (std::size_t i = 0; i < data->size; ++i) {
        lo = std::min(lo, (*data)[i]);
        hi = std::max(hi, (*data)[i]);
      }
      term = velkan::new_cr_smooth("cr", *k, lo, hi);
    } else {
      term = velkan::new_bs_smooth("bs", *k, *data);
    }
    const double build_ms = timer.elapsed_ms();
    if (!term) return velkan::py::raise(term.error());
    const std::size_t width = term->basis->num_basis();
    PyRef evaluate_ms(PyList_New(0)), into_ms(PyList_New(0)), alloc_ms(PyList_New(0));
    if (!evaluate_ms || !into_ms || !alloc_ms) return nullptr;
    auto append = [](PyObject* list, double v) {
      PyRef item(PyFloat_FromDouble(v));
      return item && PyList_Append(list, item.get()) == 0;
    };
    Matrix buffer(points->size, width, 1.0);
    for (std::size_t r = 0; r < *repeats; ++r) {
      timer.restart();
      auto values = term->basis->evaluate(*points);
      if (!append(evaluate_ms.get(), timer.elapsed_ms())) return nullptr;
      if (!values) return velkan::py::raise(values.error());
      timer.restart();
      auto ok = term->basis->evaluate_into(*points, buffer.data(), width);
      if (!append(into_ms.get(), timer.elapsed_ms())) return nullptr;
      if (!ok) return velkan::py::raise(ok.error());
      timer.restart();
      Matrix zero(points->size, width);
      if (!append(alloc_ms.get(), timer.elapsed_ms())) return nullptr;
    }
    return Py_BuildValue("(dOOO)", build_ms, evaluate_ms.get(), into_ms.get(), alloc_ms.get());
  });
}

velkan::testing::Registrar reg{{
    {"smooth_time_evaluate", smooth_time_evaluate, METH_VARARGS, nullptr},
    {"smooth_penalty", smooth_penalty, METH_VARARGS, nullptr},
    {"smooth_cr_term", smooth_cr_term, METH_VARARGS, nullptr},
    {"smooth_cr_evaluate_knots", smooth_cr_evaluate_knots, METH_VARARGS, nullptr},
    {"smooth_bs_term", smooth_bs_term, METH_VARARGS, nullptr},
    {"smooth_bs_even_term", smooth_bs_even_term, METH_VARARGS, nullptr},
    {"smooth_bs_knots_term", smooth_bs_knots_term, METH_VARARGS, nullptr},
    {"smooth_bspline_value", smooth_bspline_value, METH_VARARGS, nullptr},
    {"smooth_parse_formula", smooth_parse_formula, METH_VARARGS, nullptr},
    {"smooth_auto_setup", smooth_auto_setup, METH_VARARGS, nullptr},
    {"smooth_formula_setup", smooth_formula_setup, METH_VARARGS, nullptr},
}};

}  // namespace
