// Runs core code without the interpreter lock while letting Ctrl-C through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/interrupt.h"

namespace velkan::py {

// For its lifetime the calling thread does not hold the interpreter lock, and core loops
// polling for interrupts briefly take it back to run the interpreter's signal handlers
// (PyErr_CheckSignals). An exception a handler raises (KeyboardInterrupt, or whatever a
// Python handler raises) stays pending on this thread; after the scope ends, a binding
// whose core call failed checks `interrupted()` and returns nullptr to let it propagate.
//
// The caller keeps every object the core reads alive and unresized for the whole scope.
class ReleasedGil final : public InterruptPoller {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()), scope_(*this) {}
  ~ReleasedGil() override {
    // While the interpreter shuts down, taking the lock back ends a daemon thread by
    // forced unwinding from inside interrupted(); that unwinding passes through here and
    // must not try again.
    if (!reacquiring_) PyEval_RestoreThread(state_);
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  bool interrupted() override {
    reacquiring_ = true;
    PyEval_RestoreThread(state_);
    reacquiring_ = false;
    const bool raised = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_;
  bool reacquiring_ = false;
  ScopedInterruptPoller scope_;
};

// After a failed core call: whether a Python exception (from a signal handler) is pending
// and should be propagated instead of the core's error. Call with the lock held.
inline bool python_error_pending() { return PyErr_Occurred() != nullptr; }

}  // namespace velkan::py
