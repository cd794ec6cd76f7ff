#include "host/WorkerFence.h"

#include <chrono>
#include <thread>

void WorkerFence::wait(safe_pipe<std::string>& pipe, const Waiting& waiting) {
  for (unsigned fence = 0; fence < kLines; ++fence) {
    pipe.push(std::string());
    // The worker takes every waiting line at once, so the pipe only grows until it does: once it
    // holds fewer lines than just after the push, or none, the empty line has been taken, though
    // other threads go on pushing.
    const std::size_t afterPush = pipe.size();
    for (std::size_t queued = afterPush; queued != 0 && queued >= afterPush; queued = pipe.size()) {
      if (waiting) waiting(queued);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}
