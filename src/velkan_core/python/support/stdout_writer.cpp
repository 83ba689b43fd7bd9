#include "velkan_core/python/support/stdout_writer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <string_view>

#include "common/interrupt.h"
#include "diag/sink.h"
#include "bindings/released_gil.h"

namespace velkan::py {

namespace {

void write_c_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Called with the lock held. Writes through sys.stdout.write (and flush) so that
// redirection in Python sees the line; falls back to the C stream when sys.stdout is
// missing or its own call fails with an ordinary error (a closed file, a broken pipe).
// What must stop the call is kept pending instead, and the core's next poll fails: an
// exception from a signal handler (run here first, so a signal that arrived while the core
// ran is handled now), and anything the stream raises that is not an Exception
// (KeyboardInterrupt, SystemExit). Once such an exception is pending, later lines of the
// same call are dropped: the call is on its way out.
void write_holding_gil(std::string_view text) {
  if (PyErr_Occurred()) return;
  if (PyErr_CheckSignals() != 0) {
    request_interrupt();
    return;
  }
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  bool written = false;
  if (out && out != Py_None) {
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
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
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        request_interrupt();
        return;
      }
      PyErr_Clear();
    }
  }
  if (!written) write_c_stdout(text);
}

void python_stdout_writer(std::string_view text) {
  if (ReleasedGil* released = ReleasedGil::current()) {
    released->with_gil([&] { write_holding_gil(text); });
  } else if (PyGILState_Check()) {
    write_holding_gil(text);
  } else {
    // A thread that has no interpreter state of its own.
    write_c_stdout(text);
  }
}

}  // namespace

void install_stdout_writer() { diag::set_writer(&python_stdout_writer); }

}  // namespace velkan::py
