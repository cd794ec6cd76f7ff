// The wait before the next attempt to reach a target: it doubles after each failure, from the
// first step up to the last, and goes back to the first when told to start over. Owned by the
// thread that makes the attempts.
#pragma once

#include <algorithm>
#include <chrono>

class Backoff final {
 public:
  Backoff(std::chrono::milliseconds first, std::chrono::milliseconds last)
      : firstStep(first), lastStep(last), step(first) {}

  // An attempt failed or a connection ended: how long to wait before the next attempt.
  std::chrono::milliseconds failed() {
    const std::chrono::milliseconds wait = step;
    step = std::min(step * 2, lastStep);
    return wait;
  }
  // The next failure waits the first step again: a connection was made (tcp://), the target took
  // a line (relp://), or a stop wants its attempts now.
  void startOver() { step = firstStep; }

 private:
  const std::chrono::milliseconds firstStep;
  const std::chrono::milliseconds lastStep;
  std::chrono::milliseconds step;
};
