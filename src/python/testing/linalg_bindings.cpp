// Test access to the dense linear algebra layer. Each wrapper converts NumPy arrays to
// views (any strides), calls one core operation and returns NumPy copies. GamError is
// raised through the binding's translation point; a LinalgFailure is raised as
// ValueError carrying its debug rendering. Product wrappers check the shapes the core
// leaves to its callers.
#include <cstdint>
#include <string>

#include "linalg/dense_solve.h"
#include "linalg/factorizations.h"
#include "linalg/linalg_failure.h"
#include "linalg/products.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/numpy_api.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"

namespace {

using velkan::Matrix;
using velkan::MatrixView;
using velkan::Vector;
using velkan::VectorView;
using velkan::py::ArgName;
using velkan::py::PyRef;
using velkan::py::raise;
using velkan::py::raise_value_error;
using velkan::py::to_numpy;

PyObject* raise_failure(const velkan::LinalgFailure& f) { return raise_value_error(f.debug()); }

// A one-character triangle letter from a Python str (other lengths are passed as '?').
std::optional<char> letter(PyObject* obj, ArgName name) {
  auto s = velkan::py::as_string(obj, name);
  if (!s) return std::nullopt;
  return s->size() == 1 ? (*s)[0] : '?';
}

PyObject* solve_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &b_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_solve", "a"});
    if (!a) return nullptr;
    auto b = velkan::py::as_vector(b_obj, ArgName{"linalg_solve", "b"});
    if (!b) return nullptr;
    auto x = velkan::solve(Matrix::from(*a), Vector::from(*b));
    if (!x) return raise(x.error());
    return to_numpy(*x);
  });
}

// One-matrix operations returning a GamError-carrying result.
template <class F>
PyObject* unary_dense(PyObject* args, const char* fname, F op) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{fname, "a"});
    if (!a) return nullptr;
    auto r = op(*a);
    if (!r) return raise(r.error());
    if constexpr (std::is_same_v<std::decay_t<decltype(*r)>, double>) {
      return PyFloat_FromDouble(*r);
    } else {
      return to_numpy(*r);
    }
  });
}

PyObject* inverse_py(PyObject*, PyObject* args) {
  return unary_dense(args, "linalg_inverse", [](MatrixView a) { return velkan::inverse(a); });
}
PyObject* determinant_py(PyObject*, PyObject* args) {
  return unary_dense(args, "linalg_determinant",
                     [](MatrixView a) { return velkan::determinant(a); });
}
PyObject* log_determinant_py(PyObject*, PyObject* args) {
  return unary_dense(args, "linalg_log_determinant",
                     [](MatrixView a) { return velkan::log_determinant(a); });
}

PyObject* qr_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_qr", "a"});
    if (!a) return nullptr;
    auto r = velkan::qr(*a);
    if (!r) return raise_failure(r.error());
    return velkan::py::tuple_of({to_numpy(r->q), to_numpy(r->r)});
  });
}

PyObject* qr_r_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_qr_r", "a"});
    if (!a) return nullptr;
    auto r = velkan::qr_r(*a);
    if (!r) return raise_failure(r.error());
    return to_numpy(*r);
  });
}

PyObject* cholesky_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *uplo_obj;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &uplo_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_cholesky", "a"});
    if (!a) return nullptr;
    auto uplo = letter(uplo_obj, ArgName{"linalg_cholesky", "uplo"});
    if (!uplo) return nullptr;
    auto r = velkan::cholesky(*a, *uplo);
    if (!r) return raise_failure(r.error());
    return to_numpy(*r);
  });
}

// linalg_solve_triangular(a, uplo, b) with b 1-D or 2-D.
PyObject* solve_triangular_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *uplo_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OOO", &a_obj, &uplo_obj, &b_obj)) return nullptr;
    const ArgName an{"linalg_solve_triangular", "a"}, bn{"linalg_solve_triangular", "b"};
    auto a = velkan::py::as_matrix(a_obj, an);
    if (!a) return nullptr;
    auto uplo = letter(uplo_obj, ArgName{"linalg_solve_triangular", "uplo"});
    if (!uplo) return nullptr;
    if (PyArray_Check(b_obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(b_obj)) == 1) {
      auto b = velkan::py::as_vector(b_obj, bn);
      if (!b) return nullptr;
      auto x = velkan::solve_triangular(*a, *uplo, *b);
      if (!x) return raise_failure(x.error());
      return to_numpy(*x);
    }
    auto b = velkan::py::as_matrix(b_obj, bn);
    if (!b) return nullptr;
    auto x = velkan::solve_triangular(*a, *uplo, *b);
    if (!x) return raise_failure(x.error());
    return to_numpy(*x);
  });
}

