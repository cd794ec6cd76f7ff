// A clock for forwarding tests that moves only when told to, and the wait that goes by it: what
// ScriptedConnection and a RelpForwarder's test seam share. Safe from any thread.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "udplog-recv/forward/IConnection.h"
#include "udplog-recv/forward/PollWait.h"

namespace testsupport {

// Time that moves only when told to, from any thread.
class FakeClock {
 public:
  using Clock = IConnection::Clock;
  Clock::time_point now() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
  }
  // Moves the clock on; while it is held, waits (for real) until it is let go.
  void advanceTo(Clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [this] { return !held; });
    current = std::max(current, when);
  }
  // While held, the clock stands: a test sets a scene (a deadline from now) before time goes on.
  void hold(bool holding) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      held = holding;
    }
    released.notify_all();
  }

 private:
  mutable std::mutex mutex;
  std::condition_variable released;
  bool held = false;
  Clock::time_point current = Clock::time_point() + std::chrono::hours(1);
};

// Whether wakeFd (an eventfd, or -1) is signalled now; its count is taken.
inline bool wokenNow(int wakeFd) {
  pollfd watch{wakeFd, POLLIN, 0};
  if (wakeFd < 0 || ::poll(&watch, 1, 0) != 1) return false;
  std::uint64_t count;
  return ::read(wakeFd, &count, sizeof(count)) == sizeof(count);
}

// A wait on the fake clock: a pending wake ends it at once; a wait without end waits for a real
// wake; any other moves the clock to until.
inline void fakeSleep(FakeClock& clock, IConnection::Clock::time_point until, int wakeFd) {
  if (wokenNow(wakeFd)) return;
  if (until == IConnection::Clock::time_point::max()) {
    (void)PollWait::until(-1, 0, until, wakeFd);
    return;
  }
  clock.advanceTo(until);
}

}  // namespace testsupport
