#include "python/support/stdout_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "diag/sink.h"

namespace velkan::py {

namespace {

void python_stdout_writer(std::string_view text) {
  // Writes through sys.stdout.write so redirection in Python sees the lines; falls back
  // to the C stream when sys.stdout is unusable. Never leaves an exception set.
  PyObject *exc_type, *exc_value, *exc_tb;
  PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  bool written = false;
  if (out && out != Py_None) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s) {
      PyObject* r = PyObject_CallMethod(out, "write", "O", s);
      Py_DECREF(s);
      if (r) {
        Py_DECREF(r);
        written = true;
        PyObject* f = PyObject_CallMethod(out, "flush", nullptr);
        Py_XDECREF(f);
      }
    }
    PyErr_Clear();
  }
  if (!written) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  PyErr_Restore(exc_type, exc_value, exc_tb);
}

}  // namespace

void install_stdout_writer() { diag::set_writer(&python_stdout_writer); }

}  // namespace velkan::py
