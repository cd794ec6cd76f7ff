#include "loghost/InputThrottle.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "loghost/Progress.h"
#include "platform/StopSignals.h"

InputThrottle::InputThrottle(safe_pipe<std::string>& pipe, std::uint64_t limit)
    : pipe_(pipe), limit_(limit) {}

void InputThrottle::pushed(std::size_t size, Progress& progress, unsigned long long lines) {
  const std::uint64_t cost =
      std::min<std::uint64_t>(size + kLineCost, std::numeric_limits<std::uint32_t>::max());
  costs_.push_back(static_cast<std::uint32_t>(cost));
  waiting_ += cost;
  if (waiting_ <= limit_ / 2) return;
  update();
  while (waiting_ > limit_ / 2 && StopSignals::received() == 0) {
    progress.waiting(lines, waiting_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    update();
  }
}

void InputThrottle::update() {
  const std::size_t queued = pipe_.size();
  while (costs_.size() > queued) {
    waiting_ -= costs_.front();
    costs_.pop_front();
  }
}
