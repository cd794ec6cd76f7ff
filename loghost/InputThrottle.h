// Keeps loghost's memory bounded when the input comes faster than the medium takes it: after
// each line pushed, waits while the lines still in the pipe cost more than half the bound.
// Used from loghost's main thread only; the pipe is shared with the worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "logger/core/safe_pipe.h"

class Progress;

class InputThrottle final {
 public:
  // A line costs its bytes and kLineCost more (its string, the allocator's header, its slot in the
  // pipe). Lines that other clients push share the pipe and count only by holding its size up.
  static constexpr std::size_t kLineCost = 64;
  static constexpr std::uint64_t kDefaultLimit = 64ull << 20;

  InputThrottle(safe_pipe<std::string>& pipe, std::uint64_t limit);
  InputThrottle(const InputThrottle&) = delete;
  InputThrottle& operator=(const InputThrottle&) = delete;

  // Called after a line of size bytes was pushed. Returns at once while under the bound, else
  // once the worker has taken enough, or when a stopping signal came. The worker takes the pipe's
  // lines in one burst, never more than the pipe held, so the pipe and the burst in the worker's
  // hands together stay under the bound.
  void pushed(std::size_t size, Progress& progress, unsigned long long lines);
  // The bytes of loghost's lines that may still wait in the pipe, as of the last update().
  std::uint64_t waiting() const { return waitingCost; }
  // Forgets the lines the worker has taken: all but the pipe's newest size() lines.
  void update();

 private:
  // Constant after construction
  safe_pipe<std::string>& pipe;
  const std::uint64_t limit;

  std::deque<std::uint32_t> costs;  // of the lines pushed and perhaps still waiting, oldest first
  std::uint64_t waitingCost = 0;    // the sum of costs
};
