// The one place where core errors become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string_view>

#include "common/gam_error.h"

namespace velkan::py {

// ValueError whose message is `prefix` followed by the error's display text.
// Always returns nullptr so callers can `return raise(...)`.
PyObject* raise(const GamError& e, std::string_view prefix = {});
// UsageError text verbatim, GamError as above.
PyObject* raise(const ModelError& e, std::string_view prefix = {});
// ValueError with a message of the interface's own.
PyObject* raise_value_error(std::string_view message);

// Makes a binding's outcome one of the two the interpreter accepts: a value and no
// pending exception, or nullptr and a pending exception.
void ensure_consistent(PyObject*& result);

// After a failed core call that ran without the interpreter lock: nullptr when a Python
// exception is already pending (a signal handler's, or one sys.stdout raised under a
// diagnostic line), which then propagates in place of the core's error; otherwise the
// core's error through raise().
template <class E>
PyObject* raise_failure(const E& e, std::string_view prefix = {}) {
  if (PyErr_Occurred()) return nullptr;
  return raise(e, prefix);
}

// Runs a binding body; any C++ exception that escapes becomes a Python exception instead
// of unwinding into the interpreter. Exhausted memory is reported as ValueError: this
// module raises only TypeError, ValueError, OverflowError and RuntimeError. The forced
// unwinding with which the interpreter ends a daemon thread at shutdown is not an error
// and passes on (catching it without rethrowing aborts the process).
template <class F>
PyObject* guarded(F&& body) {
  try {
    PyObject* result = body();
    ensure_consistent(result);
    return result;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_ValueError, "Not enough memory for this request");
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "Internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Internal error");
  }
  return nullptr;
}

}  // namespace velkan::py
