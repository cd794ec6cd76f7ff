#include "host/WorkerFence.h"

#include <chrono>
#include <thread>

void WorkerFence::wait(safe_pipe<std::string>& pipe, const Waiting& waiting) {
  using Clock = std::chrono::steady_clock;
  for (unsigned fence = 0; fence < kLines; ++fence) {
    pipe.push(std::string());
    // Between the worker's takes the pipe only grows, and each take empties it: a size below the
    // one seen just before (or none) means a take since the push, which held the empty line. The
    // pipe is looked at often, so that writers refilling it between two looks seldom hide a take;
    // a hidden one only makes the wait last until the next.
    std::size_t before = pipe.size();
    Clock::time_point told = Clock::now();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      const std::size_t queued = pipe.size();
      if (queued == 0 || queued < before) break;
      before = queued;
      if (waiting && Clock::now() - told >= std::chrono::milliseconds(1)) {
        waiting(queued);
        told = Clock::now();
      }
    }
  }
}
