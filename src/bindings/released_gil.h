// Runs core code without the interpreter lock while letting Ctrl-C through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <type_traits>
#include <utility>

#include "common/interrupt.h"

namespace velkan::py {

// For its lifetime the calling thread does not hold the interpreter lock, and core loops
// polling for interrupts briefly take it back to run the interpreter's signal handlers
// (PyErr_CheckSignals). An exception a handler raises (KeyboardInterrupt, or whatever a
// Python handler raises) stays pending on this thread; after the scope ends, a binding
// whose core call failed checks PyErr_Occurred() and returns nullptr to let it
// propagate instead of the core's error.
//
// Code running inside the scope that needs the interpreter (the diagnostic writer) takes
// the lock through with_gil() of current(), never on its own: while the interpreter shuts
// down, taking the lock ends a daemon thread by forced unwinding, and the scope must then
// know not to take it again on the way out.
//
// The caller keeps every object the core reads alive and unresized for the whole scope.
class ReleasedGil final : public InterruptPoller {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()), previous_(current_), scope_(*this) {
    current_ = this;
  }
  // May end in forced unwinding (a daemon thread at shutdown), hence not noexcept.
  ~ReleasedGil() noexcept(false) {
    current_ = previous_;
    if (!lost_) PyEval_RestoreThread(state_);
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Runs `f` with the lock held and releases it again. A forced unwind out of taking the
  // lock (or out of Python code in `f` that gives the lock up and takes it back) leaves
  // the thread without the lock: it passes on, and the scope does not touch the lock again.
  template <class F>
  auto with_gil(F&& f) {
    take();
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
        std::forward<F>(f)();
        give();
      } else {
        auto result = std::forward<F>(f)();
        give();
        return result;
      }
    } catch (abi::__forced_unwind&) {
      lost_ = true;
      throw;
    } catch (...) {
      give();
      throw;
    }
  }

  bool interrupted() override {
    return with_gil([] { return PyErr_CheckSignals() != 0; });
  }

  // The innermost scope active on the calling thread, or nullptr.
  static ReleasedGil* current() { return current_; }

 private:
  void take() {
    try {
      PyEval_RestoreThread(state_);
    } catch (abi::__forced_unwind&) {
      lost_ = true;
      throw;
    }
  }
  void give() { state_ = PyEval_SaveThread(); }

  static inline thread_local ReleasedGil* current_ = nullptr;
  PyThreadState* state_;
  ReleasedGil* previous_;
  bool lost_ = false;
  ScopedInterruptPoller scope_;
};

}  // namespace velkan::py

namespace velkan {

// Runs `f` (a core call whose inputs the caller holds) inside a ReleasedGil scope and
// returns its value once the lock is back: the one way every binding of the project, in
// either idiom, runs numerical work without the interpreter lock. Declared in `velkan`
// so that code in any of its namespaces finds it unqualified.
template <class F>
auto without_gil(F&& f) {
  py::ReleasedGil released;
  return std::forward<F>(f)();
}

}  // namespace velkan
