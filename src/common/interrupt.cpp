#include "common/interrupt.h"

namespace velkan {

namespace {

struct ThreadInterruptState {
  InterruptPoller* poller = nullptr;
  bool pending = false;
  std::chrono::steady_clock::time_point last_poll{};
};

thread_local ThreadInterruptState state;

}  // namespace

ScopedInterruptPoller::ScopedInterruptPoller(InterruptPoller& poller)
    : previous_(state.poller), previous_pending_(state.pending) {
  state.poller = &poller;
  state.pending = false;
  state.last_poll = std::chrono::steady_clock::now();
}

ScopedInterruptPoller::~ScopedInterruptPoller() {
  state.poller = previous_;
  state.pending = previous_pending_;
}

GamError interrupted_error() { return GamError::optimization_failed("Interrupted"); }

Status poll_interrupt() {
  if (state.pending) return fail(interrupted_error());
  if (state.poller == nullptr) return {};
  const auto now = std::chrono::steady_clock::now();
  if (now - state.last_poll < kInterruptPollInterval) return {};
  state.last_poll = now;
  if (!state.poller->interrupted()) return {};
  state.pending = true;
  return fail(interrupted_error());
}

void request_interrupt() {
  if (state.poller != nullptr) state.pending = true;
}

}  // namespace velkan