PyObject* pivots_to_list(const std::vector<std::int32_t>& pivots) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(pivots.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < pivots.size(); ++i) {
    PyObject* item = PyLong_FromLong(pivots[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// linalg_lu_factor(a) -> (lu, pivots as a list of 1-based ints)
PyObject* lu_factor_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_lu_factor", "a"});
    if (!a) return nullptr;
    auto f = velkan::lu_factor(*a);
    if (!f) return raise_failure(f.error());
    return velkan::py::tuple_of({to_numpy(f->lu), pivots_to_list(f->pivots)});
  });
}

// linalg_lu_inverse(lu, pivots)
PyObject* lu_inverse_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *lu_obj, *piv_obj;
    if (!PyArg_ParseTuple(args, "OO", &lu_obj, &piv_obj)) return nullptr;
    auto lu = velkan::py::as_matrix(lu_obj, ArgName{"linalg_lu_inverse", "lu"});
    if (!lu) return nullptr;
    auto piv = velkan::py::as_floats(piv_obj, ArgName{"linalg_lu_inverse", "pivots"});
    if (!piv) return nullptr;
    velkan::LuFactors f{Matrix::from(*lu), {}};
    for (double p : *piv) f.pivots.push_back(static_cast<std::int32_t>(p));
    auto inv = velkan::lu_inverse(f);
    if (!inv) return raise_failure(inv.error());
    return to_numpy(*inv);
  });
}

// linalg_symmetric_eigen(a) -> (values, vectors)
PyObject* symmetric_eigen_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_symmetric_eigen", "a"});
    if (!a) return nullptr;
    auto e = velkan::symmetric_eigen(*a);
    if (!e) return raise_failure(e.error());
    return velkan::py::tuple_of({to_numpy(e->values), to_numpy(e->vectors)});
  });
}

PyObject* matmul_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &b_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_matmul", "a"});
    if (!a) return nullptr;
    auto b = velkan::py::as_matrix(b_obj, ArgName{"linalg_matmul", "b"});
    if (!b) return nullptr;
    if (a->cols != b->rows) return raise_value_error("inner dimensions differ");
    return to_numpy(velkan::matmul(*a, *b));
  });
}

PyObject* matvec_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *x_obj;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &x_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_matvec", "a"});
    if (!a) return nullptr;
    auto x = velkan::py::as_vector(x_obj, ArgName{"linalg_matvec", "x"});
    if (!x) return nullptr;
    if (a->cols != x->size) return raise_value_error("inner dimensions differ");
    return to_numpy(velkan::matvec(*a, *x));
  });
}

PyObject* dot_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO", &a_obj, &b_obj)) return nullptr;
    auto a = velkan::py::as_vector(a_obj, ArgName{"linalg_dot", "a"});
    if (!a) return nullptr;
    auto b = velkan::py::as_vector(b_obj, ArgName{"linalg_dot", "b"});
    if (!b) return nullptr;
    if (a->size != b->size) return raise_value_error("lengths differ");
    return PyFloat_FromDouble(velkan::dot(*a, *b));
  });
}

PyObject* gram_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O", &a_obj)) return nullptr;
    auto a = velkan::py::as_matrix(a_obj, ArgName{"linalg_gram", "a"});
    if (!a) return nullptr;
    return to_numpy(velkan::gram(*a));
  });
}

PyObject* compute_xtwx_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *x_obj, *w_obj;
    if (!PyArg_ParseTuple(args, "OO", &x_obj, &w_obj)) return nullptr;
    auto x = velkan::py::as_matrix(x_obj, ArgName{"linalg_compute_xtwx", "x"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(w_obj, ArgName{"linalg_compute_xtwx", "w"});
    if (!w) return nullptr;
    if (w->size != x->rows) return raise_value_error("w must have one weight per row");
    return to_numpy(velkan::compute_xtwx(*x, *w));
  });
}

