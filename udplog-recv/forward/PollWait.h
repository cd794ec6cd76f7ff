// The one place where forwarding waits on its sockets: poll() on a socket and a wake-up eventfd
// until a deadline, with the milliseconds left worked out once. Stateless; any thread.
#pragma once

#include <chrono>

class PollWait final {
 public:
  using Clock = std::chrono::steady_clock;

  // Milliseconds from now until deadline for poll(): rounded up so that a wait never ends just
  // before it, 0 when it has passed.
  static int millisUntil(Clock::time_point deadline, Clock::time_point now);

  // Waits until fd is ready for events, deadline passes, or wakeFd is signalled; fd and wakeFd
  // may be -1 (not watched). A signal's EINTR is waited through. The events of fd that are ready
  // (0 at the deadline or on a wake); a wake's count is taken.
  static short until(int fd, short events, Clock::time_point deadline, int wakeFd = -1);

  PollWait() = delete;
};
