#include "loghost/InputThrottle.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "loghost/Progress.h"
#include "platform/StopSignals.h"

InputThrottle::InputThrottle(safe_pipe<std::string>& thePipe, std::uint64_t theLimit)
    : pipe(thePipe), limit(theLimit) {}

void InputThrottle::pushed(std::size_t size, Progress& progress, unsigned long long lines) {
  const std::uint64_t cost =
      std::min<std::uint64_t>(size + kLineCost, std::numeric_limits<std::uint32_t>::max());
  costs.push_back(static_cast<std::uint32_t>(cost));
  waitingCost += cost;
  if (waitingCost <= limit / 2) return;
  update();
  while (waitingCost > limit / 2 && StopSignals::received() == 0) {
    progress.waiting(lines, waitingCost);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    update();
  }
}

void InputThrottle::update() {
  const std::size_t queued = pipe.size();
  while (costs.size() > queued) {
    waitingCost -= costs.front();
    costs.pop_front();
  }
}
