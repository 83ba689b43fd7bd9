// Cooperative interruption of long computations.
//
// The numerical loops of the core call poll_interrupt() between units of work: between
// passes over the data, once per iteration of every search, every few thousand rows of a
// pass. Whoever runs core code on a thread may install a poller for that thread (the Python
// binding installs one that briefly takes the interpreter lock and runs its signal
// handlers). The poller is consulted at most once per kInterruptPollInterval, so polling
// often costs only a clock read. When it reports an interrupt, poll_interrupt() returns
// interrupted_error() and the caller unwinds like any other failure; the installer then
// reports the interrupt in its own terms (the Python binding finds the exception of the
// interpreter's signal handler pending).
//
// Threads without a poller (worker threads, tests of the core) never see an interrupt from
// here; worker loops watch a shared cancellation flag instead.
#pragma once

#include <chrono>

#include "common/gam_error.h"

namespace velkan {

inline constexpr std::chrono::milliseconds kInterruptPollInterval{20};

class InterruptPoller {
 public:
  // Not noexcept: a poller that takes an interpreter lock back in its destructor may end
  // its thread there by forced unwinding (a daemon thread at interpreter shutdown).
  virtual ~InterruptPoller() noexcept(false) = default;
  // True when the computation should stop. Called on the installing thread only.
  virtual bool interrupted() = 0;
};

// Installs `poller` for the calling thread for the lifetime of this object (nesting
// restores the previous poller). The pending flag is cleared on installation.
class ScopedInterruptPoller {
 public:
  explicit ScopedInterruptPoller(InterruptPoller& poller);
  ~ScopedInterruptPoller();
  ScopedInterruptPoller(const ScopedInterruptPoller&) = delete;
  ScopedInterruptPoller& operator=(const ScopedInterruptPoller&) = delete;

 private:
  InterruptPoller* previous_;
  bool previous_pending_;
};

// The error an interrupted computation fails with.
GamError interrupted_error();

// Ok, or interrupted_error() when this thread's poller reports an interrupt (and every
// call after that, until a new poller is installed).
Status poll_interrupt();

// Makes poll_interrupt() fail on this thread from now on, as if the poller had reported an
// interrupt: for code that learns of one outside a poll (the diagnostic writer, when the
// stream it calls raises). Ignored on a thread without a poller, which has nobody to
// report the interrupt to and would otherwise fail every later poll.
void request_interrupt();

// For loops that have no error channel (a pass of a product over the data): true when the
// computation should stop. Such a loop returns early with an incomplete value; whoever
// called it polls again before using the value, and poll_interrupt() stays failed.
inline bool stop_requested() { return !poll_interrupt().has_value(); }

}  // namespace velkan
