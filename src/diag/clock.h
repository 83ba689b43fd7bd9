// Monotonic wall-clock timer for the elapsed-time diagnostic lines.
#pragma once

#include <chrono>

namespace velkan::diag {

class Timer {
 public:
  Timer() : start_(std::chrono::steady_clock::now()) {}
  void restart() { start_ = std::chrono::steady_clock::now(); }
  // Milliseconds since construction or the last restart: (seconds + nanoseconds / 1e9) * 1000.
  double elapsed_ms() const {
    const auto d = std::chrono::steady_clock::now() - start_;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    const long long secs = ns / 1000000000LL;
    const long long rem = ns % 1000000000LL;
    return (static_cast<double>(secs) + static_cast<double>(rem) / 1e9) * 1000.0;
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace velkan::diag