PyObject* compute_xtwy_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *x_obj, *w_obj, *y_obj;
    if (!PyArg_ParseTuple(args, "OOO", &x_obj, &w_obj, &y_obj)) return nullptr;
    auto x = velkan::py::as_matrix(x_obj, ArgName{"linalg_compute_xtwy", "x"});
    if (!x) return nullptr;
    auto w = velkan::py::as_vector(w_obj, ArgName{"linalg_compute_xtwy", "w"});
    if (!w) return nullptr;
    auto y = velkan::py::as_vector(y_obj, ArgName{"linalg_compute_xtwy", "y"});
    if (!y) return nullptr;
    if (w->size != x->rows || y->size != x->rows) {
      return raise_value_error("w and y must have one entry per row");
    }
    return to_numpy(velkan::compute_xtwy(*x, *w, *y));
  });
}

PyObject* quad_form_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    PyObject *s_obj, *b_obj;
    if (!PyArg_ParseTuple(args, "OO", &s_obj, &b_obj)) return nullptr;
    auto s = velkan::py::as_matrix(s_obj, ArgName{"linalg_quad_form", "s"});
    if (!s) return nullptr;
    auto b = velkan::py::as_vector(b_obj, ArgName{"linalg_quad_form", "beta"});
    if (!b) return nullptr;
    if (s->rows != s->cols || s->cols != b->size) return raise_value_error("shapes differ");
    return PyFloat_FromDouble(velkan::quad_form(*s, *b));
  });
}

// linalg_failure_render(kind, a=0, b=0, c=0, text=""): the debug rendering of a failure
// of any kind, built field by field ("lapack_info" takes the INFO value in a).
PyObject* failure_render_py(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* kind = nullptr;
    long long a = 0, b = 0, c = 0;
    const char* text = "";
    if (!PyArg_ParseTuple(args, "s|LLLs", &kind, &a, &b, &c, &text)) return nullptr;
    using K = velkan::LinalgFailure::Kind;
    const std::string k(kind);
    velkan::LinalgFailure f;
    if (k == "not_square") {
      f = velkan::LinalgFailure::not_square(a, b);
    } else if (k == "lapack_info") {
      f = velkan::LinalgFailure::lapack_info(static_cast<std::int32_t>(a));
    } else if (k == "invalid_shape") {
      f = velkan::LinalgFailure::invalid_shape();
    } else if (k == "not_standard_shape") {
      f.kind = K::NotStandardShape;
      f.obj = static_cast<std::int32_t>(a);
      f.rows = b;
      f.cols = c;
    } else {
      return raise_value_error("unknown kind");
    }
    const std::string out = f.debug();
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

velkan::testing::Registrar reg{{
    {"linalg_solve", solve_py, METH_VARARGS, nullptr},
    {"linalg_inverse", inverse_py, METH_VARARGS, nullptr},
    {"linalg_determinant", determinant_py, METH_VARARGS, nullptr},
    {"linalg_log_determinant", log_determinant_py, METH_VARARGS, nullptr},
    {"linalg_qr", qr_py, METH_VARARGS, nullptr},
    {"linalg_qr_r", qr_r_py, METH_VARARGS, nullptr},
    {"linalg_cholesky", cholesky_py, METH_VARARGS, nullptr},
    {"linalg_solve_triangular", solve_triangular_py, METH_VARARGS, nullptr},
    {"linalg_lu_factor", lu_factor_py, METH_VARARGS, nullptr},
    {"linalg_lu_inverse", lu_inverse_py, METH_VARARGS, nullptr},
    {"linalg_symmetric_eigen", symmetric_eigen_py, METH_VARARGS, nullptr},
    {"linalg_matmul", matmul_py, METH_VARARGS, nullptr},
    {"linalg_matvec", matvec_py, METH_VARARGS, nullptr},
    {"linalg_dot", dot_py, METH_VARARGS, nullptr},
    {"linalg_gram", gram_py, METH_VARARGS, nullptr},
    {"linalg_compute_xtwx", compute_xtwx_py, METH_VARARGS, nullptr},
    {"linalg_compute_xtwy", compute_xtwy_py, METH_VARARGS, nullptr},
    {"linalg_quad_form", quad_form_py, METH_VARARGS, nullptr},
    {"linalg_failure_render", failure_render_py, METH_VARARGS, nullptr},
}};

}  // namespace
