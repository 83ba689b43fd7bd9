// Test access to the diagnostic formatter.
#include <string>

#include "diag/env.h"
#include "diag/format.h"
#include "diag/sink.h"
#include "python/support/convert.h"
#include "python/support/errors.h"
#include "python/support/py_ref.h"
#include "python/testing/registry.h"

namespace {

using velkan::py::ArgName;

// format_number(kind, value, precision): kind "shortest", "fixed", "exp".
PyObject* format_number(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* kind = nullptr;
    double value = 0;
    int precision = 0;
    if (!PyArg_ParseTuple(args, "sd|i", &kind, &value, &precision)) return nullptr;
    std::string k(kind), out;
    if (k == "shortest") out = velkan::diag::format_shortest(value);
    else if (k == "fixed") out = velkan::diag::format_fixed(value, precision);
    else if (k == "exp") out = velkan::diag::format_exp(value, precision);
    else return velkan::py::raise_value_error("unknown kind");
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

// format_template(template, values): each value a float, int, bool, str or list of floats.
PyObject* format_template(PyObject*, PyObject* args) {
  return velkan::py::guarded([&]() -> PyObject* {
    const char* tmpl = nullptr;
    PyObject* values = nullptr;
    if (!PyArg_ParseTuple(args, "sO!", &tmpl, &PyList_Type, &values)) return nullptr;
    // Supports up to four arguments, enough for the formatter's table tests.
    std::vector<std::vector<double>> vecs;
    std::vector<std::string> strs;
    const Py_ssize_t n = PyList_GET_SIZE(values);
    if (n > 4) return velkan::py::raise_value_error("at most 4 values");
    vecs.reserve(4);
    strs.reserve(4);
    std::vector<velkan::diag::FormatArg> items;
    velkan::py::PyRef zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* v = PyList_GET_ITEM(values, i);
      if (PyBool_Check(v)) {
        items.emplace_back(v == Py_True);
      } else if (PyLong_Check(v)) {
        // Negative values as signed, the rest as unsigned (covers the full u64 range).
        const int negative = PyObject_RichCompareBool(v, zero.get(), Py_LT);
        if (negative < 0) return nullptr;
        if (negative) {
          const long long x = PyLong_AsLongLong(v);
          if (x == -1 && PyErr_Occurred()) return nullptr;
          items.emplace_back(x);
        } else {
          const unsigned long long x = PyLong_AsUnsignedLongLong(v);
          if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
          items.emplace_back(x);
        }
      } else if (PyFloat_Check(v)) {
        items.emplace_back(PyFloat_AsDouble(v));
      } else if (PyUnicode_Check(v)) {
        const char* text = PyUnicode_AsUTF8(v);
        if (!text) return nullptr;
        strs.emplace_back(text);
        items.emplace_back(std::string_view(strs.back()));
      } else {
        auto f = velkan::py::as_floats(v, ArgName{"format_template", "values"});
        if (!f) return nullptr;
        vecs.push_back(std::move(*f));
        items.emplace_back(std::span<const double>(vecs.back()));
      }
    }
    std::string out;
    switch (items.size()) {
      case 0: out = velkan::diag::format(tmpl, {}); break;
      case 1: out = velkan::diag::format(tmpl, {items[0]}); break;
      case 2: out = velkan::diag::format(tmpl, {items[0], items[1]}); break;
      case 3: out = velkan::diag::format(tmpl, {items[0], items[1], items[2]}); break;
      default: out = velkan::diag::format(tmpl, {items[0], items[1], items[2], items[3]}); break;
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

// switch_enabled(name): name "profile", "grad", "hess" or "trace".
PyObject* switch_enabled(PyObject*, PyObject* args) {
  const char* name = nullptr;
  if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
  const std::string n(name);
  using velkan::diag::Switch;
  Switch s;
  if (n == "profile") s = Switch::Profile;
  else if (n == "grad") s = Switch::GradDebug;
  else if (n == "hess") s = Switch::HessDebug;
  else if (n == "trace") s = Switch::TraceDebug;
  else return velkan::py::raise_value_error("unknown switch");
  return PyBool_FromLong(velkan::diag::enabled(s));
}

// trace_line(name, template, value): writes one governed line through the sink.
PyObject* trace_line(PyObject*, PyObject* args) {
  const char* name = nullptr;
  const char* tmpl = nullptr;
  double value = 0;
  if (!PyArg_ParseTuple(args, "ssd", &name, &tmpl, &value)) return nullptr;
  const std::string n(name);
  using velkan::diag::Switch;
  const Switch s = n == "profile" ? Switch::Profile : Switch::TraceDebug;
  velkan::diag::trace(s, tmpl, {value});
  Py_RETURN_NONE;
}

velkan::testing::Registrar reg{{
    {"format_number", format_number, METH_VARARGS, nullptr},
    {"format_template", format_template, METH_VARARGS, nullptr},
    {"switch_enabled", switch_enabled, METH_VARARGS, nullptr},
    {"trace_line", trace_line, METH_VARARGS, nullptr},
}};

}  // namespace
