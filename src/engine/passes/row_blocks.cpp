#include "engine/passes/row_blocks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "common/interrupt.h"

namespace velkan::passes {

std::size_t part_count(std::size_t n, std::size_t block, std::size_t threads) {
  block = std::max<std::size_t>(block, 1);
  const std::size_t blocks = n / block + (n % block != 0);
  return std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(blocks, 1));
}

Status for_each_block(std::size_t n, std::size_t block, std::size_t parts,
                      const std::function<Status(std::size_t, std::size_t, std::size_t)>& body,
                      std::size_t* used_parts) {
  block = std::max<std::size_t>(block, 1);
  const std::size_t blocks = n / block + (n % block != 0);
  parts = part_count(n, block, parts);
  if (used_parts) *used_parts = parts;

  std::atomic<bool> stop{false};
  std::vector<std::optional<GamError>> errors(parts);
  // Part p covers blocks [p * blocks / parts, (p + 1) * blocks / parts).
  auto run_part = [&](std::size_t p, bool polls) {
    const std::size_t b0 = p * blocks / parts, b1 = (p + 1) * blocks / parts;
    for (std::size_t b = b0; b < b1; ++b) {
      if (stop.load(std::memory_order_relaxed)) return;
      if (polls) {
        if (auto ok = poll_interrupt(); !ok) {
          errors[p] = ok.error();
          stop = true;
          return;
        }
      }
      const std::size_t first = b * block;
      if (auto ok = body(p, first, std::min(block, n - first)); !ok) {
        errors[p] = ok.error();
        stop = true;
        return;
      }
    }
  };

  std::atomic<std::size_t> finished{0};
  std::vector<std::thread> workers;
  workers.reserve(parts - 1);
  for (std::size_t p = 1; p < parts; ++p) {
    workers.emplace_back([&, p] {
      run_part(p, false);
      finished.fetch_add(1);
    });
  }
  run_part(0, true);
  // Keep answering interrupts while the other parts finish.
  while (finished.load() < parts - 1) {
    if (!stop.load()) {
      if (auto ok = poll_interrupt(); !ok) {
        if (!errors[0]) errors[0] = ok.error();
        stop = true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (auto& w : workers) w.join();
  for (auto& e : errors) {
    if (e) return fail(*e);
  }
  return {};
}

}  // namespace velkan::passes
